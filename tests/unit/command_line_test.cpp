#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "app/command_line.h"

namespace {

struct Request {
    bool fits;
    std::string text;
};

DisplaySettings settingsFor(const char* width, const char* height, const char* refresh)
{
    const char* argv[] = {"vesmira", width, height, refresh, nullptr};
    DisplaySettings settings = {};
    EXPECT_TRUE(readDisplaySettings(4, argv, &settings));
    return settings;
}

Request requestFor(const DisplaySettings& settings)
{
    // A guard byte past the buffer shows whether anything was written beyond it.
    char buffer[GAME_MODE_STRING_SIZE + 1];
    std::memset(buffer, '#', sizeof buffer);
    const bool fits = formatGameModeString(settings, buffer, GAME_MODE_STRING_SIZE);
    EXPECT_EQ(buffer[GAME_MODE_STRING_SIZE], '#');
    return Request{fits, buffer};
}

}  // namespace

TEST(ReadDecimal, FollowsAtoiForOrdinaryText)
{
    EXPECT_EQ(readDecimal("1024"), 1024);
    EXPECT_EQ(readDecimal("  \t\n768"), 768);
    EXPECT_EQ(readDecimal("+60"), 60);
    EXPECT_EQ(readDecimal("-5"), -5);
    EXPECT_EQ(readDecimal("1024px"), 1024);
    EXPECT_EQ(readDecimal("60Hz"), 60);
    EXPECT_EQ(readDecimal("007"), 7);
    EXPECT_EQ(readDecimal("0x400"), 0);
    EXPECT_EQ(readDecimal("abc"), 0);
    EXPECT_EQ(readDecimal(""), 0);
    EXPECT_EQ(readDecimal("-"), 0);
    EXPECT_EQ(readDecimal("+-3"), 0);
    EXPECT_EQ(readDecimal("- 3"), 0);
    EXPECT_EQ(readDecimal("12 34"), 12);
}

TEST(ReadDecimal, ClampsToTheIntRangeInsteadOfOverflowing)
{
    EXPECT_EQ(readDecimal("2147483647"), INT32_MAX);
    EXPECT_EQ(readDecimal("2147483648"), INT32_MAX);
    EXPECT_EQ(readDecimal("-2147483648"), INT32_MIN);
    EXPECT_EQ(readDecimal("-2147483649"), INT32_MIN);
    EXPECT_EQ(readDecimal("99999999999999999999999999999999"), INT32_MAX);
    EXPECT_EQ(readDecimal("-99999999999999999999999999999999"), INT32_MIN);
    EXPECT_EQ(readDecimal("000000000000000000000000000000042"), 42);
}

TEST(ReadDisplaySettings, DerivesColumnsFromTheWidth)
{
    const DisplaySettings s = settingsFor("1024", "768", "60");
    EXPECT_EQ(s.width, 1024);
    EXPECT_EQ(s.height, 768);
    EXPECT_EQ(s.bitsPerPixel, 16);
    EXPECT_EQ(s.refreshRate, 60);
    EXPECT_EQ(s.columnStep, 17);
    EXPECT_EQ(s.barWidth, 17.0F);

    EXPECT_EQ(settingsFor("1920", "1080", "60").columnStep, 32);
    EXPECT_EQ(settingsFor("800", "600", "75").columnStep, 13);
    EXPECT_EQ(settingsFor("59", "600", "60").columnStep, 0);
    // Integer division truncates toward zero, also for negative widths.
    EXPECT_EQ(settingsFor("-119", "600", "60").columnStep, -1);
    EXPECT_EQ(settingsFor("-119", "600", "60").barWidth, -1.0F);
    EXPECT_EQ(settingsFor("-2147483648", "0", "0").columnStep, -35791394);
}

TEST(ReadDisplaySettings, ReadsUnitsAndTextLikeAtoi)
{
    const DisplaySettings s = settingsFor("1024px", "768", "60Hz");
    EXPECT_EQ(s.width, 1024);
    EXPECT_EQ(s.refreshRate, 60);
    EXPECT_EQ(settingsFor("abc", "768", "60").width, 0);
}

TEST(ReadDisplaySettings, RefusesAnyOtherArgumentCount)
{
    // After glutInit has taken "-sync" out, only two numbers are left; the
    // stale pointers beyond the count must not be read.
    const char* argv[] = {"vesmira", "1024", "768", "60", nullptr};
    DisplaySettings settings = {7, 7, 7, 7, 7, 7.0F};
    EXPECT_FALSE(readDisplaySettings(3, argv, &settings));
    EXPECT_FALSE(readDisplaySettings(0, argv, &settings));
    EXPECT_FALSE(readDisplaySettings(5, argv, &settings));
    EXPECT_EQ(settings.width, 7);
}

TEST(GameModeString, UsesTheGlutSyntax)
{
    EXPECT_EQ(requestFor(settingsFor("1024", "768", "60")).text, "1024x768:16@60");
    EXPECT_EQ(requestFor(settingsFor("1920", "1080", "60")).text, "1920x1080:16@60");
    EXPECT_EQ(requestFor(settingsFor("800", "600", "75")).text, "800x600:16@75");
    EXPECT_EQ(requestFor(settingsFor("abc", "768", "60")).text, "0x768:16@60");
    EXPECT_EQ(requestFor(settingsFor("-1", "-1", "-1")).text, "-1x-1:16@-1");
}

TEST(GameModeString, RefusesWhatDoesNotFitRatherThanCutting)
{
    // 23 characters: the longest that fits.
    const Request longest = requestFor(settingsFor("1024", "768", "-2147483648"));
    EXPECT_TRUE(longest.fits);
    EXPECT_EQ(longest.text, "1024x768:16@-2147483648");

    // 24 characters; cut to 23 it would name a real mode at another rate.
    const Request tooLong = requestFor(settingsFor("1920", "1080", "-2147483648"));
    EXPECT_FALSE(tooLong.fits);
    EXPECT_EQ(tooLong.text, "");

    const Request extreme = requestFor(settingsFor("-2147483648", "-2147483648", "-2147483648"));
    EXPECT_FALSE(extreme.fits);
    EXPECT_EQ(extreme.text, "");
}
