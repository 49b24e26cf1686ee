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

// Each test program runs its own private X server.
class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs vesmira to its end without a screen mode of its own: the usage
    // and refusal paths. argv[0] is the program name as invoked.
    static ProcessResult runToEnd(const std::vector<std::string>& argv);
    // Starts vesmira WIDTH HEIGHT RATE, under apitrace when traceFile is
    // given, and waits until the screen is in that mode and shows frames.
    void start(const std::vector<std::string>& args, const std::string& traceFile = "");
    // Sends the signal, or the key, and waits for the end.
    ProcessResult stopWithSignal(int signalNumber);
    ProcessResult stopWithKey(const char* keysymName);
    // Runs width x height under apitrace for about a second, quits with q.
    std::vector<GlFrame> traceRun(int width, int height, int refresh);

    bool running() const;
    bool screenInMode(int width, int height) const;
    Picture grab(int width, int height) const { return grabPicture(display, width, height); }

    Display* display = nullptr;
    RunningProcess program;
};

std::string outputPath(const std::string& name);
