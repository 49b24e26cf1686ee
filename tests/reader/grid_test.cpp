#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "drawn_pattern.h"
#include "reader/grid.h"

namespace {

const reader::Mode MODE_1024{1024, 768, 60};

}  // namespace

TEST(FindGrid, NumbersEveryLineOfASquareOnScreen)
{
    const reader::GridReading grid = reader::findGrid(drawnPattern(MODE_1024, 17), squareOn(), MODE_1024);
    ASSERT_TRUE(grid.found);
    EXPECT_NEAR(grid.spacing, 17.0, 0.01);
    EXPECT_EQ(grid.crop, 0.0);
    // Line n lies in the pixel column n * 17, centred half a pixel further.
    EXPECT_NEAR(grid.lineAt(0), 0.5, 0.2);
    EXPECT_NEAR(grid.lineAt(60), 60 * 17 + 0.5, 0.2);
    ASSERT_EQ(grid.lineNumber.size(), 61U);
    for (size_t i = 0; i < grid.lineNumber.size(); ++i) {
        EXPECT_EQ(grid.lineNumber[i], static_cast<int>(i));
        EXPECT_NEAR(grid.lineX[i], grid.lineNumber[i] * 17 + 0.5, 0.01);
    }
}

TEST(FindGrid, TellsTheOverscanFromTheSpacingAndNumbersTheLinesLeft)
{
    for (const double crop : {0.02, 0.035, 0.05}) {
        const cv::Mat screen = overscanned(drawnPattern(MODE_1024, 30), crop);
        const reader::GridReading grid = reader::findGrid(screen, squareOn(), MODE_1024);
        ASSERT_TRUE(grid.found) << crop;
        const double cut = static_cast<int>(1024 * crop);
        EXPECT_NEAR(grid.crop, cut / 1024.0, 0.002) << crop;
        // The first lines are gone; the ones left keep their numbers.
        ASSERT_FALSE(grid.lineNumber.empty());
        const double stretch = 1024.0 / (1024.0 - 2.0 * cut);
        // The first line two pixels or more inside the edge is found.
        const int firstInside = static_cast<int>(std::ceil((cut + 2.0 / stretch - 0.5) / 17.0));
        EXPECT_LE(grid.lineNumber.front(), firstInside) << crop;
        EXPECT_GE(grid.lineNumber.front(), firstInside - 1) << crop;
        for (size_t i = 0; i < grid.lineNumber.size(); ++i) {
            EXPECT_NEAR(grid.lineX[i], (grid.lineNumber[i] * 17 + 0.5 - cut) * stretch, 1.0) << crop;
        }
    }
}

TEST(FindGrid, ReadsAWashedOutScreenWithAColourCast)
{
    cv::Mat screen = drawnPattern(MODE_1024, 3);
    screen.convertTo(screen, CV_8UC3, 0.3, 120.0);
    cv::add(screen, cv::Scalar(0, 10, 30), screen);
    cv::GaussianBlur(screen, screen, cv::Size(0, 0), 1.2);
    const reader::GridReading grid = reader::findGrid(screen, squareOn(), MODE_1024);
    ASSERT_TRUE(grid.found);
    EXPECT_NEAR(grid.lineAt(10), 170.5, 0.5);
}

TEST(FindGrid, FindsNoGridWhereThereIsNone)
{
    const cv::Mat blue(768, 1024, CV_8UC3, cv::Scalar(128, 0, 0));
    EXPECT_FALSE(reader::findGrid(blue, squareOn(), MODE_1024).found);
    cv::Mat noise(768, 1024, CV_8UC3);
    cv::randu(noise, 0, 255);
    EXPECT_FALSE(reader::findGrid(noise, squareOn(), MODE_1024).found);
    // A mode too narrow to have columns.
    const reader::Mode narrow{40, 600, 60};
    EXPECT_FALSE(reader::findGrid(drawnPattern(MODE_1024, 0), squareOn(), narrow).found);
}

// A tracked screen's lines are taken as known only while the photo shows
// them in their place: a shake of a third of a column makes the grid be
// read afresh, and a screen gone dark is no grid at all.
TEST(FollowGrid, KeepsKnownLinesOnlyWhileThePhotoShowsThemThere)
{
    const cv::Mat screen = drawnPattern(MODE_1024, 17);
    reader::StripMaps maps;
    reader::KnownGrids known;
    const reader::GridReading first = reader::followGrid(screen, squareOn(), MODE_1024, &maps, &known);
    ASSERT_TRUE(first.found);
    EXPECT_NEAR(first.lineAt(10), 170.5, 0.3);
    ASSERT_TRUE(known.find(squareOn()).has_value());

    cv::Mat shaken;
    const cv::Matx23d shift(1.0, 0.0, 6.0, 0.0, 1.0, 0.0);
    cv::warpAffine(screen, shaken, shift, screen.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const reader::GridReading moved = reader::followGrid(shaken, squareOn(), MODE_1024, &maps, &known);
    ASSERT_TRUE(moved.found);
    EXPECT_NEAR(moved.lineAt(10), 176.5, 0.5);

    const cv::Mat dark(screen.size(), CV_8UC3, cv::Scalar(3, 3, 3));
    EXPECT_FALSE(reader::followGrid(dark, squareOn(), MODE_1024, &maps, &known).found);
}
