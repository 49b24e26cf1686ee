#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "reader/plot.h"
#include "test_images.h"

using reader::PlotSeries;
using reader::writePlot;

using test_images::svgTexts;

namespace {

// The picture's size and the colours it draws with (BGR): the contract a
// reader of the picture relies on, stated once here.
constexpr int WIDTH = 1280;
constexpr int HEIGHT = 800;
const cv::Scalar POINT_COLOUR(180, 119, 31);
const cv::Scalar MEAN_COLOUR(40, 39, 214);
// The interval's red at 16 % over white.
const cv::Scalar BAND_COLOUR(221, 220, 248);
const cv::Scalar BAR_COLOUR(222, 172, 178);

using test_images::readText;

// Ten readings at 20 ms and ten at 80 ms, alternating: mean 50 ms, the
// interval 40..60 ms, and the histogram's two bars far apart.
PlotSeries twoLevels()
{
    PlotSeries series;
    series.title = "Display lag: 20 photos";
    for (int i = 0; i < 20; ++i) {
        series.lagMs.push_back(i % 2 == 0 ? 20.0 : 80.0);
    }
    series.meanMs = 50.0;
    series.hasInterval = true;
    series.ciLowMs = 40.0;
    series.ciHighMs = 60.0;
    return series;
}

cv::Mat near(const cv::Mat& image, const cv::Scalar& colour, double tolerance)
{
    cv::Mat mask;
    cv::inRange(image, colour - cv::Scalar::all(tolerance), colour + cv::Scalar::all(tolerance), mask);
    return mask;
}

// The band's colour is also on the smoothed edge of the mean line (both are
// its red over white): only areas count, not one-pixel rims.
cv::Mat areasOf(const cv::Mat& mask)
{
    cv::Mat areas;
    cv::erode(mask, areas, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    return areas;
}

// The row of a mask with the most set pixels.
int fullestRow(const cv::Mat& mask)
{
    int best = -1;
    int most = 0;
    for (int y = 0; y < mask.rows; ++y) {
        const int count = cv::countNonZero(mask.row(y));
        if (count > most) {
            most = count;
            best = y;
        }
    }
    return best;
}

// The mean row of the set pixels of a mask, within rows [top, bottom).
double meanRow(const cv::Mat& mask, int top, int bottom)
{
    double sum = 0.0;
    double count = 0.0;
    for (int y = std::max(top, 0); y < std::min(bottom, mask.rows); ++y) {
        const double n = cv::countNonZero(mask.row(y));
        sum += n * y;
        count += n;
    }
    return count > 0.0 ? sum / count : -1.0;
}

// The leftmost column with a set pixel, or -1.
int firstColumn(const cv::Mat& mask)
{
    for (int x = 0; x < mask.cols; ++x) {
        if (cv::countNonZero(mask.col(x)) > 0) {
            return x;
        }
    }
    return -1;
}

bool contains(const std::vector<std::string>& texts, const std::string& wanted)
{
    return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

}  // namespace

TEST(Plot, PngShowsTheReadingsTheMeanItsIntervalAndTheHistogram)
{
    const test_images::TempDir folder;
    const std::string path = folder.file("lag.png");
    ASSERT_EQ(writePlot(path, twoLevels()), "");
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.cols, WIDTH);
    EXPECT_EQ(image.rows, HEIGHT);

    // The histogram's bars mark where its panel is; the readings lie left of it.
    const cv::Mat bars = near(image, BAR_COLOUR, 10);
    const int histogramLeft = firstColumn(bars);
    ASSERT_GT(histogramLeft, WIDTH / 2);
    const cv::Rect seriesArea(0, HEIGHT / 5, histogramLeft - 20, HEIGHT * 4 / 5);
    const cv::Mat points = near(image(seriesArea), POINT_COLOUR, 12);
    ASSERT_GT(cv::countNonZero(points), 20 * 50) << "twenty dots of a few pixels' radius";

    // The dots form two rows, 80 ms above 20 ms; the mean line lies halfway.
    const cv::Mat means = near(image(seriesArea), MEAN_COLOUR, 12);
    const int meanRowAt = fullestRow(means);
    ASSERT_GE(meanRowAt, 0);
    EXPECT_GT(cv::countNonZero(means.row(meanRowAt)), seriesArea.width / 2) << "a line across the panel";
    const double high = meanRow(points, 0, meanRowAt - 4);
    const double low = meanRow(points, meanRowAt + 4, seriesArea.height);
    ASSERT_GT(high, 0.0);
    ASSERT_GT(low, high + 100.0);
    EXPECT_NEAR(meanRowAt, (high + low) / 2.0, 2.0);
    const double pixelsPerMs = (low - high) / 60.0;

    // The band: 40..60 ms, a third of the way between the rows, centred on
    // the mean; looked for at the panel's left edge, before the first dot
    // and the line between the dots.
    const cv::Mat band = near(image(seriesArea), BAND_COLOUR, 8);
    const int bandLeft = firstColumn(areasOf(band));
    ASSERT_GE(bandLeft, 0);
    const int column = bandLeft + 4;
    // Grid lines under the band tint it differently: take its extent.
    int bandTop = band.rows;
    int bandBottom = -1;
    for (int y = 0; y < band.rows; ++y) {
        if (band.at<uchar>(y, column) != 0) {
            bandTop = std::min(bandTop, y);
            bandBottom = std::max(bandBottom, y);
        }
    }
    EXPECT_NEAR(bandBottom - bandTop, 20.0 * pixelsPerMs, 4.0) << "smoothed edges lose a pixel or two";
    EXPECT_NEAR((bandTop + bandBottom) / 2.0, meanRowAt, 2.0);

    // Two bars of ten readings each, level with the dots; none at 50 ms.
    const cv::Rect histogramArea(histogramLeft, HEIGHT / 5, WIDTH - histogramLeft, HEIGHT * 4 / 5);
    const cv::Mat histogram = near(image(histogramArea), BAR_COLOUR, 10);
    const int highBar = cv::countNonZero(histogram.row(static_cast<int>(high)));
    const int lowBar = cv::countNonZero(histogram.row(static_cast<int>(low)));
    EXPECT_GT(highBar, 50);
    EXPECT_NEAR(highBar, lowBar, 3);
    EXPECT_EQ(cv::countNonZero(histogram.row(meanRowAt - 5)), 0);
    EXPECT_EQ(cv::countNonZero(histogram.row(meanRowAt + 5)), 0);
}

TEST(Plot, WithoutAnIntervalThereIsNoBand)
{
    const test_images::TempDir folder;
    PlotSeries series = twoLevels();
    series.hasInterval = false;
    const std::string path = folder.file("lag.PNG");
    ASSERT_EQ(writePlot(path, series), "");
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_EQ(image.size(), cv::Size(WIDTH, HEIGHT));
    EXPECT_EQ(cv::countNonZero(areasOf(near(image, BAND_COLOUR, 8))), 0);
    EXPECT_GT(cv::countNonZero(near(image, MEAN_COLOUR, 12)), 500);
}

TEST(Plot, SvgIsADocumentWithItsTextsReadable)
{
    const test_images::TempDir folder;
    PlotSeries series = twoLevels();
    series.title = "Lag <&> #1 of \"set\"";
    series.indexLabel = "video time (s)";
    series.index.clear();
    for (size_t i = 0; i < series.lagMs.size(); ++i) {
        series.index.push_back(static_cast<double>(i) / 240.0);
    }
    const std::string path = folder.file("lag.Svg");
    ASSERT_EQ(writePlot(path, series), "");
    const std::string svg = readText(path);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0U);
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>", svg.size() - 16), std::string::npos) << "the document is complete";
    const std::vector<std::string> texts = svgTexts(svg);
    EXPECT_TRUE(contains(texts, "Lag <&> #1 of \"set\"")) << "the title, its markup characters escaped";
    EXPECT_TRUE(contains(texts, "lag (ms)"));
    EXPECT_TRUE(contains(texts, "video time (s)"));
    EXPECT_TRUE(contains(texts, "readings"));
    EXPECT_TRUE(contains(texts, "histogram"));
    EXPECT_TRUE(contains(texts, "mean 50.0 ms"));
    EXPECT_TRUE(contains(texts, "95 % interval 40.0 to 60.0 ms"));
}

TEST(Plot, RefusesWhatItCannotDrawAndWritesNothing)
{
    const test_images::TempDir folder;
    const auto refused = [&folder](const std::string& name, const PlotSeries& series) {
        const std::string path = folder.file(name);
        std::string error = writePlot(path, series);
        EXPECT_NE(error.find(path), std::string::npos) << name << ": " << error;
        EXPECT_FALSE(std::filesystem::exists(path)) << name;
        return error;
    };
    const PlotSeries good = twoLevels();
    EXPECT_NE(refused("lag.jpg", good).find(".png or .svg"), std::string::npos);
    refused("lag", good);
    refused("lag.png.txt", good);
    refused("plots.svg/lag", good);

    PlotSeries empty;
    EXPECT_NE(refused("empty.png", empty).find("no readings"), std::string::npos);
    PlotSeries mismatched = good;
    mismatched.index = {1.0, 2.0};
    refused("mismatched.png", mismatched);
    PlotSeries notANumber = good;
    notANumber.lagMs[3] = std::numeric_limits<double>::quiet_NaN();
    refused("nan.png", notANumber);
    PlotSeries infinite = good;
    infinite.index.assign(good.lagMs.size(), 1.0);
    infinite.index[5] = std::numeric_limits<double>::infinity();
    refused("infinite.svg", infinite);
    PlotSeries beyond = good;
    beyond.lagMs[0] = 2e12;
    refused("beyond.png", beyond);
    PlotSeries badMean = good;
    badMean.meanMs = std::numeric_limits<double>::infinity();
    refused("mean.png", badMean);
    PlotSeries reversed = good;
    std::swap(reversed.ciLowMs, reversed.ciHighMs);
    refused("reversed.png", reversed);
    PlotSeries badFrame = good;
    badFrame.frameMs = -1.0;
    refused("frame.png", badFrame);
}

TEST(Plot, PlacesItCannotWriteGiveAnError)
{
    const test_images::TempDir folder;
    const std::string missing = folder.file("no/such/folder/lag.png");
    const std::string error = writePlot(missing, twoLevels());
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    // A folder where the file should be, and a file where a folder should be.
    const std::string folderNamedLikeAPlot = folder.file("lag.svg");
    ASSERT_EQ(mkdir(folderNamedLikeAPlot.c_str(), 0755), 0);
    EXPECT_NE(writePlot(folderNamedLikeAPlot, twoLevels()).find("Is a directory"), std::string::npos);
    const std::string file = folder.file("notes.txt");
    std::ofstream(file) << "not a folder\n";
    EXPECT_NE(writePlot(file + "/lag.png", twoLevels()).find("Not a directory"), std::string::npos);
    EXPECT_EQ(readText(file), "not a folder\n");
}

TEST(Plot, OddSeriesAllDrawAndNothingIsPrinted)
{
    const test_images::TempDir folder;
    struct Case {
        const char* name;
        std::vector<double> lagMs;
        double frameMs;
    };
    std::vector<double> many(5000);
    for (size_t i = 0; i < many.size(); ++i) {
        many[i] = 40.0 + 10.0 * std::sin(static_cast<double>(i) * 0.01) + static_cast<double>(i % 7);
    }
    const std::vector<Case> cases{
        {"one", {50.0}, 1000.0 / 60.0},
        {"equal", std::vector<double>(12, 33.3), 1000.0 / 60.0},
        {"negative", {-50.0, -33.3, -66.7, -50.0}, 1000.0 / 60.0},
        {"huge", {1e11, -2e11, 5e11, 9.9e11}, 0.0},
        {"tiny spread far out", {1e11, 1e11 + 0.5, 1e11 + 1.0}, 0.0},
        {"zero", {0.0, 0.0}, 0.0},
        {"many", many, 1000.0 / 240.0},
    };
    int number = 0;
    for (const Case& c : cases) {
        PlotSeries series;
        series.title = c.name;
        series.lagMs = c.lagMs;
        series.frameMs = c.frameMs;
        const double sum = std::accumulate(c.lagMs.begin(), c.lagMs.end(), 0.0);
        series.meanMs = sum / static_cast<double>(c.lagMs.size());
        series.hasInterval = c.lagMs.size() > 1;
        const auto [low, high] = std::minmax_element(c.lagMs.begin(), c.lagMs.end());
        series.ciLowMs = series.meanMs - (*high - *low) * 0.2;
        series.ciHighMs = series.meanMs + (*high - *low) * 0.2;
        for (const char* extension : {".png", ".svg"}) {
            const std::string path = folder.file("case" + std::to_string(number++) + extension);
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            const std::string error = writePlot(path, series);
            const std::string printed = ::testing::internal::GetCapturedStdout();
            const std::string warned = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(error, "") << c.name << extension;
            EXPECT_EQ(printed, "") << c.name << extension;
            EXPECT_EQ(warned, "") << c.name << extension;
            if (std::string(extension) == ".png") {
                const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
                ASSERT_EQ(image.size(), cv::Size(WIDTH, HEIGHT)) << c.name;
                EXPECT_GT(cv::countNonZero(near(image, POINT_COLOUR, 12)), 30) << c.name << ": the dots";
                EXPECT_GT(cv::countNonZero(near(image, MEAN_COLOUR, 12)), 300) << c.name << ": the mean";
                EXPECT_GT(cv::countNonZero(near(image, BAR_COLOUR, 10)), 100) << c.name << ": the histogram";
            } else {
                EXPECT_NE(readText(path).find("</svg>"), std::string::npos) << c.name;
            }
        }
    }

    // Refusals are quiet too.
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_NE(writePlot(folder.file("x.gif"), twoLevels()), "");
    EXPECT_NE(writePlot(folder.file("missing/x.png"), twoLevels()), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// PLplot's fatal errors end the process unless stopped; a broken driver is
// one. Each case runs in a fresh process (PLplot reads its driver folder
// once per process), with PLPLOT_DRV_DIR pointing at a folder made for it.
class PlotDrivers : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Copies of the real SVG driver, and a cairo driver that will not load.
    static void makeDrivers(const std::string& folder, bool brokenCairo)
    {
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        const std::string real = PLPLOT_DRIVER_DIR;
        std::ofstream(folder + "/svg.driver_info") << readText(real + "/svg.driver_info");
        ASSERT_EQ(symlink((real + "/svg.so").c_str(), (folder + "/svg.so").c_str()), 0);
        if (brokenCairo) {
            std::ofstream(folder + "/cairo.driver_info") << readText(real + "/cairo.driver_info");
            std::ofstream(folder + "/cairo.so") << "not a library\n";
        }
    }

    // In the child: the plot's error, or "" after a successful SVG.
    static void expectInChild(const std::string& drivers, const std::string& path, const char* wanted)
    {
        setenv("PLPLOT_DRV_DIR", drivers.c_str(), 1);
        ::testing::internal::CaptureStdout();
        const std::string first = writePlot(path, twoLevels());
        const std::string second = writePlot(path, twoLevels());
        const std::string svg = writePlot(path + ".svg", twoLevels());
        const std::string printed = ::testing::internal::GetCapturedStdout();
        (void)std::fprintf(stderr, "first: %s\nsecond: %s\nsvg: [%s]\nprinted: [%s]\n", first.c_str(), second.c_str(),
                           svg.c_str(), printed.c_str());
        const bool ok =
            first.find(wanted) != std::string::npos && second.find(wanted) != std::string::npos && printed.empty();
        std::exit(ok ? 0 : 1);
    }
};

TEST_F(PlotDrivers, ABrokenDriverIsAnErrorNotTheEnd)
{
    const test_images::TempDir folder;
    const std::string drivers = folder.file("drivers");
    makeDrivers(drivers, true);
    EXPECT_EXIT(expectInChild(drivers, folder.file("lag.png"), "PLplot failed"), ::testing::ExitedWithCode(0),
                "svg: \\[\\]");
}

TEST_F(PlotDrivers, AMissingDriverIsAnErrorNamingThePackage)
{
    const test_images::TempDir folder;
    const std::string drivers = folder.file("drivers");
    makeDrivers(drivers, false);
    EXPECT_EXIT(expectInChild(drivers, folder.file("lag.png"), "plplot-driver-cairo"), ::testing::ExitedWithCode(0),
                "svg: \\[\\]");
}

TEST(HistogramBins, CountEveryUsableReadingOnce)
{
    const std::vector<double> values{
        1.0,  2.0, 2.5, std::numeric_limits<double>::quiet_NaN(), 3.0, 10.0, std::numeric_limits<double>::infinity(),
        -4.0, 5e12};
    const reader::HistogramBins bins = reader::histogramBins(values, 0.0);
    ASSERT_FALSE(bins.counts.empty());
    EXPECT_EQ(std::accumulate(bins.counts.begin(), bins.counts.end(), 0), 6);
    for (const double value : {1.0, 2.0, 2.5, 3.0, 10.0, -4.0}) {
        const double at = (value - bins.start) / bins.width;
        EXPECT_GE(at, 0.0) << value;
        EXPECT_LT(at, static_cast<double>(bins.counts.size())) << value;
    }
    EXPECT_GT(bins.counts.front(), 0) << "no empty bin before the lowest reading";
    EXPECT_GT(bins.counts.back(), 0) << "nor after the highest";

    EXPECT_TRUE(reader::histogramBins({}, 16.7).counts.empty());
    const reader::HistogramBins same = reader::histogramBins(std::vector<double>(9, -33.3), 0.0);
    ASSERT_EQ(same.counts.size(), 1U);
    EXPECT_EQ(same.counts[0], 9);
    EXPECT_GT(same.width, 0.0);

    const reader::HistogramBins far = reader::histogramBins({-1e12, 1e12, 0.0}, 0.0);
    EXPECT_LE(far.counts.size(), 130U);
    EXPECT_EQ(std::accumulate(far.counts.begin(), far.counts.end(), 0), 3);
}

TEST(HistogramBins, WholeFramesNeverFallOnAnEdge)
{
    const double frame = 1000.0 / 60.0;
    // Many readings close together: bins a fraction of a frame. A few spread
    // over the sweep: bins of several frames.
    std::vector<double> close;
    close.reserve(3000);
    for (int i = 0; i < 3000; ++i) {
        close.push_back(frame * (3 + (i * 7) % 3));
    }
    std::vector<double> spread;
    for (int k = -30; k < 30; k += 4) {
        spread.push_back(frame * k);
    }
    spread.push_back(frame * 29);
    for (const auto& values : {close, spread}) {
        const reader::HistogramBins bins = reader::histogramBins(values, frame);
        const double ratio = bins.width < frame ? frame / bins.width : bins.width / frame;
        EXPECT_NEAR(ratio, std::round(ratio), 1e-9) << "a whole fraction or multiple of a frame";
        if (bins.width > frame) {
            EXPECT_EQ(std::fmod(std::round(ratio), 2.0), 1.0) << "an odd multiple";
        }
        for (const double value : values) {
            const double offset = (value - bins.start) / bins.width;
            const double toEdge = std::min(offset - std::floor(offset), std::ceil(offset) - offset) * bins.width;
            EXPECT_GE(toEdge, std::min(bins.width, frame) / 2.0 - 1e-6) << value << " in bins of " << bins.width;
        }
    }
    EXPECT_LT(reader::histogramBins(close, frame).width, frame);
    EXPECT_GT(reader::histogramBins(spread, frame).width, frame);
}

TEST(HistogramBins, ALagChangeDoesNotWidenThemPastEachLevelsScatter)
{
    // Two stretches of the three levels a 240 frames/s camera reads off a
    // 60 Hz pair, 25 ms apart.
    const double frame = 1000.0 / 60.0;
    std::vector<double> values;
    values.reserve(360);
    for (int i = 0; i < 360; ++i) {
        values.push_back((i < 180 ? 24.7 : 49.7) + 1.15 * (i % 3 - 1));
    }
    const reader::HistogramBins bins = reader::histogramBins(values, frame, {0, 180});
    EXPECT_LT(bins.width, 1.15) << "each level a bar of its own";
    // Taken as one stretch, the change sets the width.
    EXPECT_GT(reader::histogramBins(values, frame).width, 5.0);
}
