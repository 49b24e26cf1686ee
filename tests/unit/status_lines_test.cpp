#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <string>

#include "overlay/status_lines.h"

namespace {

// The buffer is followed by guard bytes that must stay untouched.
struct GuardedLine {
    char text[STATUS_LINE_SIZE];
    char guard[8];
};

std::string fpsLine(float fps)
{
    GuardedLine line;
    std::memset(&line, '#', sizeof line);
    formatFpsLine(line.text, sizeof line.text, fps);
    EXPECT_EQ(std::string(line.guard, sizeof line.guard), "########");
    return line.text;
}

std::string settingsLine(int32_t width, int32_t height, int32_t refresh)
{
    GuardedLine line;
    std::memset(&line, '#', sizeof line);
    const DisplaySettings settings = {width, height, BITS_PER_PIXEL, refresh, 0, 0.0F};
    formatSettingsLine(line.text, sizeof line.text, settings);
    EXPECT_EQ(std::string(line.guard, sizeof line.guard), "########");
    return line.text;
}

}  // namespace

TEST(StatusLines, FrameRateHasTwoDecimals)
{
    EXPECT_EQ(fpsLine(0.0F), "Average FPS: 0.00");
    EXPECT_EQ(fpsLine(static_cast<float>(61 * 1000.0 / 1017)), "Average FPS: 59.98");
    EXPECT_EQ(fpsLine(0.5F), "Average FPS: 0.50");
    EXPECT_EQ(fpsLine(921.08F), "Average FPS: 921.08");
}

TEST(StatusLines, EvenTheLargestRateFitsWhole)
{
    const std::string largest = fpsLine(FLT_MAX);
    EXPECT_EQ(largest.size(), std::strlen("Average FPS: ") + 39 + std::strlen(".00"));
    EXPECT_EQ(largest.substr(largest.size() - 3), ".00");
}

TEST(StatusLines, SettingsShowTheRequestedValues)
{
    EXPECT_EQ(settingsLine(1024, 768, 60), "Display settings: 1024x768 16b @ 60Hz");
    EXPECT_EQ(settingsLine(1920, 1080, 144), "Display settings: 1920x1080 16b @ 144Hz");
    const std::string longest = settingsLine(INT32_MIN, INT32_MIN, INT32_MIN);
    EXPECT_EQ(longest, "Display settings: -2147483648x-2147483648 16b @ -2147483648Hz");
    EXPECT_EQ(longest.size(), 61U);
}
