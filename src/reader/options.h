#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/types.h"

namespace reader {

// The largest mode accepted: beyond any display, and a bound on what a
// rectified screen may cost in memory.
constexpr int MAX_MODE_SIDE = 16384;
// A camera's readout takes milliseconds, tens at most; anything near a
// second is a mistake (seconds for milliseconds, say).
constexpr double MAX_READOUT_MS = 1000.0;
// A second is no exposure for a pattern that steps every frame: the bars
// would be smeared over the whole screen.
constexpr double MAX_EXPOSURE_MS = 1000.0;

// What the command line asks for.
struct Options {
    bool json = false;
    // Where the annotated pictures go; empty when none are wanted.
    std::string annotateDir;
    // Where the picture of the series goes (.png or .svg); empty when none.
    std::string plotFile;
    // Of a video, every n-th frame is read, from its first.
    int every = 1;
    ReadSettings settings;
    // The photos and videos, as given.
    std::vector<std::string> files;
    // With --live: the camera device or stream URL read as frames come
    // (then files is empty); empty otherwise.
    std::string liveSource;
};

struct CommandLine {
    enum class Action { Read, ShowHelp, UsageError };
    Action action = Action::UsageError;
    Options options;
    // For a usage error: what was wrong, one line without the program name.
    std::string error;
};

// Reads the arguments after the program name. Options may come before or
// between the positional arguments; "--" ends them, so a photo whose name
// starts with '-' can be given; "--name=value" works as "--name value".
CommandLine parseCommandLine(const std::vector<std::string>& args);

// A positive decimal integer and nothing else: no sign, no spaces, no
// trailing text, no overflow.
std::optional<int> parsePositiveInt(std::string_view text);

// A positive decimal number written with digits and at most one '.', as
// "8", "8.5", ".5" or "8.": no sign, exponent, spaces or other text. The
// locale does not matter.
std::optional<double> parsePositiveDecimal(std::string_view text);

// The synopsis and a pointer to --help, for usage errors.
std::string usageText();
// The synopsis and what each argument means, for --help.
std::string helpText();

}  // namespace reader
