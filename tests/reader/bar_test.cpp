#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "drawn_pattern.h"
#include "reader/bar.h"

namespace {

const reader::Mode MODE_1024{1024, 768, 60};

reader::BarReading readBar(const cv::Mat& screen, const reader::Mode& mode)
{
    const reader::GridReading grid = reader::findGrid(screen, squareOn(), mode);
    EXPECT_TRUE(grid.found);
    return reader::findBar(screen, squareOn(), grid, mode);
}

// Two frames in one exposure: the bar in `first` for `share` of it, then
// in the next column.
cv::Mat changingFrames(const reader::Mode& mode, int first, double share)
{
    cv::Mat mixed;
    cv::addWeighted(drawnPattern(mode, first), share, drawnPattern(mode, (first + 1) % 60), 1.0 - share, 0.0, mixed);
    return mixed;
}

}  // namespace

TEST(FindBar, ReadsTheColumnAtBothEndsAndBetween)
{
    for (const int column : {0, 1, 17, 30, 58, 59}) {
        const reader::BarReading bar = readBar(drawnPattern(MODE_1024, column), MODE_1024);
        ASSERT_TRUE(bar.found) << column;
        EXPECT_EQ(bar.column, column);
        EXPECT_FALSE(bar.secondColumn.has_value()) << column;
    }
    // Other widths: a step that fills the screen, and one that leaves a rest.
    for (const reader::Mode mode : {reader::Mode{1920, 1080, 60}, reader::Mode{800, 600, 75}}) {
        EXPECT_EQ(readBar(drawnPattern(mode, 44), mode).column, 44) << mode.width;
    }
}

TEST(FindBar, ReadsAboveTheGridBandOfAShortScreen)
{
    // At 480 lines the band runs from 230 up to 250.
    const reader::Mode mode{640, 480, 60};
    EXPECT_EQ(readBar(drawnPattern(mode, 9), mode).column, 9);
}

TEST(FindBar, OfTwoBarsReadsTheBrighterAndTellsOfTheOther)
{
    reader::BarReading bar = readBar(changingFrames(MODE_1024, 20, 0.65), MODE_1024);
    ASSERT_TRUE(bar.found);
    EXPECT_EQ(bar.column, 20);
    ASSERT_TRUE(bar.secondColumn.has_value());
    EXPECT_EQ(*bar.secondColumn, 21);
    EXPECT_NEAR(bar.share, 0.65, 0.03);

    bar = readBar(changingFrames(MODE_1024, 59, 0.3), MODE_1024);
    EXPECT_EQ(bar.column, 0);
    ASSERT_TRUE(bar.secondColumn.has_value());
    EXPECT_EQ(*bar.secondColumn, 59);
}

TEST(FindBar, FindsNoBarWhereOverscanHidesIt)
{
    // 4 % of 1024 is 40 pixels: columns 0 to 2 are off the screen.
    const cv::Mat hidden = overscanned(drawnPattern(MODE_1024, 1), 0.04);
    EXPECT_FALSE(readBar(hidden, MODE_1024).found);
    const cv::Mat shown = overscanned(drawnPattern(MODE_1024, 4), 0.04);
    EXPECT_EQ(readBar(shown, MODE_1024).column, 4);
    EXPECT_FALSE(readBar(drawnPattern(MODE_1024, -1), MODE_1024).found);
}

TEST(FindBar, TakesAnAfterglowForNoBar)
{
    // The fading bar of an earlier frame, when the newest is off screen,
    // against a bar half lit by a frame change.
    EXPECT_FALSE(readBar(drawnPattern(MODE_1024, 12, 0.12), MODE_1024).found);
    EXPECT_EQ(readBar(drawnPattern(MODE_1024, 12, 0.5), MODE_1024).column, 12);
}

TEST(FindBar, AGlareSpotIsNoBarAndTheBarUnderItIsRead)
{
    // A lamp's reflection: white light, brightest near column 25, fading
    // over half the screen; once with the bar under its edge, once without.
    const auto withGlare = [](const cv::Mat& pattern) {
        // Drawn at an eighth of the size and enlarged: it is smooth anyway.
        cv::Mat small(pattern.rows / 8, pattern.cols / 8, CV_8UC3, cv::Scalar::all(0));
        cv::circle(small, cv::Point(25 * 17 / 8, 150 / 8), 300 / 8, cv::Scalar::all(150), cv::FILLED);
        cv::GaussianBlur(small, small, cv::Size(), 150.0 / 8);
        cv::Mat glare;
        cv::resize(small, glare, pattern.size(), 0.0, 0.0, cv::INTER_LINEAR);
        cv::Mat lit;
        cv::add(pattern, glare, lit);
        return lit;
    };
    EXPECT_EQ(readBar(withGlare(drawnPattern(MODE_1024, 29)), MODE_1024).column, 29);
    EXPECT_FALSE(readBar(withGlare(drawnPattern(MODE_1024, -1)), MODE_1024).found);
}
