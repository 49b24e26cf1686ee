#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "drawn_pattern.h"
#include "reader/bar.h"
#include "reader/grid.h"
#include "reader/rectify.h"
#include "reader/scan_phase.h"

namespace {

const reader::Mode MODE{1024, 768, 60};

}  // namespace

// A video's tracked screens are read through kept maps: the pixels and so
// every stage's reading must be those of a fresh warp, at the picture's
// edge too, where the screen runs off it.
TEST(StripMaps, ReadAScreenExactlyAsAFreshWarpDoes)
{
    const reader::Quad outline = {cv::Point2d(-40.3, 35.7), cv::Point2d(1110.6, 12.2), cv::Point2d(1130.9, 820.4),
                                  cv::Point2d(-25.1, 790.8)};
    const cv::Matx33d toPattern = reader::patternHomography(outline, MODE);
    cv::Mat photo;
    cv::warpPerspective(drawnPattern(MODE, 41, 0.7), photo, toPattern, cv::Size(1100, 840),
                        cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar(20, 30, 40));

    reader::StripMaps maps;
    const cv::Rect2d edge(0.0, 100.0, 300.0, 500.0);
    for (int pass = 0; pass < 2; ++pass) {  // the map made, then the map held
        const cv::Mat fresh = reader::rectifyRegion(photo, toPattern, edge, cv::Size(300, 125));
        cv::Mat kept(fresh.size(), CV_8UC3, cv::Scalar::all(0));
        reader::visitRegion(
            photo, toPattern, edge, cv::Size(300, 125), &maps, [&kept](int x, int y, const auto& channel) {
                kept.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(channel(0)), static_cast<uchar>(channel(1)),
                                                     static_cast<uchar>(channel(2)));
            });
        cv::Mat difference;
        cv::absdiff(fresh, kept, difference);
        EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0) << "pass " << pass;
    }

    reader::GridReading grid[2];
    reader::BarReading bar[2];
    reader::ScanReading scan[2];
    for (int i = 0; i < 2; ++i) {
        reader::StripMaps* use = i == 0 ? nullptr : &maps;
        grid[i] = reader::findGrid(photo, toPattern, MODE, use);
        bar[i] = reader::findBar(photo, toPattern, grid[i], MODE, use);
        scan[i] = reader::readScanPhase(photo, toPattern, grid[i], bar[i], MODE, use);
    }
    ASSERT_TRUE(grid[0].found);
    ASSERT_TRUE(bar[0].found);
    EXPECT_EQ(bar[0].column, 41);
    EXPECT_EQ(grid[1].spacing, grid[0].spacing);
    EXPECT_EQ(grid[1].lineX, grid[0].lineX);
    EXPECT_EQ(bar[1].column, bar[0].column);
    EXPECT_EQ(bar[1].contrast, bar[0].contrast);
    EXPECT_EQ(scan[1].phase, scan[0].phase);
    EXPECT_EQ(scan[1].crossingRow, scan[0].crossingRow);
}
