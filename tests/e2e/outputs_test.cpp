// Two outputs showing the same screen, as in the measuring set-up: the
// reference display and the device under test, mirrored.
#include <csignal>

#include "e2e_fixture.h"
#include "picture_checks.h"
#include "randr_outputs.h"

namespace {

ProcessResult xrandr(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"xrandr"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(XRANDR_BINARY, argv, {}, END_TIMEOUT_MS);
}

class MirroredOutputsTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
        // As a user mirrors a second display onto the first.
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--addmode", "DUMMY1", "1920x1080"},
              {"--output", "DUMMY1", "--mode", "1920x1080", "--same-as", "DUMMY0"}}) {
            const ProcessResult result = xrandr(args);
            ASSERT_EQ(result.exitStatus, 0) << result.err;
        }
        desktop = describeOutputs(activeOutputs(display));
        ASSERT_EQ(desktop, "DUMMY0 1920x1080+0+0 60 Hz, DUMMY1 1920x1080+0+0 60 Hz");
    }

    // What RandR read back before the test: the desktop mode on both.
    std::string desktop;
};

}  // namespace

TEST_F(MirroredOutputsTest, BothShowTheModeAndGetTheDesktopBackAfterAKeyOrASignal)
{
    for (const int signalNumber : {0, SIGTERM}) {
        SCOPED_TRACE(signalNumber == 0 ? "quit with q" : "ended by SIGTERM");
        ASSERT_NO_FATAL_FAILURE(start({"1024", "768", "60"}));
        const std::vector<OutputShows> shown = activeOutputs(display);
        EXPECT_EQ(describeOutputs(shown), "DUMMY0 1024x768+0+0 60 Hz, DUMMY1 1024x768+0+0 60 Hz");
        // What each display is sent: its output's part of the screen.
        for (const OutputShows& output : shown) {
            SCOPED_TRACE(output.name);
            const Picture picture = grabRectangle(display, output.x, output.y, output.width, output.height);
            ASSERT_NO_FATAL_FAILURE(checkPattern(picture, 1024, 768));
            checkTitleAtTheTop(picture);
        }
        const ProcessResult result = signalNumber == 0 ? stopWithKey("q") : endWithSignal(signalNumber).result;
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitStatus, signalNumber == 0 ? 0 : 128 + signalNumber);
        EXPECT_EQ(describeOutputs(activeOutputs(display)), desktop);
    }
}

TEST_F(MirroredOutputsTest, AModeOneOutputLacksIsRefusedAndNothingIsSet)
{
    // A mode line for DUMMY0 alone (60.01 Hz); made once per server, so a
    // repeated run finds it made already.
    (void)xrandr({"--newmode", "1152x720", "69.12", "1152", "1184", "1248", "1344", "720", "721", "724", "857"});
    const ProcessResult added = xrandr({"--addmode", "DUMMY0", "1152x720"});
    ASSERT_EQ(added.exitStatus, 0) << added.err;
    const unsigned long setAt = outputsSetAt(display);

    const ProcessResult result = runToEnd({"vesmira", "1152", "720", "60"});
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, MODE_UNAVAILABLE);
    EXPECT_EQ(result.err, "vesmira: output DUMMY1 has no 1152x720 mode at 60 Hz\n");
    EXPECT_EQ(outputsSetAt(display), setAt) << "an output was set, if only for a moment";
    EXPECT_EQ(describeOutputs(activeOutputs(display)), desktop);
}
