// What a person sees and how the program ends, on the bare X server and,
// run with --window-manager, under a window manager.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "e2e_fixture.h"
#include "picture_checks.h"

TEST_F(ProgramTest, TheFirstFramesAreAlreadyAtTheirPlace)
{
    // Swap 1 shows only the cleared background; then frame 0, 1, ...
    for (const int swap : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE("swap " + std::to_string(swap));
        // The program stops itself once that swap is on the screen.
        program = startProcess(
            VESMIRA_BINARY, {"vesmira", "1024", "768", "60"},
            {std::string("LD_PRELOAD=") + SWAP_PACER_LIBRARY, "PACER_STOP_AFTER_SWAP=" + std::to_string(swap)});
        const bool stopped =
            waitUntil([&] { return hasStopped(program.pid) || hasEnded(program.pid); }, START_TIMEOUT_MS);
        ASSERT_TRUE(stopped && hasStopped(program.pid)) << "vesmira did not stop after the swap";
        const Picture picture = grab(1024, 768);
        if (swap == 1) {
            const bool background = std::all_of(picture.pixels.begin(), picture.pixels.end(),
                                                [](Rgb pixel) { return looksLike(pixel, 0.0F, 0.0F, 0.5F); });
            EXPECT_TRUE(background) << "more than the cleared background before the first frame";
        } else {
            ASSERT_NO_FATAL_FAILURE(checkPattern(picture, 1024, 768));
            checkTitleAtTheTop(picture);
            EXPECT_TRUE(looksLike(picture.at(17 * (swap - 2) + 8, 100), 0.0F, 1.0F, 0.5F))
                << "the bar is not in the frame's column";
        }
        kill(program.pid, SIGCONT);
        EXPECT_EQ(stopWithKey("q").exitStatus, 0);
    }
}

TEST_F(ProgramTest, TheMonitorShowsTheWholePatternAndNothingElse)
{
    for (const auto& [width, height] : {std::pair{1024, 768}, {800, 600}, {640, 480}, {1280, 1024}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        ASSERT_NO_FATAL_FAILURE(start({std::to_string(width), std::to_string(height), "60"}));
        // Different shots catch the bar in different columns.
        for (int shot = 0; shot < 3; ++shot) {
            const Picture picture = grab(width, height);
            ASSERT_NO_FATAL_FAILURE(checkPattern(picture, width, height));
            checkTitleAtTheTop(picture);
        }
        checkNothingOutside(grabScreen(display), viewPort(display), width, height);
        EXPECT_EQ(stopWithKey("q").exitStatus, 0);
        EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
    }
}

TEST_F(ProgramTest, APictureFollowsItsWindowsTopWhenTheWindowIsResized)
{
    ASSERT_NO_FATAL_FAILURE(start({"1024", "768", "60"}));
    // Shorter than the mode: the picture's lower lines fall off its bottom.
    ASSERT_TRUE(resizeLargestWindow(display, 1024, 700));
    // The program has the new size's event once it drew a frame or two
    // more; until then its frames can lie lower.
    ASSERT_NO_FATAL_FAILURE(waitForFrames(3));
    Picture picture;
    const bool followed = waitUntil(
        [&] {
            picture = grab(1024, 768);
            return rowHasWhite(picture, 250) && !rowHasWhite(picture, 249) && rowHasWhite(picture, 517) &&
                   !rowHasWhite(picture, 518);
        },
        START_TIMEOUT_MS);
    EXPECT_TRUE(followed) << "the grid never lay from line 250 to 517";
    checkTitleAtTheTop(picture);
    // The grid still from 250 lines below the top to 250 above the mode's bottom.
    EXPECT_FALSE(rowHasWhite(picture, 249));
    EXPECT_TRUE(rowHasWhite(picture, 250));
    EXPECT_TRUE(rowHasWhite(picture, 517));
    EXPECT_FALSE(rowHasWhite(picture, 518));
    EXPECT_EQ(stopWithKey("q").exitStatus, 0);
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
}

TEST_F(ProgramTest, OnlyEscapeAndLowerCaseQQuit)
{
    ASSERT_NO_FATAL_FAILURE(start({"1024", "768", "60"}));
    pressKey(display, "q", true);
    pressKey(display, "a");
    pressKey(display, "Return");
    pressKey(display, "space");
    // The keys reached the program before it drew its next frames (each
    // press waits for the server): ignored keys leave it running in its mode.
    ASSERT_NO_FATAL_FAILURE(waitForFrames(5));
    EXPECT_TRUE(running());
    EXPECT_TRUE(screenInMode(1024, 768));

    const ProcessResult result = stopWithKey("q");
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));

    ASSERT_NO_FATAL_FAILURE(start({"640", "480", "60"}));
    EXPECT_EQ(stopWithKey("Escape").exitStatus, 0);
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
}

TEST_F(ProgramTest, EveryEndingSignalRestoresTheDesktopModePromptly)
{
    // Every signal whose default action ends the process and that can be
    // caught, other than those that report a fault of the program itself;
    // the real-time range by its two ends.
    const std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1,  SIGUSR2, SIGPIPE,
                                      SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,  SIGXFSZ, SIGVTALRM,
                                      SIGPROF, SIGPOLL, SIGPWR,    SIGRTMIN, SIGRTMAX};
    // SIGQUIT's end may dump core; not into the test folder.
    const rlimit noCore = {0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCore), 0);

    int fastestTenFramesMs = INT32_MAX;
    int slowestTenFramesMs = 0;
    double slowestModeBackMs = 0.0;
    double slowestEndMs = 0.0;
    for (const int signalNumber : signals) {
        SCOPED_TRACE(std::to_string(signalNumber) + " " + strsignal(signalNumber));
        // Paced like a monitor's refresh, a frame spends most of its time
        // blocked in the buffer swap, so that is where the signal mostly comes.
        ASSERT_NO_FATAL_FAILURE(startPaced({"800", "600", "60"}));
        // More than ten paced frames, for the pacer's report.
        ASSERT_NO_FATAL_FAILURE(waitForFrames(12));
        const Ending ending = endWithSignal(signalNumber);
        // The desktop back is the program's part of the ending; the exit
        // after it (Mesa's and GLUT's clean-up) is timed, and slows down
        // with the machine's load, but bounded only by the harness.
        EXPECT_TRUE(ending.modeBackMs >= 0.0 && ending.modeBackMs < 200.0)
            << "the desktop mode came back after " << ending.modeBackMs << " ms (-1: never)";
        slowestModeBackMs = std::max(slowestModeBackMs, ending.modeBackMs);
        slowestEndMs = std::max(slowestEndMs, ending.endMs);
        const ProcessResult& result = ending.result;
        if (signalNumber == SIGQUIT) {
            // Ended by the signal itself, as users of Ctrl-\ expect.
            EXPECT_FALSE(result.exited);
            EXPECT_EQ(result.termSignal, SIGQUIT);
        } else {
            EXPECT_TRUE(result.exited);
            EXPECT_EQ(result.exitStatus, 128 + signalNumber);
        }
        EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
        // So that the next signal is judged on its own.
        if (!screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT)) {
            switchToMode(display, DESKTOP_WIDTH, DESKTOP_HEIGHT);
        }
        const size_t report = result.err.rfind("pacer: 10 swaps in ");
        ASSERT_NE(report, std::string::npos) << "no paced frames";
        slowestTenFramesMs = std::max(slowestTenFramesMs, std::stoi(result.err.substr(report + 19)));
        fastestTenFramesMs = std::min(fastestTenFramesMs, std::stoi(result.err.substr(report + 19)));
    }
    // Ten frames at 60 Hz take 167 ms; the program alone draws them in a
    // fraction of that, so it spent most of each frame waiting in the swap.
    EXPECT_GE(fastestTenFramesMs, 150);
    std::printf(
        "after a signal, at the slowest: desktop mode back in %.1f ms, program ended in %.1f ms; "
        "ten paced frames took %d to %d ms\n",
        slowestModeBackMs, slowestEndMs, fastestTenFramesMs, slowestTenFramesMs);
}
