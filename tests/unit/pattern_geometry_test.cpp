#include <gtest/gtest.h>

#include <climits>

#include "common/display_settings.h"
#include "render/pattern_geometry.h"

namespace {

struct GridRow {
    int32_t width;
    int32_t height;
    int32_t lines;
    float lastX;
    float bottom;
};

int32_t stepFor(int32_t width)
{
    return width / COLUMN_COUNT;
}

}  // namespace

TEST(ColumnGrid, MatchesTheCommonModes)
{
    const GridRow rows[] = {
        {640, 480, 64, 631.0F, 230.0F},    {800, 600, 62, 794.0F, 350.0F},    {1024, 768, 61, 1021.0F, 518.0F},
        {1280, 1024, 61, 1261.0F, 774.0F}, {1920, 1080, 60, 1889.0F, 830.0F}, {60, 600, 60, 60.0F, 350.0F},
    };
    for (const GridRow& row : rows) {
        SCOPED_TRACE(row.width);
        const int32_t step = stepFor(row.width);
        const int32_t count = gridLineCount(row.width, step);
        EXPECT_EQ(count, row.lines);
        EXPECT_EQ(gridLineX(0, step), 1.0F);
        EXPECT_EQ(gridLineX(count - 1, step), row.lastX);
        // The next line would lie past the right edge.
        EXPECT_GT(gridLineX(count, step), static_cast<float>(row.width));
        EXPECT_EQ(gridLineBottom(row.height), row.bottom);
    }
}

TEST(ColumnGrid, NarrowAndNonPositiveWidthsEnd)
{
    EXPECT_EQ(gridLineCount(59, stepFor(59)), 1);
    EXPECT_EQ(gridLineCount(1, stepFor(1)), 1);
    EXPECT_EQ(gridLineCount(0, stepFor(0)), 0);
    EXPECT_EQ(gridLineCount(-1, stepFor(-1)), 0);
    EXPECT_EQ(gridLineCount(-120, stepFor(-120)), 0);
    EXPECT_EQ(gridLineCount(INT32_MIN, stepFor(INT32_MIN)), 0);
}

TEST(ColumnGrid, HugeWidthsDoNotOverflow)
{
    const int32_t step = stepFor(INT32_MAX);
    const int32_t count = gridLineCount(INT32_MAX, step);
    EXPECT_EQ(count, 61);
    EXPECT_EQ(gridLineX(count - 1, step), static_cast<float>(1 + 60 * step));
}

TEST(ColumnGrid, BottomIsTakenInIntegersThenConverted)
{
    // At 500 lines the grid lines have no length; below, they run upward.
    EXPECT_EQ(gridLineBottom(500), 250.0F);
    EXPECT_EQ(gridLineBottom(480), 230.0F);
    EXPECT_EQ(gridLineBottom(0), -250.0F);
    EXPECT_EQ(gridLineBottom(INT32_MIN), -2147483898.0F);
    EXPECT_EQ(gridLineBottom(INT32_MAX), 2147483397.0F);
}

TEST(SweepBar, StepsOneColumnPerFrameAndWraps)
{
    int32_t index = 0;
    for (int32_t frame = 0; frame < 3 * COLUMN_COUNT; ++frame) {
        ASSERT_EQ(index, frame % COLUMN_COUNT);
        index = nextBarIndex(index);
    }
    EXPECT_EQ(nextBarIndex(59), 0);
    EXPECT_EQ(nextBarIndex(0), 1);
}

TEST(SweepBar, SpansOneColumn)
{
    const BarSpan first = barSpan(0, 17.0F);
    EXPECT_EQ(first.x0, 0.0F);
    EXPECT_EQ(first.x1, 17.0F);
    const BarSpan last = barSpan(59, 17.0F);
    EXPECT_EQ(last.x0, 1003.0F);
    EXPECT_EQ(last.x1, 1020.0F);
    EXPECT_EQ(barSpan(nextBarIndex(59), 17.0F).x0, 0.0F);
    EXPECT_EQ(barSpan(59, 32.0F).x1, 1920.0F);

    const BarSpan empty = barSpan(30, 0.0F);
    EXPECT_EQ(empty.x0, empty.x1);
}
