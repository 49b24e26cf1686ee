// On a Wayland desktop (run with --weston=PATH): X programs draw through
// XWayland, and only the compositor sets the display mode.
#include <csignal>

#include "e2e_fixture.h"
#include "picture_checks.h"
#include "randr_outputs.h"

namespace {

class WaylandDesktopTest : public ProgramTest {
protected:
    // XWayland switches no modes, so there is none to put back.
    void SetUp() override
    {
        display = openDisplay();
        ASSERT_NE(display, nullptr) << "cannot open " << getenv("DISPLAY");
        // weston's headless output, at 59.96 Hz.
        ASSERT_EQ(describeOutputs(activeOutputs(display)), DESKTOP);
    }

    static constexpr char DESKTOP[] = "XWAYLAND0 1920x1080+0+0 60 Hz";
};

}  // namespace

TEST_F(WaylandDesktopTest, TheDesktopsModeRunsInAFullScreenWindowUntilAKeyOrASignal)
{
    for (const int signalNumber : {0, SIGTERM}) {
        SCOPED_TRACE(signalNumber == 0 ? "quit with q" : "ended by SIGTERM");
        program = startProcess(VESMIRA_BINARY, {"vesmira", "1920", "1080", "60"});
        WindowPlace window;
        Picture picture;
        const bool drawn = waitUntil(
            [&] {
                window = findWindow(display, "vesmira");
                picture = grabWindow(display, window);
                return !running() || patternInPlace(picture, DESKTOP_WIDTH, DESKTOP_HEIGHT);
            },
            START_TIMEOUT_MS);
        ASSERT_TRUE(running()) << "vesmira ended during start-up: " << finishProcess(&program, END_TIMEOUT_MS).err;
        if (!drawn) {
            const std::string look = outputPath("wayland-start.png");
            (void)savePng(picture, look);
            FAIL() << "no window named vesmira showed the pattern over the whole output; the last look is " << look;
        }
        // Over the whole output, which it shows at its top-left corner.
        EXPECT_EQ(window.x, 0);
        EXPECT_EQ(window.y, 0);
        ASSERT_NO_FATAL_FAILURE(checkPattern(picture, DESKTOP_WIDTH, DESKTOP_HEIGHT));
        checkTitleAtTheTop(picture);

        const ProcessResult result = signalNumber == 0 ? stopWithKey("q") : endWithSignal(signalNumber).result;
        EXPECT_TRUE(result.exited) << result.err;
        EXPECT_EQ(result.exitStatus, signalNumber == 0 ? 0 : 128 + signalNumber) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(describeOutputs(activeOutputs(display)), DESKTOP);
    }
}

TEST_F(WaylandDesktopTest, AnyOtherModeIsRefusedWithTheReasonAndWhatToDo)
{
    for (const auto& [width, height, rate] : {std::tuple{"1024", "768", "60"}, {"1920", "1080", "30"}}) {
        SCOPED_TRACE(std::string(width) + "x" + height + " at " + rate);
        const ProcessResult result = runToEnd({"vesmira", width, height, rate});
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, MODE_UNAVAILABLE);
        EXPECT_EQ(result.err, std::string("vesmira: this desktop runs Wayland, where only the desktop sets the display "
                                          "mode, and it shows 1920x1080 at 60 Hz; set it to ") +
                                  width + "x" + height + " at " + rate +
                                  " Hz in the display settings, then start vesmira again\n");
    }
}
