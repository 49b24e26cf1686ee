#include <gtest/gtest.h>

#include <climits>

#include "overlay/frame_rate_meter.h"

namespace {

// Counts frames at an even pace from startMs to endMs, both included.
void countFrames(FrameRateMeter* meter, int frames, int32_t startMs, int32_t endMs)
{
    for (int i = 0; i < frames; ++i) {
        const int64_t span = static_cast<int64_t>(endMs) - startMs;
        countFrame(meter, static_cast<int32_t>(startMs + span * i / (frames > 1 ? frames - 1 : 1)));
    }
}

}  // namespace

TEST(FrameRateMeter, StaysAtZeroUntilTheFirstUpdate)
{
    FrameRateMeter meter = {};
    countFrames(&meter, 500, 0, 1000);
    EXPECT_EQ(meter.averageFps, 0.0F);
    EXPECT_EQ(meter.frameCount, 500);
    EXPECT_EQ(meter.lastUpdateMs, 0);
}

TEST(FrameRateMeter, UpdatesOnlyAfterStrictlyMoreThanOneSecond)
{
    FrameRateMeter meter = {};
    countFrame(&meter, 1000);
    EXPECT_EQ(meter.frameCount, 1);
    EXPECT_EQ(meter.averageFps, 0.0F);

    countFrame(&meter, 1001);
    EXPECT_EQ(meter.frameCount, 0);
    EXPECT_EQ(meter.lastUpdateMs, 1001);
    EXPECT_FLOAT_EQ(meter.averageFps, static_cast<float>(2 * 1000.0 / 1001));
}

TEST(FrameRateMeter, AveragesTheFramesOfTheInterval)
{
    FrameRateMeter meter = {};
    meter.lastUpdateMs = 5000;
    // 61 frames, the last 1017 ms after the previous update.
    countFrames(&meter, 61, 5017, 6017);
    EXPECT_EQ(meter.averageFps, static_cast<float>(61 * 1000.0 / 1017));
    EXPECT_EQ(meter.lastUpdateMs, 6017);
    EXPECT_EQ(meter.frameCount, 0);
}

TEST(FrameRateMeter, ASlowStartCountsOneFrameThenRunsNormally)
{
    FrameRateMeter meter = {};
    countFrame(&meter, 2000);
    EXPECT_FLOAT_EQ(meter.averageFps, 0.5F);
    countFrames(&meter, 61, 2017, 3017);
    EXPECT_EQ(meter.averageFps, static_cast<float>(61 * 1000.0 / 1017));
}

TEST(FrameRateMeter, SurvivesTheClockWrapping)
{
    // GLUT's int millisecond counter passes INT_MAX after about 24.8 days.
    FrameRateMeter meter = {};
    meter.lastUpdateMs = INT32_MAX - 500;
    countFrames(&meter, 60, INT32_MAX - 480, INT32_MAX);
    EXPECT_EQ(meter.averageFps, 0.0F);
    countFrame(&meter, INT32_MIN + 520);  // 1021 ms after the last update
    EXPECT_EQ(meter.lastUpdateMs, INT32_MIN + 520);
    EXPECT_EQ(meter.averageFps, static_cast<float>(61 * 1000.0 / 1021));
}
