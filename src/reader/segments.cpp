#include "reader/segments.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace reader {

namespace {

// A standard deviation from a median absolute deviation, for normal scatter.
constexpr double MAD_TO_SIGMA = 1.482602218505602;
// The smallest scatter taken: far below what any camera resolves, so that a
// series of identical readings still has a scale to compare changes with.
constexpr double LEAST_SCATTER_MS = 1e-3;
// Differences more than BEYOND_BULK times the BULK_SHARE quantile of the
// non-zero ones are left out of the mean square: where the level changes,
// and the wild readings. For normal scatter that is beyond 9 sigma.
constexpr double BULK_SHARE = 0.8;
constexpr double BEYOND_BULK = 5.0;
// Readings further than this many scatters from their neighbours' median
// are taken back to that distance before the series is split.
constexpr double CLIP_SCATTERS = 3.0;
// A split must explain (PENALTY_FACTOR log n + PENALTY_BASE) times the
// scatter squared. The largest gain that pure normal noise shows over all
// split positions grows like 2 log log n; log n with this factor stays well
// above it, and above what the heavier tails of real readings add after
// clipping. The constant covers short series, whose scatter is known only
// roughly from their few differences.
constexpr double PENALTY_FACTOR = 3.0;
constexpr double PENALTY_BASE = 8.0;
// Neighbouring stretches whose means differ by less than this many
// scatters are one: a drift within the scatter is no change of setting.
constexpr double MERGE_SCATTERS = 1.5;

double medianOf(std::vector<double> values)
{
    const std::size_t n = values.size();
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), middle, values.end());
    const double upper = *middle;
    if (n % 2 == 1) {
        return upper;
    }
    return 0.5 * (upper + *std::max_element(values.begin(), middle));
}

// Each value, taken to within CLIP_SCATTERS * scatter of the median of the
// values around it. The window is less than twice the shortest stretch, so
// a stretch that long keeps its own level under the median.
std::vector<double> clipped(const std::vector<double>& values, double scatter)
{
    const std::size_t n = values.size();
    const std::size_t half = SHORTEST_SEGMENT - 1;
    std::vector<double> result(n);
    std::vector<double> window;
    window.reserve(2 * half + 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t from = i >= half ? i - half : 0;
        const std::size_t to = std::min(n, i + half + 1);
        window.assign(values.begin() + static_cast<std::ptrdiff_t>(from),
                      values.begin() + static_cast<std::ptrdiff_t>(to));
        const double level = medianOf(window);
        const double reach = CLIP_SCATTERS * scatter;
        result[i] = std::clamp(values[i], level - reach, level + reach);
    }
    return result;
}

// Sums of the values from the start, about an offset so that long series
// keep their precision.
class PrefixSums {
public:
    PrefixSums(const std::vector<double>& values, double offset) : sums(values.size() + 1, 0.0)
    {
        for (std::size_t i = 0; i < values.size(); ++i) {
            sums[i + 1] = sums[i] + (values[i] - offset);
        }
    }
    // The mean of values [from, to), less the offset.
    double mean(std::size_t from, std::size_t to) const
    {
        return (sums[to] - sums[from]) / static_cast<double>(to - from);
    }

private:
    std::vector<double> sums;
};

// The split of [from, to) that lowers the sum of squares about the means
// the most, and by how much; no split when neither side could be long
// enough.
std::pair<std::size_t, double> bestSplit(const PrefixSums& sums, std::size_t from, std::size_t to)
{
    std::pair<std::size_t, double> best{0, 0.0};
    if (to - from < 2 * SHORTEST_SEGMENT) {
        return best;
    }
    const auto n = static_cast<double>(to - from);
    for (std::size_t k = from + SHORTEST_SEGMENT; k + SHORTEST_SEGMENT <= to; ++k) {
        const auto left = static_cast<double>(k - from);
        const double step = sums.mean(from, k) - sums.mean(k, to);
        const double gain = left * (n - left) / n * step * step;
        if (gain > best.second) {
            best = {k, gain};
        }
    }
    return best;
}

}  // namespace

double readingScatter(const std::vector<double>& values)
{
    if (values.size() < 2) {
        return 0.0;
    }
    std::vector<double> differences;
    differences.reserve(values.size() - 1);
    for (std::size_t i = 1; i < values.size(); ++i) {
        differences.push_back(std::abs(values[i] - values[i - 1]));
    }
    // A difference of two readings scatters by sqrt(2) readings.
    const double fromMedian = MAD_TO_SIGMA * medianOf(differences) / std::sqrt(2.0);
    // The mean square of the differences, less those far beyond the bulk
    // of the non-zero ones: the steps and the wild readings.
    std::vector<double> nonZero;
    std::copy_if(differences.begin(), differences.end(), std::back_inserter(nonZero), [](double d) { return d > 0.0; });
    double squares = 0.0;
    if (!nonZero.empty()) {
        const auto at =
            nonZero.begin() + static_cast<std::ptrdiff_t>(BULK_SHARE * static_cast<double>(nonZero.size() - 1));
        std::nth_element(nonZero.begin(), at, nonZero.end());
        const double cutoff = BEYOND_BULK * *at;
        for (const double d : differences) {
            squares += d <= cutoff ? d * d : 0.0;
        }
    }
    const double fromSquares = std::sqrt(squares / static_cast<double>(differences.size()) / 2.0);
    return std::max({fromMedian, fromSquares, LEAST_SCATTER_MS});
}

std::vector<Segment> findSegments(const std::vector<double>& values)
{
    const std::size_t n = values.size();
    if (n == 0) {
        return {};
    }
    if (n < 2 * SHORTEST_SEGMENT) {
        return {Segment{0, n - 1}};
    }
    const double scatter = readingScatter(values);
    const std::vector<double> series = clipped(values, scatter);
    const PrefixSums sums(series, medianOf(series));
    const double penalty = (PENALTY_FACTOR * std::log(static_cast<double>(n)) + PENALTY_BASE) * scatter * scatter;

    // Binary segmentation: split while a split pays for itself.
    std::vector<std::size_t> starts{0};
    std::vector<std::pair<std::size_t, std::size_t>> pending{{0, n}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        const auto [at, gain] = bestSplit(sums, from, to);
        if (gain > penalty) {
            starts.push_back(at);
            pending.emplace_back(from, at);
            pending.emplace_back(at, to);
        }
    }
    std::sort(starts.begin(), starts.end());

    // Merge the closest neighbours while any two are closer than a change
    // of setting would be.
    for (;;) {
        std::size_t closest = 0;
        double smallest = MERGE_SCATTERS * scatter;
        for (std::size_t i = 1; i < starts.size(); ++i) {
            const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : n;
            const double difference = std::abs(sums.mean(starts[i - 1], starts[i]) - sums.mean(starts[i], end));
            if (difference < smallest) {
                smallest = difference;
                closest = i;
            }
        }
        if (closest == 0) {
            break;
        }
        starts.erase(starts.begin() + static_cast<std::ptrdiff_t>(closest));
    }

    std::vector<Segment> segments;
    segments.reserve(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        segments.push_back(Segment{starts[i], (i + 1 < starts.size() ? starts[i + 1] : n) - 1});
    }
    return segments;
}

}  // namespace reader
