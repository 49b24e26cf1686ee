#include "reader/grid.h"

#include "reader/rectify.h"
#include "reader/statistics.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <optional>

namespace reader {

namespace {

// Spacings searched, as a share of the drawn one: a screen that overscans
// stretches it, an outline found a little too large shrinks it.
constexpr double MIN_STRETCH = 0.85;
constexpr double MAX_STRETCH = 1.25;
// A crop smaller than this is taken for the outline's own inaccuracy.
constexpr double CROP_NOISE = 0.005;
// Least periodicity for a grid to count as found.
constexpr double MIN_PERIODICITY = 0.2;
// Least strength of the lines' fundamental, in grey levels.
constexpr double MIN_LINE_CONTRAST = 1.0;

// Pattern rows between two rows of the band that are sampled.
constexpr int ROW_STRIDE = 16;
// Known lines are checked on fewer rows than a search reads: their
// fundamental at a known period stands far above the noise of a few rows.
constexpr int CHECK_ROW_STRIDE = 4 * ROW_STRIDE;

// The grid band, shrunk so that an overscanning screen's stretch cannot
// move rows from outside the band into it.
cv::Rect2d bandRegion(const Mode& mode)
{
    const int top = std::min(GRID_MARGIN, mode.height - GRID_MARGIN);
    const int bottom = std::max(GRID_MARGIN, mode.height - GRID_MARGIN);
    const double inset = (bottom - top) / 10.0;
    return {0.0, top + inset, static_cast<double>(mode.width), std::max(1.0, bottom - top - 2.0 * inset)};
}

// Each column's mean, minus its local mean so that a washed-out or unevenly
// lit screen is flat.
// The band sampled every `step` pattern columns; the profile has one value
// a pattern column.
std::vector<double> highPass(const std::vector<int>& sums, int rows, int step, int width, int window)
{
    cv::Mat columnMeans(1, static_cast<int>(sums.size()), CV_64F);
    const double perRow = 1.0 / rows;
    for (size_t x = 0; x < sums.size(); ++x) {
        columnMeans.at<double>(0, static_cast<int>(x)) = sums[x] * perRow;
    }
    columnMeans = everyColumn(columnMeans, step, width);
    const auto* means = columnMeans.ptr<double>(0);
    const auto count = static_cast<size_t>(columnMeans.cols);
    std::vector<double> highPass = movingMean(means, count, window | 1, Edge::Mirror);
    for (size_t x = 0; x < count; ++x) {
        highPass[x] = means[x] - highPass[x];
    }
    return highPass;
}

// A band's sums down each of its columns: the least of the channels, and,
// unless only that is asked for, each channel.
struct BandSums {
    int rows = 0;
    std::vector<int> least;
    std::array<std::vector<int>, 3> channels;
};

// How far a profile's lines stand above its middle: its upper values
// (the lines, a tenth of the columns, blurred; the bar's single column does
// not reach them) against its median. A channel the light left out shows
// the lines darker than the room's light around them, or not at all.
double lineSpread(std::vector<double> profile)
{
    if (profile.size() < 20) {
        return 0.0;
    }
    const auto at = [&profile](double share) {
        const auto nth = profile.begin() + static_cast<std::ptrdiff_t>(share * static_cast<double>(profile.size()));
        std::nth_element(profile.begin(), nth, profile.end());
        return *nth;
    };
    return at(0.95) - at(0.5);
}

// The white lines' profile across the screen: the least of the channels
// the screen's light has (white is the only colour bright in all of them),
// averaged down the band, high-passed. A colour wheel caught for part of a
// turn leaves some channels with little more than the room's light: the
// lines are read in the others.
std::vector<double> lineProfile(const BandSums& band, int step, int width, int window)
{
    // Every channel with about the lines' share of the others (white on the
    // pattern's blue: the blue half as strong): the least of the three, as
    // always. Otherwise the light left out some of the colours, or most of
    // them: the channels carrying at least this share of the strongest one's
    // lines, each in its own scale, and the least of them.
    constexpr double EVEN_CHANNELS = 0.4;
    std::array<std::vector<double>, 3> channel;
    std::array<double, 3> spread{};
    for (size_t c = 0; c < 3; ++c) {
        channel[c] = highPass(band.channels[c], band.rows, step, width, window);
        spread[c] = lineSpread(channel[c]);
    }
    const double strongest = *std::max_element(spread.begin(), spread.end());
    if (std::all_of(spread.begin(), spread.end(), [strongest](double v) { return v >= EVEN_CHANNELS * strongest; })) {
        return highPass(band.least, band.rows, step, width, window);
    }
    std::vector<double> profile(channel[0].size(), std::numeric_limits<double>::max());
    for (size_t c = 0; c < 3; ++c) {
        if (spread[c] < EVEN_CHANNELS * strongest) {
            continue;
        }
        const double scale = strongest / spread[c];
        for (size_t x = 0; x < profile.size(); ++x) {
            profile[x] = std::min(profile[x], channel[c][x] * scale);
        }
    }
    return profile;
}

// The profile's component at one period: its strength and phase.
std::complex<double> component(const std::vector<double>& profile, double period)
{
    const std::complex<double> turn = std::polar(1.0, -2.0 * CV_PI / period);
    std::complex<double> phasor(1.0, 0.0);
    std::complex<double> sum(0.0, 0.0);
    for (const double value : profile) {
        sum += value * phasor;
        phasor *= turn;
    }
    return sum;
}

// Periods swept side by side: each period's sum is a chain of dependent
// multiplications, and lanes of a vector register take several at once.
// Each lane does component()'s operations in component()'s order, so the
// strengths come out the same as one period at a time.
typedef double Lanes __attribute__((vector_size(32)));  // NOLINT(modernize-use-using): a GCC vector type
constexpr int SWEEP_LANES = 4;
constexpr int SWEEP_VECTORS = 2;

// One vector of periods: the turn per sample, the turn so far, the sums.
struct Chain {
    Lanes turnRe;
    Lanes turnIm;
    Lanes phasorRe;
    Lanes phasorIm;
    Lanes sumRe;
    Lanes sumIm;
};

__attribute__((always_inline)) inline Chain startChain(const double* re, const double* im)
{
    return {Lanes{re[0], re[1], re[2], re[3]},
            Lanes{im[0], im[1], im[2], im[3]},
            Lanes{1.0, 1.0, 1.0, 1.0},
            Lanes{},
            Lanes{},
            Lanes{}};
}

// |component(profile, low + i * stepSize)| for i in 0..steps; compiled
// into both versions below.
__attribute__((always_inline)) inline std::vector<double> sweep(const std::vector<double>& profile, double low,
                                                                double stepSize, int steps)
{
    constexpr int PER_PASS = SWEEP_LANES * SWEEP_VECTORS;
    std::vector<double> strengths(static_cast<size_t>(steps) + 1);
    for (int first = 0; first <= steps; first += PER_PASS) {
        double turnReal[PER_PASS];
        double turnImag[PER_PASS];
        for (int k = 0; k < PER_PASS; ++k) {
            // Spare lanes repeat the last period; their sums are dropped.
            const double period = low + std::min(first + k, steps) * stepSize;
            const std::complex<double> turn = std::polar(1.0, -2.0 * CV_PI / period);
            turnReal[k] = turn.real();
            turnImag[k] = turn.imag();
        }
        Chain chains[SWEEP_VECTORS] = {startChain(turnReal, turnImag),
                                       startChain(turnReal + SWEEP_LANES, turnImag + SWEEP_LANES)};
        for (const double value : profile) {
            for (Chain& chain : chains) {
                chain.sumRe += value * chain.phasorRe;
                chain.sumIm += value * chain.phasorIm;
                const Lanes re = chain.phasorRe * chain.turnRe - chain.phasorIm * chain.turnIm;
                const Lanes im = chain.phasorRe * chain.turnIm + chain.phasorIm * chain.turnRe;
                chain.phasorRe = re;
                chain.phasorIm = im;
            }
        }
        for (int i = first; i <= std::min(steps, first + PER_PASS - 1); ++i) {
            const int v = (i - first) / SWEEP_LANES;
            const int k = (i - first) % SWEEP_LANES;
            const Chain& chain = chains[v];
            strengths[static_cast<size_t>(i)] = std::abs(std::complex<double>(chain.sumRe[k], chain.sumIm[k]));
        }
    }
    return strengths;
}

// AVX's registers take four lanes at once rather than two; without FMA the
// arithmetic stays the same.
__attribute__((target("avx"))) std::vector<double> sweepWithAvx(const std::vector<double>& profile, double low,
                                                                double stepSize, int steps)
{
    return sweep(profile, low, stepSize, steps);
}

std::vector<double> sweepStrengths(const std::vector<double>& profile, double low, double stepSize, int steps)
{
    static const bool avx = __builtin_cpu_supports("avx");
    return avx ? sweepWithAvx(profile, low, stepSize, steps) : sweep(profile, low, stepSize, steps);
}

}  // namespace

std::pair<double, double> GridReading::columnBounds(int c) const
{
    const auto lineFound = [this](int n) -> std::optional<double> {
        const auto at = std::lower_bound(lineNumber.begin(), lineNumber.end(), n);
        if (at == lineNumber.end() || *at != n) {
            return std::nullopt;
        }
        return lineX[static_cast<size_t>(at - lineNumber.begin())];
    };
    const std::optional<double> left = lineFound(c);
    const std::optional<double> right = lineFound(c + 1);
    if (left && right) {
        return {*left, *right};
    }
    return {lineAt(c), lineAt(c + 1)};
}

double uncroppedX(double rectifiedX, double crop, int width)
{
    return crop * width + rectifiedX * (1.0 - 2.0 * crop);
}

namespace {

// The band's line profile, one value a pattern column, and its energy (0
// when there is nothing to read).
struct BandProfile {
    std::vector<double> values;
    double energy = 0.0;
};

// The band's line profile (see lineProfile). quick: on few rows and in the least channel alone, to check known lines;
// a screen whose light leaves colours out then fails the check and is
// searched afresh.
BandProfile bandProfile(const cv::Mat& photo, const cv::Matx33d& toPattern, const Mode& mode, StripMaps* maps,
                        bool quick = false)
{
    const int rowStride = quick ? CHECK_ROW_STRIDE : ROW_STRIDE;
    // Every few rows down, the lines being vertical. Across, a screen
    // tracked from frame to frame (read through kept maps) is sampled once a
    // photo pixel; an outline searched for is sampled every pattern pixel,
    // as the sharper profile keeps an outline that is not quite the screen's
    // from passing for one.
    // Known lines are checked on every other photo pixel: a period holds
    // several samples still, and their fundamental is all the check reads.
    const int every = maps != nullptr ? patternColumnsPerPixel(toPattern, mode) * (quick ? 2 : 1) : 1;
    const int across = (mode.width + every - 1) / every;
    cv::Rect2d region = bandRegion(mode);
    region.width = static_cast<double>(across) * every;
    const cv::Size size(across, std::max(1, static_cast<int>(region.height / rowStride)));
    // In one pass rather than split, min and reduce: the same sums, without
    // four band-sized pictures in between.
    BandSums band;
    band.rows = size.height;
    const auto columns = static_cast<size_t>(size.width);
    band.least.assign(columns, 0);
    if (!quick) {
        for (std::vector<int>& channel : band.channels) {
            channel.assign(columns, 0);
        }
    }
    visitRegion(photo, toPattern, region, size, maps, [&band, quick](int x, int /*y*/, const auto& channel) {
        const int blue = channel(0);
        const int green = channel(1);
        const int red = channel(2);
        const auto at = static_cast<size_t>(x);
        band.least[at] += std::min({blue, green, red});
        if (!quick) {
            band.channels[0][at] += blue;
            band.channels[1][at] += green;
            band.channels[2][at] += red;
        }
    });
    BandProfile profile;
    profile.values = quick ? highPass(band.least, band.rows, every, mode.width, mode.columnStep())
                           : lineProfile(band, every, mode.width, mode.columnStep());
    for (const double v : profile.values) {
        profile.energy += v * v;
    }
    return profile;
}

// The comb's strength at a period: how periodic the profile is, near 1 for
// a clean grid, and the lines' fundamental in grey levels.
void measureComb(const BandProfile& profile, const std::complex<double>& component, double period, GridReading* grid)
{
    // For a comb of equal lines the component's size is n * height and the
    // energy n * height^2 * period.
    const auto n = static_cast<double>(profile.values.size());
    grid->periodicity = std::min(1.0, std::norm(component) / (profile.energy * n / period));
    // A faint regular texture (a fabric, compression blocks) can be
    // periodic too, but not this bright.
    grid->lineContrast = 2.0 * std::abs(component) / n;
}

// Where the comb's lines fall, as a phase within the period: sample x of
// the profile is centred on pattern x + 0.5.
double combAnchor(const std::complex<double>& component, double period)
{
    const double phaseX = -std::arg(component) / (2.0 * CV_PI) * period;
    return std::fmod(phaseX + period, period) + 0.5;
}

GridReading searchGrid(const BandProfile& band, const Mode& mode)
{
    GridReading grid;
    const int step = mode.columnStep();
    const std::vector<double>& profile = band.values;
    const auto drawnSpacing = static_cast<double>(step);
    // The strongest period near the drawn spacing: a coarse sweep, then finer
    // around the best.
    double bestPeriod = drawnSpacing;
    double bestStrength = -1.0;
    double stepSize = drawnSpacing * 0.002;
    double low = drawnSpacing * MIN_STRETCH;
    double high = drawnSpacing * MAX_STRETCH;
    for (int pass = 0; pass < 3; ++pass) {
        const auto steps = static_cast<int>((high - low) / stepSize);
        const std::vector<double> strengths = sweepStrengths(profile, low, stepSize, steps);
        for (int i = 0; i <= steps; ++i) {
            if (strengths[static_cast<size_t>(i)] > bestStrength) {
                bestStrength = strengths[static_cast<size_t>(i)];
                bestPeriod = low + i * stepSize;
            }
        }
        low = bestPeriod - stepSize;
        high = bestPeriod + stepSize;
        stepSize /= 10.0;
    }
    const std::complex<double> best = component(profile, bestPeriod);
    measureComb(band, best, bestPeriod, &grid);
    if (grid.periodicity < MIN_PERIODICITY || grid.lineContrast < MIN_LINE_CONTRAST) {
        return grid;
    }

    // The spacing against the drawn one tells the overscan; with it, the
    // number of the line at the comb's phase.
    const double spacing = bestPeriod;
    double crop = (1.0 - step / spacing) / 2.0;
    if (std::abs(crop) < CROP_NOISE) {
        crop = 0.0;
    }
    const double anchor = combAnchor(best, bestPeriod);
    // Lines are drawn into the pixel column left of x = 1 + n * step, centred
    // on n * step + 0.5. They are numbered by where the middle one falls: an
    // outline a little too wide or narrow on one side shifts the screen's
    // middle by half as much as that edge.
    const int lastLine = (mode.width - 1) / step;
    const double middleLine = 0.5 * lastLine;
    const double middleX = (middleLine * step + 0.5 - crop * mode.width) / (1.0 - 2.0 * crop);
    const long anchorNumber = std::lround(middleLine - (middleX - anchor) / spacing);
    grid.found = true;
    grid.spacing = spacing;
    grid.offset = anchor - static_cast<double>(anchorNumber) * spacing;
    grid.crop = crop;

    // The individual lines: a peak within a third of a spacing of where the
    // line next to it, counted from the comb's anchor outwards, puts it (or
    // the model, until one is found). Counting follows the spacing where an
    // outline's small error in perspective, or a lens, bends it across the
    // band; the straight model alone would take a line for its neighbour.
    double noise = 0.0;
    for (const double v : profile) {
        noise += std::abs(v);
    }
    noise /= static_cast<double>(profile.size());
    const int samples = static_cast<int>(profile.size());
    const auto peakNear = [&](double expected) -> std::optional<int> {
        if (expected < -0.5 || expected > samples - 0.5) {
            return std::nullopt;
        }
        const int from = std::max(0, static_cast<int>(std::ceil(expected - bestPeriod / 3.0)));
        const int to = std::min(samples - 1, static_cast<int>(std::floor(expected + bestPeriod / 3.0)));
        int peak = from;
        for (int x = from; x <= to; ++x) {
            if (profile[static_cast<size_t>(x)] > profile[static_cast<size_t>(peak)]) {
                peak = x;
            }
        }
        return profile[static_cast<size_t>(peak)] > 2.0 * noise ? std::optional<int>(peak) : std::nullopt;
    };
    const int lastNumber = (mode.width - 1) / step;
    std::vector<std::optional<int>> peaks(static_cast<size_t>(lastNumber) + 1);
    const int anchorLine = static_cast<int>(std::clamp<long>(anchorNumber, 0, lastNumber));
    for (const int direction : {1, -1}) {
        std::optional<int> near;
        int nearNumber = anchorLine;
        if (direction < 0 && peaks[static_cast<size_t>(anchorLine)]) {
            near = peaks[static_cast<size_t>(anchorLine)];
        }
        for (int n = direction > 0 ? anchorLine : anchorLine - 1; n >= 0 && n <= lastNumber; n += direction) {
            const double expected = near ? *near + (n - nearNumber) * spacing : grid.lineAt(n) - 0.5;
            const std::optional<int> peak = peakNear(expected);
            if (peak) {
                peaks[static_cast<size_t>(n)] = peak;
                near = peak;
                nearNumber = n;
            }
        }
    }
    for (int n = 0; n <= lastNumber; ++n) {
        if (const std::optional<int> peak = peaks[static_cast<size_t>(n)]) {
            grid.lineX.push_back(*peak + 0.5);
            grid.lineNumber.push_back(n);
            grid.evenLines += std::abs(*peak + 0.5 - grid.lineAt(n)) <= bestPeriod / 3.0 ? 1 : 0;
        }
    }
    return grid;
}

// Known grids held: both screens of a video, and the outlines they had
// just before (a tracked screen found again after a search).
constexpr std::size_t MOST_KNOWN_GRIDS = 4;
// A shift of the lines by more than this share of their spacing is the
// screen moving in the photo (the camera shaken), not the photo's noise.
constexpr double MOST_LINE_SHIFT = 0.1;

}  // namespace

double periodicStrength(const std::vector<double>& profile, double period)
{
    return std::abs(component(profile, period)) / static_cast<double>(std::max<size_t>(1, profile.size()));
}

GridReading findGrid(const cv::Mat& photo, const cv::Matx33d& toPattern, const Mode& mode, StripMaps* maps)
{
    if (mode.columnStep() < 2 || photo.empty()) {
        return {};
    }
    const BandProfile band = bandProfile(photo, toPattern, mode, maps);
    return band.energy > 0.0 ? searchGrid(band, mode) : GridReading{};
}

std::optional<GridReading> KnownGrids::find(const cv::Matx33d& toPattern)
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [map, grid] : held) {
        if (map == toPattern) {
            return grid;
        }
    }
    return std::nullopt;
}

void KnownGrids::keep(const cv::Matx33d& toPattern, const GridReading& grid)
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->first == toPattern) {
            held.erase(it);
            break;
        }
    }
    held.emplace_front(toPattern, grid);
    if (held.size() > MOST_KNOWN_GRIDS) {
        held.pop_back();
    }
}

GridReading followGrid(const cv::Mat& photo, const cv::Matx33d& toPattern, const Mode& mode, StripMaps* maps,
                       KnownGrids* known)
{
    if (mode.columnStep() < 2 || photo.empty()) {
        return {};
    }
    std::optional<GridReading> grid = known->find(toPattern);
    if (grid) {
        const BandProfile check = bandProfile(photo, toPattern, mode, maps, true);
        const std::complex<double> comb = component(check.values, grid->spacing);
        if (check.energy > 0.0) {
            measureComb(check, comb, grid->spacing, &*grid);
            const double shift = std::remainder(combAnchor(comb, grid->spacing) - grid->offset, grid->spacing);
            if (grid->periodicity >= MIN_PERIODICITY && grid->lineContrast >= MIN_LINE_CONTRAST &&
                std::abs(shift) <= MOST_LINE_SHIFT * grid->spacing) {
                return *grid;
            }
        }
    }
    const BandProfile band = bandProfile(photo, toPattern, mode, maps);
    if (band.energy <= 0.0) {
        return {};
    }
    GridReading found = searchGrid(band, mode);
    if (found.found) {
        known->keep(toPattern, found);
    }
    return found;
}

}  // namespace reader
