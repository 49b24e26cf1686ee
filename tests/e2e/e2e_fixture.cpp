#include "e2e_fixture.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "x_server.h"

namespace {

XServer server;

constexpr int START_TIMEOUT_MS = 20000;
constexpr int END_TIMEOUT_MS = 10000;

}  // namespace

std::string outputPath(const std::string& name)
{
    return std::string(E2E_OUTPUT_DIR) + "/" + name;
}

void XServerEnvironment::SetUp()
{
    const std::string log = outputPath("xorg-" + std::to_string(getpid()) + ".log");
    server = startXServer(XORG_CONFIG, log);
    ASSERT_GE(server.display, 0) << "Xorg did not start; see " << log;
    setenv("DISPLAY", displayName(server).c_str(), 1);
}

void XServerEnvironment::TearDown()
{
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

void ProgramTest::start(const std::vector<std::string>& args, const std::string& traceFile)
{
    std::vector<std::string> argv = {"vesmira"};
    std::string path = VESMIRA_BINARY;
    if (!traceFile.empty()) {
        argv = {"apitrace", "trace", "--output", traceFile, VESMIRA_BINARY};
        path = APITRACE_BINARY;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    program = startProcess(path, argv);
    const int width = std::stoi(args.at(0));
    const int height = std::stoi(args.at(1));
    ASSERT_TRUE(waitForProgramMode(display, program.pid, width, height, START_TIMEOUT_MS))
        << "vesmira ended, or the mode did not change, during start-up";
    // The first frames are on screen once the cleared background shows in a
    // corner that nothing else covers.
    const bool drawn = waitUntil(
        [&] { return looksLike(grab(width, height).at(width - 1, height - 1), 0.0F, 0.0F, 0.5F); }, START_TIMEOUT_MS);
    ASSERT_TRUE(drawn) << "no frame appeared";
}

bool ProgramTest::running() const
{
    return program.pid > 0 && !hasEnded(program.pid);
}

bool ProgramTest::screenInMode(int width, int height) const
{
    return ::screenInMode(display, width, height);
}

ProcessResult ProgramTest::stopWithSignal(int signalNumber)
{
    kill(program.pid, signalNumber);
    return finishProcess(&program, END_TIMEOUT_MS);
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
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ProcessResult result = stopWithKey("q");
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.err;
    std::vector<GlFrame> frames;
    EXPECT_TRUE(readTrace(traceFile, &frames));
    return frames;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
