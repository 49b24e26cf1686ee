#include "reader/bar.h"

#include "reader/rectify.h"
#include "reader/statistics.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace reader {

namespace {

// Share of a column's width that must be on screen for it to be measured.
constexpr double MIN_VISIBLE = 0.3;
// A second column counts as lit when it has this share of the first's light.
constexpr double SECOND_BAR_SHARE = 0.2;
// The bar must stand this many spreads above the unlit columns.
constexpr double MIN_CONTRAST = 6.0;
// Rows kept clear of the top edge and of the grid band.
constexpr int ROW_MARGIN = 15;
// Pattern rows between two rows that are sampled. A video's frames, whose
// screens are tracked, are many and each costs its strip: there every
// other such row is read, which still averages a column over hundreds of
// photo pixels.
constexpr int ROW_STRIDE = 8;
constexpr int TRACKED_ROW_STRIDE = 2 * ROW_STRIDE;

// A column's background: the columns this many to that many away.
constexpr int LOCAL_NEAREST = 2;
constexpr int LOCAL_FARTHEST = 5;

// Least share of a full bar's light for the brightest column to be the bar.
constexpr double MIN_BAR_SHARE = 0.25;

}  // namespace

RowSpan barReadingRows(const Mode& mode)
{
    // Above the grid band, whose white lines are green too; the band starts
    // higher on a screen under 500 lines.
    const int bandTop = std::min(GRID_MARGIN, mode.height - GRID_MARGIN);
    const int bottom = std::min({bandTop, BAR_BOTTOM, mode.height}) - ROW_MARGIN;
    const int top = BAR_TOP + ROW_MARGIN;
    return {top, std::max(top + 1, bottom)};
}

namespace {

BarReading barInRows(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid, const Mode& mode,
                     const RowSpan& rows, StripMaps* maps)
{
    BarReading bar;
    bar.columnLevel.assign(COLUMN_COUNT, std::numeric_limits<double>::quiet_NaN());
    // Every few pattern columns, as many as the photo has pixels across the
    // screen; the profiles are then brought back to every pattern column.
    // A tracked screen's every other photo pixel still gives each column
    // tens of samples, which tell the bar's column as surely.
    const int step = patternColumnsPerPixel(toPattern, mode) * (maps != nullptr ? 2 : 1);
    const int across = (mode.width + step - 1) / step;
    const cv::Rect2d region(0.0, rows.top, static_cast<double>(across) * step, rows.bottom - rows.top);
    const int rowStride = maps != nullptr ? TRACKED_ROW_STRIDE : ROW_STRIDE;
    const cv::Size size(across, std::max(1, (rows.bottom - rows.top) / rowStride));
    // Each sample column's means down the strip, in one pass: green above
    // red, and blue above red.
    std::vector<int> greenSums(static_cast<size_t>(size.width), 0);
    std::vector<int> blueSums(static_cast<size_t>(size.width), 0);
    visitRegion(photo, toPattern, region, size, maps, [&greenSums, &blueSums](int x, int /*y*/, const auto& channel) {
        const int red = channel(2);
        greenSums[static_cast<size_t>(x)] += channel(1) - red;
        blueSums[static_cast<size_t>(x)] += channel(0) - red;
    });
    cv::Mat greenLift(1, size.width, CV_64F);
    cv::Mat blueLiftSampled(1, size.width, CV_64F);
    for (int x = 0; x < size.width; ++x) {
        greenLift.at<double>(0, x) = greenSums[static_cast<size_t>(x)];
        blueLiftSampled.at<double>(0, x) = blueSums[static_cast<size_t>(x)];
    }
    greenLift /= size.height;
    blueLiftSampled /= size.height;
    // Green above red: the bar adds green alone, while glare, a lamp's
    // reflection or the room's light adds to every colour alike.
    const cv::Mat profile = everyColumn(greenLift, step, mode.width);
    const auto* level = profile.ptr<double>(0);

    // What a full bar should add to the green: the background is half blue
    // and no red or green, the bar full green, so twice the background's
    // blue above its red, give or take the camera's white balance.
    const cv::Mat blueLift = everyColumn(blueLiftSampled, step, mode.width);
    const auto* blueLevel = blueLift.ptr<double>(0);
    const double fullBar = 2.0 * std::max(0.0, middleValue({blueLevel, blueLevel + blueLift.cols}));

    // Each column's mean green between its two grid lines, leaving out the
    // lines' own neighbourhood. Lines found on the screen bound a column
    // better than the straight model where the lens bends the picture.
    std::vector<double> measured;
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        const auto [left, right] = grid.columnBounds(c);
        // Sample x is centred on pattern x + 0.5.
        const double from = left + 0.15 * (right - left) - 0.5;
        const double to = left + 0.85 * (right - left) - 0.5;
        const int a = std::max(0, static_cast<int>(std::ceil(from)));
        const int b = std::min(profile.cols - 1, static_cast<int>(std::floor(to)));
        if (b < a || (b - a + 1) < MIN_VISIBLE * (to - from)) {
            continue;
        }
        double sum = 0.0;
        for (int x = a; x <= b; ++x) {
            sum += level[x];
        }
        bar.columnLevel[static_cast<size_t>(c)] = sum / (b - a + 1);
        measured.push_back(bar.columnLevel[static_cast<size_t>(c)]);
    }
    if (measured.size() < 3) {
        return bar;
    }
    // Each column against the columns a few away on either side (not the
    // next ones, which may hold the bar of another frame or its smear): a
    // light that varies smoothly across the screen, a glare spot or uneven
    // backlight, is no bar.
    std::vector<double> excess(COLUMN_COUNT, std::numeric_limits<double>::quiet_NaN());
    std::vector<double> measuredExcess;
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        if (std::isnan(bar.columnLevel[static_cast<size_t>(c)])) {
            continue;
        }
        std::vector<double> around;
        for (int d = LOCAL_NEAREST; d <= LOCAL_FARTHEST; ++d) {
            for (const int n : {c - d, c + d}) {
                if (n >= 0 && n < COLUMN_COUNT && !std::isnan(bar.columnLevel[static_cast<size_t>(n)])) {
                    around.push_back(bar.columnLevel[static_cast<size_t>(n)]);
                }
            }
        }
        if (around.size() < 3) {
            continue;
        }
        excess[static_cast<size_t>(c)] = bar.columnLevel[static_cast<size_t>(c)] - middleValue(around);
        measuredExcess.push_back(excess[static_cast<size_t>(c)]);
    }
    if (measuredExcess.size() < 3) {
        return bar;
    }
    const double background = middleValue(measuredExcess);
    std::vector<double> deviation;
    deviation.reserve(measuredExcess.size());
    for (const double v : measuredExcess) {
        deviation.push_back(std::abs(v - background));
    }
    // At least a grey level, so that a perfectly flat picture has a spread.
    const double spread = std::max(1.0, 1.4826 * middleValue(deviation));

    int brightest = -1;
    int next = -1;
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        const double v = excess[static_cast<size_t>(c)];
        if (std::isnan(v)) {
            continue;
        }
        if (brightest < 0 || v > excess[static_cast<size_t>(brightest)]) {
            next = brightest;
            brightest = c;
        } else if (next < 0 || v > excess[static_cast<size_t>(next)]) {
            next = c;
        }
    }
    const double top = excess[static_cast<size_t>(brightest)] - background;
    bar.contrast = top / spread;
    // Too faint for a bar is the afterglow of an earlier frame, its bar now
    // in a column the screen does not show.
    if (bar.contrast < MIN_CONTRAST || top < MIN_BAR_SHARE * fullBar) {
        return bar;
    }
    bar.found = true;
    bar.column = brightest;
    if (next >= 0) {
        const double second = excess[static_cast<size_t>(next)] - background;
        if (second > SECOND_BAR_SHARE * top && second / spread >= MIN_CONTRAST / 2.0) {
            bar.secondColumn = next;
            bar.share = top / (top + second);
        }
    }
    return bar;
}

}  // namespace

BarReading findBar(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid, const Mode& mode,
                   StripMaps* maps)
{
    if (!grid.found || photo.empty()) {
        BarReading bar;
        bar.columnLevel.assign(COLUMN_COUNT, std::numeric_limits<double>::quiet_NaN());
        return bar;
    }
    BarReading above = barInRows(photo, toPattern, grid, mode, barReadingRows(mode), maps);
    // A CRT at a short exposure lights only the rows its beam passed: when
    // those were below the grid band, the bar is read there.
    const int bottom = std::min(BAR_BOTTOM, mode.height) - ROW_MARGIN;
    const RowSpan below{std::max(GRID_MARGIN, mode.height - GRID_MARGIN) + ROW_MARGIN, bottom};
    if (above.found || below.bottom - below.top < 2 * ROW_STRIDE) {
        return above;
    }
    BarReading lower = barInRows(photo, toPattern, grid, mode, below, maps);
    if (lower.found) {
        return lower;
    }
    return above;
}

}  // namespace reader
