// vesmira-snapshot OUTPUT.png WIDTH HEIGHT RATE [SECONDS]
//
// Starts a private Xorg (dummy driver) with a 1920x1080 desktop, runs
// vesmira in that mode for a few seconds, saves what a monitor would show
// as a PNG (the WIDTH x HEIGHT rectangle at the display's viewport), quits
// vesmira with q and stops the server. For machines without a display, and
// for the README.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "process.h"
#include "virtual_display.h"

namespace {

constexpr int TIMEOUT_MS = 20000;

int fail(const char* what, const std::string& detail = "")
{
    (void)std::fprintf(stderr, "vesmira-snapshot: %s%s\n", what, detail.c_str());
    return 1;
}

// Runs vesmira on the open display and saves its picture; 0 on success.
int snapshot(Display* display, const std::string& output, const std::string (&mode)[3], int seconds)
{
    const int width = std::atoi(mode[0].c_str());   // NOLINT(cert-err34-c): vesmira reads it the same way
    const int height = std::atoi(mode[1].c_str());  // NOLINT(cert-err34-c)
    RunningProcess program = startProcess(VESMIRA_BINARY, {"vesmira", mode[0], mode[1], mode[2]});
    if (!waitForProgramMode(display, program.pid, width, height, TIMEOUT_MS)) {
        const ProcessResult result = finishProcess(&program, TIMEOUT_MS);
        return fail("vesmira did not start: ", result.out + result.err);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Picture picture = grabPicture(display, width, height);
    pressKey(display, "q");
    const ProcessResult result = finishProcess(&program, TIMEOUT_MS);
    if (!result.exited || result.exitStatus != 0) {
        return fail("vesmira did not end with status 0 on q: ", result.err);
    }
    if (!savePng(picture, output)) {
        return fail("cannot write ", output);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        return fail("usage: vesmira-snapshot OUTPUT.png WIDTH HEIGHT RATE [SECONDS]");
    }
    const std::string output = argv[1];
    const std::string mode[3] = {argv[2], argv[3], argv[4]};
    const int seconds = argc == 6 ? std::atoi(argv[5]) : 3;  // NOLINT(cert-err34-c)

    VirtualDisplay virtualDisplay;
    if (!openVirtualDisplay(&virtualDisplay)) {
        return 1;
    }
    const int status = snapshot(virtualDisplay.display, output, mode, seconds);
    closeVirtualDisplay(&virtualDisplay);
    return status;
}
