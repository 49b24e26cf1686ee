#include "reader/scan_phase.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "reader/rectify.h"
#include "reader/statistics.h"

namespace reader {

namespace {

using Split = ScanObservation::Split;

// The light of the two columns together must reach this share of the bar's
// full light for a row to tell which column it belongs to.
constexpr double MIN_ROW_LIGHT = 0.25;
// Rows smoothed over, against noise.
constexpr int SMOOTHING_ROWS = 5;

// Mean green of each pattern row of the bar's height inside a column.
std::vector<double> columnRows(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid, int column,
                               int top, int bottom, cv::Point every, StripMaps* maps)
{
    // The middle of the column the bar stage measured, clear of its lines.
    const auto [lineLeft, lineRight] = grid.columnBounds(column);
    const double left = lineLeft + 0.2 * (lineRight - lineLeft);
    const double width = 0.6 * (lineRight - lineLeft);
    // No more samples than the photo has pixels: across, each row is
    // averaged over them; down, the rows' means are brought back to every
    // pattern row.
    const int down = (bottom - top + every.y - 1) / every.y;
    const cv::Rect2d region(left, top, width, static_cast<double>(down) * every.y);
    const cv::Size size(std::max(1, static_cast<int>(std::lround(width / every.x))), down);
    // On its side, a strip's column is a pattern row: its green summed
    // across.
    std::vector<int> sums(static_cast<size_t>(down), 0);
    visitRegionSideways(photo, toPattern, region, size, maps,
                        [&sums](int x, int /*y*/, const auto& channel) { sums[static_cast<size_t>(x)] += channel(1); });
    cv::Mat means(1, down, CV_64F);
    const double perSample = 1.0 / size.width;
    for (int y = 0; y < down; ++y) {
        means.at<double>(0, y) = sums[static_cast<size_t>(y)] * perSample;
    }
    means = everyColumn(means, every.y, bottom - top);
    return movingMean(means.ptr<double>(0), static_cast<size_t>(bottom - top), SMOOTHING_ROWS, Edge::Repeat);
}

// The column after `column` in the sweep, and the one before.
int following(int column)
{
    return (column + 1) % COLUMN_COUNT;
}
int preceding(int column)
{
    return (column + COLUMN_COUNT - 1) % COLUMN_COUNT;
}

// A column to take the background from: far from the bar, and on screen.
// The same for every column looked at near the bar, so it is read once.
int backgroundColumn(const BarReading& bar)
{
    for (int distance = COLUMN_COUNT / 2; distance > 2; --distance) {
        const int column = (bar.column + distance) % COLUMN_COUNT;
        if (!std::isnan(bar.columnLevel[static_cast<size_t>(column)])) {
            return column;
        }
    }
    return -1;
}

// Each column's rows between top and bottom, read once however many
// crossings look at them: the second try at a crossing shares a column
// with the first.
class ColumnLight {
public:
    ColumnLight(const cv::Mat& image, const cv::Matx33d& homography, const GridReading& lines, int firstRow, int endRow,
                cv::Point sampling, StripMaps* stripMaps)
        : photo(image),
          toPattern(homography),
          grid(lines),
          top(firstRow),
          bottom(endRow),
          every(sampling),
          maps(stripMaps)
    {
    }

    const std::vector<double>& of(int column)
    {
        const auto c = static_cast<size_t>(column);
        if (!read[c]) {
            rows[c] = columnRows(photo, toPattern, grid, column, top, bottom, every, maps);
            read[c] = true;
        }
        return rows[c];
    }

private:
    const cv::Mat& photo;
    const cv::Matx33d& toPattern;
    const GridReading& grid;
    int top;
    int bottom;
    // Pattern columns to a sample across, and rows down.
    cv::Point every;
    StripMaps* maps;
    std::array<std::vector<double>, COLUMN_COUNT> rows;
    std::array<bool, COLUMN_COUNT> read{};
};

// Where the change from `previous` to `newest` stands in the bar's rows,
// and how the newest column's light lies down them.
struct Crossing {
    Split kind = Split::None;
    double row = 0.0;
    std::optional<double> rampRows;
    std::optional<double> newestEnd;
    std::optional<double> litStart;
    std::optional<double> litEnd;
    std::optional<double> firstLit;
    std::optional<double> newestSeenEnd;
    std::optional<double> previousSeenStart;
    std::optional<double> risingRow;
};

// The newest frame's column under half of the light in every lit row but
// still in the first of them: its pixels on their way, the scan having just
// begun that frame. Below this share it is noise; it must hold at least the
// second share in the first lit row for its slope to be carried on to half,
// and no further above than the rows it was measured over.
constexpr double RISING_SHARE = 0.1;
constexpr double RISING_TOP_SHARE = 0.25;
constexpr double RISING_REACH = 2.0;

// The row above the first lit one where the newest column's share of the
// light, carried up at the slope it falls by going down, would reach half.
std::optional<double> risingCrossing(const std::vector<double>& share, const std::vector<bool>& lit, int top)
{
    const auto first = static_cast<size_t>(std::find(lit.begin(), lit.end(), true) - lit.begin());
    double n = 0.0;
    double sumRow = 0.0;
    double sumShare = 0.0;
    double sumRowRow = 0.0;
    double sumRowShare = 0.0;
    for (size_t y = first; y < share.size() && lit[y] && share[y] >= RISING_SHARE; ++y) {
        const double row = top + static_cast<double>(y) + 0.5;
        n += 1.0;
        sumRow += row;
        sumShare += share[y];
        sumRowRow += row * row;
        sumRowShare += row * share[y];
    }
    const double spread = n * sumRowRow - sumRow * sumRow;
    if (n < 2.0 * SMOOTHING_ROWS || spread <= 0.0) {
        return std::nullopt;
    }
    const double slope = (n * sumRowShare - sumRow * sumShare) / spread;
    const double intercept = (sumShare - slope * sumRow) / n;
    const double firstRow = top + static_cast<double>(first) + 0.5;
    if (slope >= 0.0 || intercept + slope * firstRow < RISING_TOP_SHARE) {
        return std::nullopt;
    }
    const double half = (0.5 - intercept) / slope;
    return firstRow - half <= RISING_REACH * n ? std::optional<double>(half) : std::nullopt;
}

// The lit rows on either side of the split (rows above it taken as the
// newest frame's): see ScanObservation.
void seenRows(const std::vector<double>& share, const std::vector<bool>& lit, size_t split, int top, Crossing* crossing)
{
    for (size_t y = 0; y < share.size(); ++y) {
        if (!lit[y]) {
            continue;
        }
        const double row = top + static_cast<double>(y);
        if (!crossing->firstLit) {
            crossing->firstLit = row;
        }
        if (y < split && share[y] >= 0.5) {
            crossing->newestSeenEnd = row + 1.0;
        } else if (y >= split && share[y] < 0.5 && !crossing->previousSeenStart) {
            crossing->previousSeenStart = row;
        }
    }
}

// The row (sample y is centred on pattern row top + y + 0.5) where values
// pass level between samples y and y + 1.
double passing(const std::vector<double>& values, size_t y, double level, int top)
{
    const double a = values[y] - level;
    const double b = values[y + 1] - level;
    const double t = a != b ? a / (a - b) : 0.5;
    return top + static_cast<double>(y) + std::clamp(t, 0.0, 1.0) + 0.5;
}

// Where the newest column's own light, going down, last holds half of its
// full light; none when it holds it to the last row.
std::optional<double> lastLitRow(const std::vector<double>& newest, int top)
{
    // Its full light: the middle of what the rows above half the brightest
    // hold, however few rows it lights.
    const double brightest = *std::max_element(newest.begin(), newest.end());
    std::vector<double> lit;
    for (const double v : newest) {
        if (v >= 0.5 * brightest) {
            lit.push_back(v);
        }
    }
    if (brightest <= 0.0 || lit.empty()) {
        return std::nullopt;
    }
    std::nth_element(lit.begin(), lit.begin() + static_cast<std::ptrdiff_t>(lit.size() / 2), lit.end());
    const double full = lit[lit.size() / 2];
    for (size_t y = newest.size() - 1; y > 0; --y) {
        if (newest[y - 1] >= 0.5 * full) {
            if (y == newest.size() - 1 && newest[y] >= 0.5 * full) {
                return std::nullopt;
            }
            return passing(newest, y - 1, 0.5 * full, top);
        }
    }
    return std::nullopt;
}

// The one stretch of rows lit, when the rest are dark: a CRT's band.
void litStretch(const std::vector<double>& light, double fullLight, int top, Crossing* crossing)
{
    const double half = 0.5 * fullLight;
    const double dark = MIN_ROW_LIGHT * fullLight;
    size_t first = light.size();
    size_t last = 0;
    for (size_t y = 0; y < light.size(); ++y) {
        if (light[y] >= half) {
            first = std::min(first, y);
            last = y;
        }
    }
    if (first >= light.size()) {
        return;
    }
    // Dark on either side of it, and nowhere dark within it.
    size_t darkRows = 0;
    for (size_t y = 0; y < light.size(); ++y) {
        if (y >= first && y <= last && light[y] < dark) {
            return;
        }
        darkRows += light[y] < dark ? 1U : 0U;
    }
    if (darkRows < light.size() / 10) {
        return;
    }
    crossing->litStart = first > 0 ? passing(light, first - 1, half, top) : static_cast<double>(top);
    crossing->litEnd =
        last + 1 < light.size() ? passing(light, last, half, top) : top + static_cast<double>(light.size());
}

Crossing findCrossing(ColumnLight* columns, const BarReading& bar, int newest, int top, int bottom)
{
    const int previous = preceding(newest);
    const int background = backgroundColumn(bar);
    if (background < 0 || bottom - top < 2 * SMOOTHING_ROWS ||
        std::isnan(bar.columnLevel[static_cast<size_t>(newest)])) {
        return {};
    }
    const bool previousShown = !std::isnan(bar.columnLevel[static_cast<size_t>(previous)]);
    const std::vector<double>& newLight = columns->of(newest);
    const std::vector<double> unlit(newLight.size(), 0.0);
    const std::vector<double>& oldLight = previousShown ? columns->of(previous) : unlit;
    const std::vector<double>& ground = columns->of(background);

    // Share of the newest column in each row's light.
    const size_t rows = newLight.size();
    std::vector<double> share(rows, 0.0);
    std::vector<double> light(rows, 0.0);
    std::vector<double> own(rows, 0.0);
    double fullLight = 0.0;
    for (size_t y = 0; y < rows; ++y) {
        own[y] = std::max(0.0, newLight[y] - ground[y]);
        const double b = previousShown ? std::max(0.0, oldLight[y] - ground[y]) : 0.0;
        light[y] = own[y] + b;
        share[y] = light[y] > 0.0 ? own[y] / light[y] : 0.5;
        fullLight = std::max(fullLight, light[y]);
    }
    Crossing crossing;
    crossing.newestEnd = lastLitRow(own, top);
    litStretch(light, fullLight, top, &crossing);
    // The row that best splits the bar into a newer part above (share over
    // a half) and an older one below: the running sum of (share - 1/2) down
    // the rows peaks there.
    double sum = 0.0;
    double best = 0.0;
    size_t split = 0;
    size_t counted = 0;
    std::vector<bool> lit(rows, false);
    for (size_t y = 0; y < rows; ++y) {
        if (light[y] < MIN_ROW_LIGHT * fullLight) {
            continue;
        }
        lit[y] = true;
        ++counted;
        sum += share[y] - 0.5;
        if (sum > best) {
            best = sum;
            split = y + 1;
        }
    }
    // Without the previous column on screen (an overscan hides it) the rows
    // below the split are dark by their making, not unlit.
    if (previousShown) {
        seenRows(share, lit, split, top, &crossing);
        if (!crossing.newestSeenEnd) {
            crossing.risingRow = risingCrossing(share, lit, top);
        }
    }
    // A band too short to split tells a flash by its edges alone; a held
    // screen's crossing within it is still its scan's row.
    const bool shortBand = counted < rows / 2;
    if (!shortBand && split >= rows - static_cast<size_t>(SMOOTHING_ROWS)) {
        crossing.kind = Split::AllNew;
        return crossing;
    }
    if (!shortBand && split <= static_cast<size_t>(SMOOTHING_ROWS)) {
        crossing.kind = Split::AllOld;
        return crossing;
    }
    if (split == 0 || split >= rows) {
        return crossing;
    }
    // Between the rows on either side of the split where the share passes a
    // half.
    crossing.row = top + static_cast<double>(split);
    const double above = share[split - 1] - 0.5;
    const double below = share[split] - 0.5;
    if (above > 0.0 && below <= 0.0) {
        crossing.row = passing(share, split - 1, 0.5, top);
    }
    if (shortBand) {
        return crossing;
    }
    crossing.kind = Split::Found;
    // The ramp's width: the share's last row above three quarters before
    // the split to its first below a quarter after it.
    size_t high = split;
    while (high > 0 && share[high - 1] < 0.75) {
        --high;
    }
    size_t low = split;
    while (low + 1 < rows && share[low] > 0.25) {
        ++low;
    }
    if (high > 0 && low + 1 < rows) {
        crossing.rampRows = static_cast<double>(low - high);
    }
    return crossing;
}

// Columns around the newest that a long exposure can light: two frames
// newer (the newest may be too faint to be the bar read) to three older.
constexpr int CENTROID_NEWER = 2;
constexpr int CENTROID_OLDER = 3;
// Exposures shorter than this share of a frame light two columns at most.
constexpr double CENTROID_EXPOSURE = 0.5;
constexpr double CAMERA_GAMMA = 2.2;

// A camera's 8-bit value as the light it stands for: light adds up, the
// values its tone curve makes of it do not. Cameras and phones encode about
// as sRGB does, close to a power of 2.2.
double linear(double value)
{
    return std::pow(std::max(0.0, value) / 255.0, CAMERA_GAMMA);
}

// In bands of rows, the light-weighted mean of the columns around the
// newest, counted from it: where a long exposure spread the bar, the
// shares tell the moment.
void measureCentroids(ColumnLight* columns, const BarReading& bar, int newest, int top, ScanObservation* seen)
{
    const int background = backgroundColumn(bar);
    if (background < 0) {
        return;
    }
    std::vector<const std::vector<double>*> lights;
    for (int offset = -CENTROID_OLDER; offset <= CENTROID_NEWER; ++offset) {
        const int column = (newest + offset + COLUMN_COUNT) % COLUMN_COUNT;
        if (std::isnan(bar.columnLevel[static_cast<size_t>(column)])) {
            return;
        }
        lights.push_back(&columns->of(column));
    }
    const std::vector<double>& ground = columns->of(background);
    const size_t rows = ground.size();
    const size_t bands = ScanObservation::CENTROID_BANDS;
    std::array<double, ScanObservation::CENTROID_BANDS> weighted{};
    std::array<double, ScanObservation::CENTROID_BANDS> total{};
    std::array<double, ScanObservation::CENTROID_BANDS> rowSum{};
    for (size_t y = 0; y < rows; ++y) {
        const size_t band = y * bands / rows;
        for (size_t i = 0; i < lights.size(); ++i) {
            const double light = std::max(0.0, linear((*lights[i])[y]) - linear(ground[y]));
            weighted[band] += light * (static_cast<double>(i) - CENTROID_OLDER);
            total[band] += light;
            rowSum[band] += light * (top + static_cast<double>(y) + 0.5);
        }
    }
    const double most = *std::max_element(total.begin(), total.end());
    int kept = 0;
    for (size_t band = 0; band < bands; ++band) {
        if (total[band] >= MIN_ROW_LIGHT * most && total[band] > 0.0) {
            seen->centroid[static_cast<size_t>(kept)] = weighted[band] / total[band];
            seen->centroidRow[static_cast<size_t>(kept)] = rowSum[band] / total[band];
            ++kept;
        }
    }
    seen->centroidBands = kept;
}

}  // namespace

ScanReading readScanPhase(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid,
                          const BarReading& bar, const Mode& mode, StripMaps* maps,
                          std::optional<double> exposureFrames)
{
    ScanReading scan;
    if (!bar.found) {
        return scan;
    }
    const int top = BAR_TOP;
    const int bottom = std::min(BAR_BOTTOM, mode.height);
    // The bar read may be the older of two frames: the next column can be
    // scanning in above it, too faint to count as a second bar.
    ColumnLight columns(photo, toPattern, grid, top, bottom,
                        cv::Point(patternColumnsPerPixel(toPattern, mode), patternRowsPerPixel(toPattern, mode)), maps);
    int newest = following(bar.column);
    Crossing crossing = findCrossing(&columns, bar, newest, top, bottom);
    // Lit rows too few for the split's own test, but the newer frame seen in
    // them above the one before: its crossing is still seen.
    const bool seenInBand = crossing.kind == Split::None && crossing.newestSeenEnd && crossing.previousSeenStart;
    std::optional<double> nextRising;
    if (crossing.kind != Split::Found && !seenInBand) {
        nextRising = crossing.risingRow;
        newest = bar.column;
        crossing = findCrossing(&columns, bar, newest, top, bottom);
    }
    scan.newestColumn = newest;
    const cv::Matx33d toPhoto = toPattern.inv();
    const auto [newestLeft, newestRight] = grid.columnBounds(newest);
    const double middleX = 0.5 * (newestLeft + newestRight);
    ScanObservation& seen = scan.observation;
    seen.newestColumn = newest;
    seen.firstRow = top;
    seen.endRow = bottom;
    seen.columnX = middleX;
    seen.rampRows = crossing.rampRows;
    seen.newestEnd = crossing.newestEnd;
    seen.litStart = crossing.litStart;
    seen.litEnd = crossing.litEnd;
    seen.firstLit = crossing.firstLit;
    seen.newestSeenEnd = crossing.newestSeenEnd;
    seen.previousSeenStart = crossing.previousSeenStart;
    seen.nextRisingRow = nextRising;
    seen.splitRow = crossing.row;
    if (exposureFrames && *exposureFrames >= CENTROID_EXPOSURE) {
        measureCentroids(&columns, bar, newest, top, &seen);
    }
    seen.split = crossing.kind;
    if (crossing.kind == Split::Found) {
        scan.crossingRow = crossing.row;
        scan.phase = crossing.row / mode.height;
        scan.coarse = false;
        scan.photoPoint = mapPoint(toPhoto, {middleX, crossing.row});
        return scan;
    }
    // No crossing within the bar. A screen whose bar reaches its bottom edge
    // changed all rows at once, or not at all in the exposure: any phase is
    // possible. On a taller screen the scan may be in the rows below the bar.
    scan.photoPoint = mapPoint(toPhoto, {middleX, 0.5 * (top + bottom)});
    if (crossing.kind == Split::AllOld) {
        scan.phase = 0.5 * top / mode.height;
    } else {
        const bool barCoversScreen = bottom >= mode.height - 1;
        scan.phase = barCoversScreen ? 0.5 : 0.5 * (bottom + mode.height) / mode.height;
    }
    return scan;
}

}  // namespace reader
