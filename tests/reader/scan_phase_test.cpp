#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "drawn_pattern.h"
#include "reader/rectify.h"
#include "reader/scan_phase.h"

namespace {

// A screen caught mid-scan: rows above `row` already show the bar in
// `newest`, rows below still in the column before; the change fades in over
// `band` rows centred on `row`.
cv::Mat midScan(const reader::Mode& mode, int newest, double row, double band)
{
    const cv::Mat now = drawnPattern(mode, newest);
    const cv::Mat before = drawnPattern(mode, (newest + 59) % 60);
    cv::Mat screen(now.size(), CV_8UC3);
    for (int y = 0; y < screen.rows; ++y) {
        const double centre = y + 0.5;
        const double changed =
            band <= 0.0 ? (centre < row ? 1.0 : 0.0) : std::clamp(0.5 - (centre - row) / band, 0.0, 1.0);
        cv::addWeighted(now.row(y), changed, before.row(y), 1.0 - changed, 0.0, screen.row(y));
    }
    return screen;
}

reader::ScanReading scanOf(const cv::Mat& screen, const reader::Mode& mode)
{
    const reader::GridReading grid = reader::findGrid(screen, squareOn(), mode);
    const reader::BarReading bar = reader::findBar(screen, squareOn(), grid, mode);
    EXPECT_TRUE(bar.found);
    return reader::readScanPhase(screen, squareOn(), grid, bar, mode);
}

const reader::Mode MODE_1024{1024, 768, 60};
const reader::Mode MODE_1080{1920, 1080, 60};

}  // namespace

TEST(ScanPhase, TheCrossingRowGivesThePhase)
{
    for (const double row : {40.0, 300.5, 512.0, 700.0}) {
        for (const double band : {0.0, 30.0}) {
            const reader::ScanReading scan = scanOf(midScan(MODE_1024, 21, row, band), MODE_1024);
            EXPECT_EQ(scan.newestColumn, 21);
            ASSERT_TRUE(scan.crossingRow.has_value()) << row << " " << band;
            EXPECT_NEAR(*scan.crossingRow, row, 1.5) << band;
            EXPECT_FALSE(scan.coarse);
            EXPECT_NEAR(scan.phase, row / 768.0, 2.0 / 768.0);
            EXPECT_NEAR(scan.clock(), 21 + row / 768.0, 2.0 / 768.0);
        }
    }
}

TEST(ScanPhase, TheNewestColumnFollowsTheSweepAcrossItsWrap)
{
    // The newer bar is in column 0, the older one in 59.
    const reader::ScanReading scan = scanOf(midScan(MODE_1024, 0, 200.0, 10.0), MODE_1024);
    EXPECT_EQ(scan.newestColumn, 0);
    ASSERT_TRUE(scan.crossingRow.has_value());
    EXPECT_NEAR(*scan.crossingRow, 200.0, 1.5);
}

TEST(ScanPhase, WithoutACrossingTheMiddleOfWhatIsPossibleIsCoarse)
{
    // The bar reaches the bottom of a 768-line screen: it changed all at
    // once, so nothing is known of the phase.
    reader::ScanReading scan = scanOf(drawnPattern(MODE_1024, 5), MODE_1024);
    EXPECT_TRUE(scan.coarse);
    EXPECT_FALSE(scan.crossingRow.has_value());
    EXPECT_EQ(scan.newestColumn, 5);
    EXPECT_DOUBLE_EQ(scan.phase, 0.5);
    // On 1080 lines the scan may be below the bar, in rows 799 to 1080.
    scan = scanOf(drawnPattern(MODE_1080, 5), MODE_1080);
    EXPECT_TRUE(scan.coarse);
    EXPECT_NEAR(scan.phase, (799.0 + 1080.0) / 2.0 / 1080.0, 1e-9);
    // A crossing below the bar on a tall screen shows as no crossing.
    scan = scanOf(midScan(MODE_1080, 7, 900.0, 0.0), MODE_1080);
    EXPECT_TRUE(scan.coarse);
    EXPECT_EQ(scan.newestColumn, 7);
}

// A tracked screen the photo shows at a third of the pattern's size is
// sampled at the photo's own resolution, not the pattern's: the lines, the bar and the
// crossing row still come out where they were drawn.
TEST(ScanPhase, AScreenSmallInThePhotoIsReadFromItsOwnPixels)
{
    const reader::Quad outline = {cv::Point2d(60.3, 40.2), cv::Point2d(670.6, 48.1), cv::Point2d(676.4, 400.7),
                                  cv::Point2d(52.5, 392.3)};
    const cv::Matx33d toPattern = reader::patternHomography(outline, MODE_1080);
    ASSERT_EQ(reader::patternColumnsPerPixel(toPattern, MODE_1080), 3);
    // As a camera sees it: each photo pixel the mean of the pattern's pixels
    // it covers (the screen shrunk to a third), then seen at a slant.
    cv::Mat third;
    cv::resize(midScan(MODE_1080, 37, 450.0, 0.0), third, cv::Size(640, 360), 0.0, 0.0, cv::INTER_AREA);
    const cv::Matx33d toThird(1.0 / 3.0, 0.0, -1.0 / 3.0, 0.0, 1.0 / 3.0, -1.0 / 3.0, 0.0, 0.0, 1.0);
    cv::Mat photo;
    cv::warpPerspective(third, photo, toThird * toPattern, cv::Size(730, 450), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT, cv::Scalar(20, 30, 40));

    // Read as a tracked screen is, through kept maps.
    reader::StripMaps maps;
    const reader::GridReading grid = reader::findGrid(photo, toPattern, MODE_1080, &maps);
    ASSERT_TRUE(grid.found);
    ASSERT_GE(grid.lineX.size(), 55U);
    const int step = MODE_1080.columnStep();
    for (size_t i = 0; i < grid.lineX.size(); ++i) {
        EXPECT_NEAR(grid.lineX[i], grid.lineNumber[i] * step + 0.5, 1.0) << "line " << grid.lineNumber[i];
    }
    const reader::BarReading bar = reader::findBar(photo, toPattern, grid, MODE_1080, &maps);
    ASSERT_TRUE(bar.found);
    const reader::ScanReading scan = reader::readScanPhase(photo, toPattern, grid, bar, MODE_1080, &maps);
    EXPECT_EQ(scan.newestColumn, 37);
    ASSERT_TRUE(scan.crossingRow.has_value());
    EXPECT_NEAR(*scan.crossingRow, 450.0, 3.0);
}
