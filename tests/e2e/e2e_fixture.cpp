#include "e2e_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "picture_checks.h"
#include "x_server.h"

namespace {

XServer server;
RunningProcess windowManager;
// Set by --window-manager=PATH: run that window manager on the display.
std::string windowManagerPath;
// Set by --weston=PATH: the display is that Wayland compositor's XWayland,
// not Xorg.
std::string westonPath;

// The green bar's column on the whole screen, or -1 if no row shows it. It
// spans at least 480 lines, so one of the rows crosses it.
int barColumn(Display* display, int step)
{
    const int screenWidth = DESKTOP_WIDTH;
    for (const int y : {100, 400, 700, 1000}) {
        const Picture row = grabRectangle(display, 0, y, screenWidth, 1);
        for (int x = 0; x < row.width; ++x) {
            if (looksLike(row.at(x, 0), 0.0F, 1.0F, 0.5F)) {
                return x / step;
            }
        }
    }
    return -1;
}

}  // namespace

std::string outputPath(const std::string& name)
{
    return std::string(E2E_OUTPUT_DIR) + "/" + name;
}

void XServerEnvironment::SetUp()
{
    if (!westonPath.empty()) {
        const std::string log = outputPath("weston-" + std::to_string(getpid()) + ".log");
        server = startWestonXWayland(westonPath, log, DESKTOP_WIDTH, DESKTOP_HEIGHT);
        ASSERT_GE(server.display, 0) << "weston did not start XWayland; see " << log;
        setenv("DISPLAY", displayName(server).c_str(), 1);
        return;
    }
    const std::string log = outputPath("xorg-" + std::to_string(getpid()) + ".log");
    server = startXServer(XORG_CONFIG, log);
    ASSERT_GE(server.display, 0) << "Xorg did not start; see " << log;
    setenv("DISPLAY", displayName(server).c_str(), 1);
    if (!windowManagerPath.empty()) {
        windowManager = startProcess(windowManagerPath, {windowManagerPath});
        Display* display = openDisplay();
        ASSERT_NE(display, nullptr);
        const bool managing = waitUntil([&] { return windowManagerRunning(display); }, START_TIMEOUT_MS);
        closeDisplay(display);
        ASSERT_TRUE(managing) << windowManagerPath << " did not take over the display";
    }
}

void XServerEnvironment::TearDown()
{
    if (windowManager.pid > 0) {
        kill(windowManager.pid, SIGTERM);
        finishProcess(&windowManager, END_TIMEOUT_MS);
    }
    stopXServer(&server);
}

void ProgramTest::SetUp()
{
    display = openDisplay();
    ASSERT_NE(display, nullptr) << "cannot open " << getenv("DISPLAY");
    // A test that failed may have left the screen in another mode.
    if (!screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT)) {
        switchToMode(display, DESKTOP_WIDTH, DESKTOP_HEIGHT);
    }
}

void ProgramTest::TearDown()
{
    if (program.pid > 0) {
        kill(program.pid, SIGKILL);
        finishProcess(&program, END_TIMEOUT_MS);
    }
    if (display != nullptr) {
        closeDisplay(display);
    }
}

ProcessResult ProgramTest::runToEnd(const std::vector<std::string>& argv)
{
    return runProcess(VESMIRA_BINARY, argv, {}, END_TIMEOUT_MS);
}

void ProgramTest::start(const std::vector<std::string>& args, const std::string& traceFile,
                        const std::vector<std::string>& extraEnv)
{
    std::vector<std::string> argv = {"vesmira"};
    std::string path = VESMIRA_BINARY;
    if (!traceFile.empty()) {
        argv = {"apitrace", "trace", "--output", traceFile, VESMIRA_BINARY};
        path = APITRACE_BINARY;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    program = startProcess(path, argv, extraEnv);
    const int width = std::stoi(args.at(0));
    const int height = std::stoi(args.at(1));
    programWidth = width;
    ASSERT_TRUE(waitForProgramMode(display, program.pid, width, height, START_TIMEOUT_MS))
        << "vesmira ended, or the mode did not change, during start-up";
    Picture picture;
    const bool drawn = waitUntil(
        [&] {
            picture = grab(width, height);
            return !running() || patternInPlace(picture, width, height);
        },
        START_TIMEOUT_MS);
    ASSERT_TRUE(running()) << "vesmira ended during start-up";
    if (!drawn) {
        const std::string look =
            outputPath(::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string("-start.png"));
        (void)savePng(picture, look);
        FAIL() << "no frame showed the pattern at its place within " << START_TIMEOUT_MS << " ms; the last look is "
               << look;
    }
}

void ProgramTest::waitForFrames(int count)
{
    const int step = programWidth / 60;
    ASSERT_GT(step, 0) << "no bar to count frames by";
    // Between two looks the bar moved on at least (column - last) mod 60
    // columns, one a frame; more than 60 frames between looks undercount,
    // so the count is a lower bound.
    int last = barColumn(display, step);
    int frames = 0;
    const bool passed = waitUntil(
        [&] {
            const int column = barColumn(display, step);
            if (column >= 0 && last >= 0) {
                frames += (column - last + 60) % 60;
            }
            last = column >= 0 ? column : last;
            return frames >= count || !running();
        },
        FRAMES_TIMEOUT_MS);
    ASSERT_TRUE(running()) << "vesmira ended while frames were counted";
    ASSERT_TRUE(passed) << "the bar showed only " << frames << " of " << count << " frames within " << FRAMES_TIMEOUT_MS
                        << " ms";
}

bool ProgramTest::running() const
{
    return program.pid > 0 && !hasEnded(program.pid);
}

bool ProgramTest::screenInMode(int width, int height) const
{
    return ::screenInMode(display, width, height);
}

Ending ProgramTest::endWithSignal(int signalNumber)
{
    using Clock = std::chrono::steady_clock;
    Ending ending;
    const Clock::time_point sent = Clock::now();
    const auto elapsedMs = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - sent).count(); };
    kill(program.pid, signalNumber);
    // Finer than waitUntil: the times are the point.
    while (elapsedMs() < END_TIMEOUT_MS) {
        if (ending.modeBackMs < 0.0 && screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT)) {
            ending.modeBackMs = elapsedMs();
        }
        if (hasEnded(program.pid)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ending.endMs = elapsedMs();
    if (ending.modeBackMs < 0.0 && screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT)) {
        ending.modeBackMs = ending.endMs;
    }
    ending.result = finishProcess(&program, END_TIMEOUT_MS);
    return ending;
}

ProcessResult ProgramTest::stopWithKey(const char* keysymName)
{
    pressKey(display, keysymName);
    return finishProcess(&program, END_TIMEOUT_MS);
}

std::vector<GlFrame> ProgramTest::traceRun(int width, int height, int refresh)
{
    // Test programs run side by side in one folder: each test has its own file.
    const std::string traceFile =
        outputPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".trace");
    (void)std::remove(traceFile.c_str());  // apitrace will not overwrite it
    start({std::to_string(width), std::to_string(height), std::to_string(refresh)}, traceFile);
    // Two sweeps of the bar and more.
    waitForFrames(130);
    const ProcessResult result = stopWithKey("q");
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.err;
    std::vector<GlFrame> frames;
    EXPECT_TRUE(readTrace(traceFile, &frames));
    // Before its first frame the program shows the cleared background once,
    // for the GL driver to take in the window's size: part of the start-up.
    if (frames.size() < 2) {
        ADD_FAILURE() << "no frames traced";
        return frames;
    }
    const std::vector<GlCall>& blank = frames.front().calls;
    const bool onlyCleared =
        callText(blank.front()) == "glClear(mask = GL_COLOR_BUFFER_BIT)" &&
        std::all_of(blank.begin() + 1, blank.end() - 1, [](const GlCall& call) { return call.name == "glFlush"; });
    EXPECT_TRUE(onlyCleared) << "the first swap shows more than the cleared background";
    std::vector<GlCall>& startUp = frames[1].preamble;
    startUp.insert(startUp.begin(), blank.begin(), blank.end());
    startUp.insert(startUp.begin(), frames.front().preamble.begin(), frames.front().preamble.end());
    frames.erase(frames.begin());
    return frames;
}

void ProgramTest::startPaced(const std::vector<std::string>& args)
{
    start(args, "", {std::string("LD_PRELOAD=") + SWAP_PACER_LIBRARY});
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string option = "--window-manager=";
    const std::string westonOption = "--weston=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(option, 0) == 0) {
            windowManagerPath = arg.substr(option.size());
        }
        if (arg.rfind(westonOption, 0) == 0) {
            westonPath = arg.substr(westonOption.size());
        }
    }
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
