#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gl_trace.h"
#include "process.h"
#include "x_client.h"

// The virtual screen's desktop mode, the first in the server's config.
constexpr int DESKTOP_WIDTH = 1920;
constexpr int DESKTOP_HEIGHT = 1080;

// What the program prints when it cannot show the mode asked for.
constexpr char MODE_UNAVAILABLE[] = "The select mode is not available\n";

// Bounds on waiting for a state, generous for a loaded machine.
constexpr int START_TIMEOUT_MS = 20000;
constexpr int FRAMES_TIMEOUT_MS = 60000;
constexpr int END_TIMEOUT_MS = 10000;

// Each test program runs its own private X server; with
// --window-manager=PATH on its command line, that window manager runs on it;
// with --weston=PATH, the server is XWayland under that compositor, on one
// headless output of the desktop's size.
class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

// How a program ended after a signal.
struct Ending {
    double modeBackMs = -1.0;  // from the signal to the desktop mode; -1 if it never came back
    double endMs = -1.0;       // from the signal to the process's end
    ProcessResult result;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs vesmira to its end without a screen mode of its own: the usage
    // and refusal paths. argv[0] is the program name as invoked.
    static ProcessResult runToEnd(const std::vector<std::string>& argv);
    // Starts vesmira WIDTH HEIGHT RATE, under apitrace when traceFile is
    // given, and waits until the screen is in that mode and shows the
    // pattern at its place.
    void start(const std::vector<std::string>& args, const std::string& traceFile = "",
               const std::vector<std::string>& extraEnv = {});
    // The same, with every buffer swap held until the next tick of a 60 Hz
    // clock, as vertical sync would (see swap_pacer.cpp).
    void startPaced(const std::vector<std::string>& args);
    // Waits until the program has drawn at least count frames more, told
    // by the bar's column; for modes 60 or more pixels wide.
    void waitForFrames(int count);
    // Presses the key and waits for the end.
    ProcessResult stopWithKey(const char* keysymName);
    // Sends the signal and times the desktop mode's return and the end.
    Ending endWithSignal(int signalNumber);
    // Runs width x height under apitrace for at least 130 frames, quits with
    // q. The first frame's preamble holds the whole start-up, the swap of
    // the cleared background before it included.
    std::vector<GlFrame> traceRun(int width, int height, int refresh);

    bool running() const;
    bool screenInMode(int width, int height) const;
    Picture grab(int width, int height) const { return grabPicture(display, width, height); }

    Display* display = nullptr;
    RunningProcess program;
    int programWidth = 0;
};

std::string outputPath(const std::string& name);
