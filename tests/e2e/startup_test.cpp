#include <cstdlib>

#include "e2e_fixture.h"

namespace {

const std::string USAGE_OF_CUSTOM_NAME =
    "Usage: /opt/any/custom-name Width Height RefreshRate\n"
    "Example: /opt/any/custom-name 1024 768 60\n";

void expectUsage(const ProcessResult& result, const std::string& usage)
{
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, usage);
    EXPECT_EQ(result.out, "");
}

void expectRefusal(const ProcessResult& result)
{
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, MODE_UNAVAILABLE);
    EXPECT_EQ(result.err, "");
}

}  // namespace

TEST_F(ProgramTest, WrongArgumentCountsPrintUsageWithoutTouchingTheDisplay)
{
    const std::string name = "/opt/any/custom-name";
    expectUsage(runToEnd({name}), USAGE_OF_CUSTOM_NAME);
    expectUsage(runToEnd({name, "1024", "768"}), USAGE_OF_CUSTOM_NAME);
    expectUsage(runToEnd({name, "1024", "768", "60", "16"}), USAGE_OF_CUSTOM_NAME);
    // No argument vector at all: Linux passes an empty name, other kernels none.
    expectUsage(runToEnd({}), "Usage: vesmira Width Height RefreshRate\nExample: vesmira 1024 768 60\n");
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));

    // GLUT is not initialised on this path: without a display there is no
    // error from it, only the usage.
    const ProcessResult noDisplay = runProcess(VESMIRA_BINARY, {name, "1"}, {"DISPLAY=:not-a-display"});
    expectUsage(noDisplay, USAGE_OF_CUSTOM_NAME);
}

TEST_F(ProgramTest, OptionsThatGlutTakesOutLeaveTooFewNumbers)
{
    const std::string name = "/opt/any/custom-name";
    expectUsage(runToEnd({name, "-sync", "1024", "768"}), USAGE_OF_CUSTOM_NAME);
    expectUsage(runToEnd({name, "-display", std::getenv("DISPLAY"), "1024"}), USAGE_OF_CUSTOM_NAME);
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
}

TEST_F(ProgramTest, UnavailableModesAreRefused)
{
    expectRefusal(runToEnd({"vesmira", "333", "333", "60"}));
    // GLUT reads the hex-looking 0x768:16@60 its own way and says so.
    const ProcessResult zeroWidth = runToEnd({"vesmira", "abc", "768", "60"});
    EXPECT_EQ(zeroWidth.exitStatus, 1);
    EXPECT_EQ(zeroWidth.out, MODE_UNAVAILABLE);
    expectRefusal(runToEnd({"vesmira", "99999999999", "768", "60"}));
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));
}

TEST_F(ProgramTest, ARequestTooLongForItsBufferIsRefusedNotCut)
{
    // Cut to 23 characters this would read 1920x1080:16@-214748364, a mode
    // GLUT accepts (it falls back to any rate), as the second run shows.
    expectRefusal(runToEnd({"vesmira", "1920", "1080", "-2147483648"}));
    EXPECT_TRUE(screenInMode(DESKTOP_WIDTH, DESKTOP_HEIGHT));

    ASSERT_NO_FATAL_FAILURE(start({"1920", "1080", "-214748364"}));
    const ProcessResult result = stopWithKey("q");
    EXPECT_TRUE(result.exited && result.exitStatus == 0);
}

TEST_F(ProgramTest, RunsInTheRequestedModeAndRate)
{
    ASSERT_NO_FATAL_FAILURE(start({"800", "600", "75"}));
    const ModeSize mode = currentMode(display);
    EXPECT_EQ(mode.refresh, 75);
    EXPECT_EQ(stopWithKey("Escape").exitStatus, 0);

    ASSERT_NO_FATAL_FAILURE(start({"800", "600", "60"}));
    EXPECT_EQ(currentMode(display).refresh, 60);
    EXPECT_EQ(stopWithKey("q").exitStatus, 0);
}
