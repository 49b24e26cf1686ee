// vesmira-frames [--keep] OUTDIR WIDTH HEIGHT RATE
//
// Captures one real frame of vesmira for every bar column: starts a private
// Xorg (dummy driver) whose only mode, the desktop's, is exactly WIDTH x
// HEIGHT at RATE Hz, runs vesmira in it, grabs the screen until every
// column 0..59 has been seen in one clean grab, and writes
// OUTDIR/column-NN.png. The photo model of the reader's tests starts from
// these frames. With --keep, a complete set newer than the vesmira binary
// is left as it is.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "process.h"
#include "virtual_display.h"

namespace {

constexpr int COLUMNS = 60;
constexpr int START_TIMEOUT_MS = 20000;
constexpr int CAPTURE_TIMEOUT_MS = 180000;
constexpr int BAR_BOTTOM = 799;
constexpr int GRID_MARGIN = 250;

int fail(const std::string& what)
{
    (void)std::fprintf(stderr, "vesmira-frames: %s\n", what.c_str());
    return 1;
}

bool parsePositive(const char* text, int* value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed <= 0 || parsed > 100000) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

int roundUp(int value, int multiple)
{
    return (value + multiple - 1) / multiple * multiple;
}

// A mode line whose refresh is exactly rate Hz: the dummy driver keeps the
// clock in kHz, so htotal * vtotal * rate must be a multiple of 1000
// (htotal a multiple of 40, vtotal of 25).
std::string modeLine(const std::string& name, int width, int height, int rate)
{
    // Not the signature of reduced blanking, which Xorg would refuse.
    const int hSyncStart = width + 88;
    const int hSyncEnd = hSyncStart + 44;
    const int hTotal = roundUp(hSyncEnd + 148, 40);
    const int vSyncStart = height + 3;
    const int vSyncEnd = vSyncStart + 5;
    const int vTotal = roundUp(vSyncEnd + 20, 25);
    const long clockKHz = static_cast<long>(hTotal) * vTotal * rate / 1000;
    char text[256];
    (void)std::snprintf(text, sizeof text, "Modeline \"%s\" %ld.%03ld %d %d %d %d %d %d %d %d +hsync +vsync",
                        name.c_str(), clockKHz / 1000, clockKHz % 1000, width, hSyncStart, hSyncEnd, hTotal, height,
                        vSyncStart, vSyncEnd, vTotal);
    return text;
}

// The config of rig/xorg-dummy.conf with one mode of our own.
std::string xorgConfig(int width, int height, int rate)
{
    const std::string name = std::to_string(width) + "x" + std::to_string(height) + "_" + std::to_string(rate);
    // Depth 16 as vesmira asks; room for a 32-bit framebuffer to spare.
    // DacSpeed lifts the dummy driver's 300 MHz limit on the clock.
    const long videoRamKb = std::max(65536L, static_cast<long>(width) * height * 4 / 1024 + 4096);
    return "Section \"ServerFlags\"\n"
           "    Option \"AutoAddDevices\" \"false\"\n"
           "    Option \"AutoEnableDevices\" \"false\"\n"
           "    Option \"DontVTSwitch\" \"true\"\n"
           "EndSection\n"
           "Section \"Device\"\n"
           "    Identifier \"dummy\"\n"
           "    Driver \"dummy\"\n"
           "    DacSpeed 2000\n"
           "    VideoRam " +
           std::to_string(videoRamKb) +
           "\n"
           "EndSection\n"
           "Section \"Monitor\"\n"
           "    Identifier \"monitor\"\n"
           "    HorizSync 1.0-1000.0\n"
           "    VertRefresh 1.0-1000.0\n"
           "    " +
           modeLine(name, width, height, rate) +
           "\n"
           "EndSection\n"
           "Section \"Screen\"\n"
           "    Identifier \"screen\"\n"
           "    Device \"dummy\"\n"
           "    Monitor \"monitor\"\n"
           "    DefaultDepth 16\n"
           "    SubSection \"Display\"\n"
           "        Depth 16\n"
           "        Modes \"" +
           name +
           "\"\n"
           "    EndSubSection\n"
           "EndSection\n";
}

bool isBar(Rgb pixel)
{
    return looksLike(pixel, 0.0F, 1.0F, 0.5F);
}

// Bar pixels under the red text, or on a grid line, are no longer the bar's
// colour but still have its full green.
bool hasBarGreen(Rgb pixel)
{
    return looksLike(pixel, 0.0F, 1.0F, 0.5F) || looksLike(pixel, 1.0F, 1.0F, 0.5F) ||
           looksLike(pixel, 1.0F, 1.0F, 1.0F);
}

// The column whose bar fills row y exactly, if exactly one does.
std::optional<int> barColumnInRow(const Picture& picture, int y, int step)
{
    std::optional<int> column;
    int barPixels = 0;
    for (int x = 0; x < picture.width; ++x) {
        if (isBar(picture.at(x, y))) {
            ++barPixels;
            if (!column) {
                column = x / step;
            }
            if (x / step != *column) {
                return std::nullopt;
            }
        }
    }
    if (!column || barPixels != step || *column >= COLUMNS) {
        return std::nullopt;
    }
    return column;
}

// The one column the bar fills from top to bottom, or nothing for a grab
// that shows none, two, or parts of frames (a tear).
std::optional<int> cleanBarColumn(const Picture& picture, int step)
{
    const int bandBottom = std::min(GRID_MARGIN, picture.height - GRID_MARGIN);
    std::optional<int> column;
    for (const int y : {5, 125, bandBottom - 5}) {
        if (y < 1 || y >= picture.height) {
            continue;
        }
        const std::optional<int> inRow = barColumnInRow(picture, y, step);
        if (!inRow || (column && *column != *inRow)) {
            return std::nullopt;
        }
        column = inRow;
    }
    if (!column) {
        return std::nullopt;
    }
    // The bar's last row: green all across its column, nowhere else.
    const int last = std::min(BAR_BOTTOM, picture.height) - 1;
    for (int x = 0; x < picture.width; ++x) {
        const bool inBar = x / step == *column;
        // Grid lines are white with or without the bar.
        if (!inBar && hasBarGreen(picture.at(x, last)) && !looksLike(picture.at(x, last), 1.0F, 1.0F, 1.0F)) {
            return std::nullopt;
        }
        if (inBar && !hasBarGreen(picture.at(x, last))) {
            return std::nullopt;
        }
    }
    return column;
}

// The bar's column in one row of the screen, read cheaply: most grabs show
// a column already captured and need not be converted whole.
std::optional<int> probeColumn(Display* display, int width, int step)
{
    const int screen = DefaultScreen(display);
    XImage* image =
        XGetImage(display, RootWindow(display, screen), 0, 125, static_cast<unsigned>(width), 1, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return std::nullopt;
    }
    const unsigned long greenMask = DefaultVisual(display, screen)->green_mask;
    std::optional<int> column;
    for (int x = 0; x < width && !column; ++x) {
        if ((XGetPixel(image, x, 0) & greenMask) == greenMask) {
            column = x / step;
        }
    }
    XDestroyImage(image);
    return column;
}

std::string framePath(const std::string& dir, int column)
{
    char name[32];
    (void)std::snprintf(name, sizeof name, "/column-%02d.png", column);
    return dir + name;
}

// Whether all 60 frames exist and are newer than the program they show.
bool upToDate(const std::string& dir)
{
    struct stat program = {};
    if (stat(VESMIRA_BINARY, &program) != 0) {
        return false;
    }
    for (int column = 0; column < COLUMNS; ++column) {
        struct stat frame = {};
        if (stat(framePath(dir, column).c_str(), &frame) != 0 || frame.st_mtime < program.st_mtime) {
            return false;
        }
    }
    return true;
}

int captureFrames(Display* display, const std::string& outDir, const std::string (&mode)[3], int width, int height,
                  int rate)
{
    const ModeSize desktop = currentMode(display);
    if (desktop.width != width || desktop.height != height || desktop.refresh != rate) {
        return fail("the virtual display came up in " + std::to_string(desktop.width) + "x" +
                    std::to_string(desktop.height) + " at " + std::to_string(desktop.refresh) + " Hz");
    }
    RunningProcess program = startProcess(VESMIRA_BINARY, {"vesmira", mode[0], mode[1], mode[2]});
    if (!waitForProgramMode(display, program.pid, width, height, START_TIMEOUT_MS)) {
        const ProcessResult result = finishProcess(&program, START_TIMEOUT_MS);
        return fail("vesmira did not start: " + result.out + result.err);
    }
    const int step = width / COLUMNS;
    std::array<Picture, COLUMNS> frames;
    int found = 0;
    int grabs = 0;
    int rejected = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CAPTURE_TIMEOUT_MS);
    while (found < COLUMNS && std::chrono::steady_clock::now() < deadline && !hasEnded(program.pid)) {
        const std::optional<int> probed = probeColumn(display, width, step);
        if (probed && *probed < COLUMNS && !frames[static_cast<size_t>(*probed)].pixels.empty()) {
            continue;
        }
        // The picture fills the screen, so it is the same whichever corner
        // of the root window the program draws from.
        Picture picture = grabPicture(display, width, height);
        ++grabs;
        const std::optional<int> column = cleanBarColumn(picture, step);
        if (!column) {
            ++rejected;
            continue;
        }
        if (frames[static_cast<size_t>(*column)].pixels.empty()) {
            frames[static_cast<size_t>(*column)] = std::move(picture);
            ++found;
        }
    }
    pressKey(display, "q");
    const ProcessResult result = finishProcess(&program, START_TIMEOUT_MS);
    if (found < COLUMNS) {
        return fail("found " + std::to_string(found) + " of 60 columns in " + std::to_string(grabs) + " grabs (" +
                    std::to_string(rejected) + " without one clean bar)" + result.err);
    }
    for (int column = 0; column < COLUMNS; ++column) {
        if (!savePng(frames[static_cast<size_t>(column)], framePath(outDir, column))) {
            return fail("cannot write " + framePath(outDir, column));
        }
    }
    std::printf("%dx%d at %d Hz: 60 columns from %d grabs (%d rejected) in %s\n", width, height, rate, grabs, rejected,
                outDir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool keep = !args.empty() && args[0] == "--keep";
    if (keep) {
        args.erase(args.begin());
    }
    int width = 0;
    int height = 0;
    int rate = 0;
    if (args.size() != 4 || !parsePositive(args[1].c_str(), &width) || !parsePositive(args[2].c_str(), &height) ||
        !parsePositive(args[3].c_str(), &rate)) {
        return fail("usage: vesmira-frames [--keep] OUTDIR WIDTH HEIGHT RATE");
    }
    if (width < COLUMNS) {
        return fail("the width must hold 60 columns");
    }
    const std::string outDir = args[0];
    if (keep && upToDate(outDir)) {
        std::printf("%s is up to date\n", outDir.c_str());
        return 0;
    }
    if (mkdir(outDir.c_str(), 0755) != 0 && errno != EEXIST) {
        return fail("cannot create " + outDir);
    }

    char configDir[] = "/tmp/vesmira-frames-XXXXXX";
    if (mkdtemp(configDir) == nullptr) {
        return fail("cannot create a temporary folder");
    }
    const std::string config = std::string(configDir) + "/xorg.conf";
    const std::string log = std::string(configDir) + "/xorg.log";
    {
        std::ofstream file(config);
        file << xorgConfig(width, height, rate);
    }
    VirtualDisplay virtualDisplay;
    virtualDisplay.log = log;
    virtualDisplay.server = startXServer(config, log);
    int status = 1;
    if (virtualDisplay.server.display >= 0) {
        setenv("DISPLAY", displayName(virtualDisplay.server).c_str(), 1);
        virtualDisplay.display = openDisplay();
    }
    if (virtualDisplay.display == nullptr) {
        (void)fail("the virtual display did not start; see " + log);
        stopXServer(&virtualDisplay.server);
        return 1;
    }
    const std::string mode[3] = {args[1], args[2], args[3]};
    status = captureFrames(virtualDisplay.display, outDir, mode, width, height, rate);
    closeVirtualDisplay(&virtualDisplay);
    if (status == 0) {
        (void)std::remove(config.c_str());
        (void)std::remove(log.c_str());
        rmdir(configDir);
    } else {
        (void)fail("the server's config and log are in " + std::string(configDir));
    }
    return status;
}
