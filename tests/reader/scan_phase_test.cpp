#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "drawn_pattern.h"
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
