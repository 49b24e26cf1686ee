#include "reader/options.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

namespace reader {

namespace {

constexpr const char* SYNOPSIS =
    "usage: vesmira-read [--json] [--reference left|right|top|bottom] [--annotate DIR] [--readout MS]\n"
    "                    [--exposure MS] [--every N] [--plot FILE] WIDTH HEIGHT RATE PHOTO|VIDEO...\n"
    "       vesmira-read [options] --live SOURCE WIDTH HEIGHT RATE\n";

// Applies one option's value to the options; an error sentence, or empty.
using ApplyOption = std::string (*)(Options* options, const std::string& value);

struct OptionSpec {
    std::string_view name;
    bool takesValue;
    ApplyOption apply;
};

std::string setJson(Options* options, const std::string& /*value*/)
{
    options->json = true;
    return {};
}

std::string setReference(Options* options, const std::string& value)
{
    if (value == "left") {
        options->settings.reference = Placement::Left;
    } else if (value == "right") {
        options->settings.reference = Placement::Right;
    } else if (value == "top") {
        options->settings.reference = Placement::Top;
    } else if (value == "bottom") {
        options->settings.reference = Placement::Bottom;
    } else {
        return "--reference must be left, right, top or bottom, not '" + value + "'";
    }
    return {};
}

std::string setAnnotateDir(Options* options, const std::string& value)
{
    if (value.empty()) {
        return "--annotate needs a directory";
    }
    options->annotateDir = value;
    return {};
}

std::string setReadout(Options* options, const std::string& value)
{
    const std::optional<double> ms = parsePositiveDecimal(value);
    if (!ms) {
        return "--readout must be a positive number of milliseconds, not '" + value + "'";
    }
    if (*ms > MAX_READOUT_MS) {
        char limit[32];
        (void)std::snprintf(limit, sizeof limit, "%.0f", MAX_READOUT_MS);
        return "--readout must be at most " + std::string(limit) + " ms, a camera's readout time, not '" + value + "'";
    }
    options->settings.readoutMs = *ms;
    return {};
}

std::string setExposure(Options* options, const std::string& value)
{
    const std::optional<double> ms = parsePositiveDecimal(value);
    if (!ms) {
        return "--exposure must be a positive number of milliseconds, not '" + value + "'";
    }
    if (*ms > MAX_EXPOSURE_MS) {
        char limit[32];
        (void)std::snprintf(limit, sizeof limit, "%.0f", MAX_EXPOSURE_MS);
        return "--exposure must be at most " + std::string(limit) + " ms (1/250 s is 4 ms), not '" + value + "'";
    }
    options->settings.exposureMs = *ms;
    return {};
}

std::string setEvery(Options* options, const std::string& value)
{
    const std::optional<int> n = parsePositiveInt(value);
    if (!n) {
        return "--every must be a positive integer, not '" + value + "'";
    }
    options->every = *n;
    return {};
}

bool endsWithIgnoringCase(const std::string& text, std::string_view end)
{
    if (text.size() < end.size()) {
        return false;
    }
    for (std::size_t i = 0; i < end.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[text.size() - end.size() + i]);
        if (std::tolower(c) != end[i]) {
            return false;
        }
    }
    return true;
}

std::string setPlotFile(Options* options, const std::string& value)
{
    // The extension chooses the format; anything else would be a surprise
    // at the end of a long run.
    if (!endsWithIgnoringCase(value, ".png") && !endsWithIgnoringCase(value, ".svg")) {
        return "--plot needs a file name ending in .png or .svg, not '" + value + "'";
    }
    options->plotFile = value;
    return {};
}

std::string setLive(Options* options, const std::string& value)
{
    if (value.empty()) {
        return "--live needs a camera device or a stream URL";
    }
    options->liveSource = value;
    return {};
}

// A new option is one more line here.
constexpr OptionSpec OPTION_SPECS[] = {
    {"--json", false, setJson},      {"--reference", true, setReference}, {"--annotate", true, setAnnotateDir},
    {"--readout", true, setReadout}, {"--exposure", true, setExposure},   {"--every", true, setEvery},
    {"--plot", true, setPlotFile},   {"--live", true, setLive},
};

const OptionSpec* findOption(std::string_view name)
{
    for (const OptionSpec& option : OPTION_SPECS) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool isOption(const std::string& arg)
{
    // "-" names a file; "-5" is a (bad) number, reported as such.
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Reads one of WIDTH, HEIGHT, RATE into *value; an error sentence, or empty.
std::string readModeNumber(const char* name, const std::string& text, int minimum, int maximum, int* value)
{
    const std::optional<int> number = parsePositiveInt(text);
    if (!number) {
        return std::string(name) + " must be a positive integer, not '" + text + "'";
    }
    if (*number < minimum) {
        return std::string(name) + " must be at least " + std::to_string(minimum) + ", one pixel per column";
    }
    if (*number > maximum) {
        return std::string(name) + " must be at most " + std::to_string(maximum);
    }
    *value = *number;
    return {};
}

CommandLine usageError(std::string error)
{
    CommandLine line;
    line.action = CommandLine::Action::UsageError;
    line.error = std::move(error);
    return line;
}

}  // namespace

std::optional<int> parsePositiveInt(std::string_view text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            return std::nullopt;
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<double> parsePositiveDecimal(std::string_view text)
{
    std::size_t digits = 0;
    std::size_t points = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            ++points;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || points > 1) {
        return std::nullopt;
    }
    double value = 0.0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value) || value <= 0.0) {
        return std::nullopt;
    }
    return value;
}

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine line;
    Options& options = line.options;
    std::vector<std::string> positional;

    // --help wins wherever it stands, as users expect.
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "--help" || arg == "-h") {
            line.action = CommandLine::Action::ShowHelp;
            return line;
        }
    }

    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || !isOption(arg)) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionSpec* option = findOption(name);
        if (option == nullptr) {
            return usageError("unknown option '" + name + "'");
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!option->takesValue) {
                return usageError(name + " takes no value");
            }
            value = arg.substr(equals + 1);
        } else if (option->takesValue) {
            if (i + 1 == args.size()) {
                return usageError(name + " needs a value");
            }
            value = args[++i];
        }
        std::string error = option->apply(&options, value);
        if (!error.empty()) {
            return usageError(std::move(error));
        }
    }

    if (!options.liveSource.empty() && positional.size() != 3) {
        return usageError("with --live SOURCE, expected WIDTH HEIGHT RATE and no PHOTO or VIDEO");
    }
    if (options.liveSource.empty() && positional.size() < 4) {
        return usageError("expected WIDTH HEIGHT RATE and at least one PHOTO or VIDEO");
    }
    Mode& mode = options.settings.mode;
    std::string error = readModeNumber("WIDTH", positional[0], COLUMN_COUNT, MAX_MODE_SIDE, &mode.width);
    if (error.empty()) {
        error = readModeNumber("HEIGHT", positional[1], 1, MAX_MODE_SIDE, &mode.height);
    }
    if (error.empty()) {
        error = readModeNumber("RATE", positional[2], 1, INT_MAX, &mode.rate);
    }
    if (!error.empty()) {
        return usageError(std::move(error));
    }
    options.files.assign(positional.begin() + 3, positional.end());
    line.action = CommandLine::Action::Read;
    return line;
}

std::string usageText()
{
    return std::string(SYNOPSIS) + "Try 'vesmira-read --help' for more information.\n";
}

std::string helpText()
{
    return std::string(SYNOPSIS) +
           "\n"
           "Reads photographs, or videos, of a reference display and a device under\n"
           "test, both showing vesmira's pattern, and reports the device's lag per photo\n"
           "or video frame and over all of them, to a fraction of a frame where the\n"
           "screens' scan-out shows.\n"
           "\n"
           "  WIDTH HEIGHT RATE  the mode the pattern ran in, as given to vesmira\n"
           "  PHOTO|VIDEO...     JPEG, PNG or HEIC photographs; videos (MP4, MOV, AVI,\n"
           "                     MKV, MJPEG), each frame read as a photo\n"
           "  --json             print one JSON document instead of text\n"
           "  --reference WHERE  where the reference screen is in the photos:\n"
           "                     left (the default), right, top or bottom\n"
           "  --annotate DIR     write a JPEG per photo into DIR showing what was read;\n"
           "                     of a video, its first frame and its first failed ones\n"
           "  --readout MS       the camera's top-to-bottom readout time (rolling\n"
           "                     shutter) for the whole photo, in ms; without it a\n"
           "                     global shutter is assumed\n"
           "  --exposure MS      the camera's exposure time, in ms, for videos and photos\n"
           "                     whose EXIF does not give it; it overrides the EXIF\n"
           "  --every N          of a video, read every N-th frame only\n"
           "  --plot FILE        draw the lag of every reading into FILE, .png or .svg\n"
           "  --live SOURCE      read frames as they come from a camera device\n"
           "                     (/dev/video0) or a stream (rtsp://, http:// MJPEG,\n"
           "                     udp://), a line a second, until Ctrl-C (SIGINT),\n"
           "                     SIGTERM or the stream's end; then the summary\n"
           "  --help             show this text\n"
           "\n"
           "Exit status: 0 when at least one photo was read, 1 when none was, the\n"
           "plot could not be written, or a live source could not be opened or sent\n"
           "nothing for 5 s; 2 for a usage error.\n";
}

}  // namespace reader
