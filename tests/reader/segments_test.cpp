// Where the lag changes, on drawn series: readings about a level with the
// scatter real ones show (normal, or at the few levels a camera's frames
// fall on), with steps, a wild reading, or a slow drift.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "reader/segments.h"

using reader::findSegments;
using reader::Segment;

namespace {

constexpr std::size_t N = 240;

// Normal scatter of 1 ms about the level each reading's index gives.
template <typename Level>
std::vector<double> normalSeries(std::size_t n, unsigned seed, Level level)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values;
    for (std::size_t i = 0; i < n; ++i) {
        values.push_back(level(i) + noise(random));
    }
    return values;
}

// The three sub-frame levels 1.15 ms apart that a 240 frames/s camera
// reads off a 60 Hz pair, drawn at random.
template <typename Level>
std::vector<double> levelledSeries(std::size_t n, unsigned seed, Level level)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> step(-1, 1);
    std::vector<double> values;
    for (std::size_t i = 0; i < n; ++i) {
        values.push_back(level(i) + 1.15 * step(random));
    }
    return values;
}

void expectStarts(const std::vector<Segment>& segments, std::size_t n, const std::vector<std::size_t>& starts,
                  std::size_t within)
{
    ASSERT_EQ(segments.size(), starts.size());
    EXPECT_EQ(segments.front().first, 0U);
    EXPECT_EQ(segments.back().last, n - 1);
    for (std::size_t i = 1; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].first, segments[i - 1].last + 1);
        EXPECT_NEAR(static_cast<double>(segments[i].first), static_cast<double>(starts[i]), static_cast<double>(within))
            << i;
    }
}

}  // namespace

TEST(Segments, ASteadySeriesIsOneWhateverItsScatter)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        expectStarts(findSegments(normalSeries(N, seed, [](std::size_t) { return 24.4; })), N, {0}, 0);
        expectStarts(findSegments(levelledSeries(N, seed, [](std::size_t) { return 24.7; })), N, {0}, 0);
        // Mostly one value and now and then the next level: most successive
        // readings are equal. (About one such series in 700 still ends in a
        // run of five that splits off; these seeds draw none.)
        std::mt19937 random(seed + 100);
        std::bernoulli_distribution higher(0.15);
        std::vector<double> twoLevels;
        for (std::size_t i = 0; i < N; ++i) {
            twoLevels.push_back(higher(random) ? 50.0 : 49.2);
        }
        expectStarts(findSegments(twoLevels), N, {0}, 0);
    }
    EXPECT_TRUE(findSegments({}).empty());
}

TEST(Segments, OneStepSplitsTheSeriesWhereItIs)
{
    const auto level = [](std::size_t i) { return i < 150 ? 24.7 : 49.5; };
    expectStarts(findSegments(levelledSeries(N, 3, level)), N, {0, 150}, 0);
    // A step of three readings' scatter is a change too.
    expectStarts(findSegments(normalSeries(N, 4, [](std::size_t i) { return i < 100 ? 24.0 : 27.0; })), N, {0, 100}, 3);
}

TEST(Segments, TwoStepsMakeThreeStretches)
{
    const auto level = [](std::size_t i) { return i < 90 ? 24.4 : i < 160 ? 49.5 : 36.0; };
    expectStarts(findSegments(normalSeries(N, 5, level)), N, {0, 90, 160}, 1);
}

TEST(Segments, AWildReadingMakesNoStretch)
{
    // Misread by four frames, in the middle and at either end.
    for (const std::size_t at : {std::size_t{0}, std::size_t{100}, N - 1}) {
        std::vector<double> values = normalSeries(N, 6, [](std::size_t) { return 24.4; });
        values[at] = 91.0;
        expectStarts(findSegments(values), N, {0}, 0);
    }
    // Nor next to a real step.
    std::vector<double> values = normalSeries(N, 7, [](std::size_t i) { return i < 120 ? 24.4 : 49.5; });
    values[118] = -40.0;
    expectStarts(findSegments(values), N, {0, 120}, 0);
}

TEST(Segments, ASlowDriftWithinTheScatterIsNoStep)
{
    const std::size_t n = 2000;
    const auto drift = [n](std::size_t i) { return 24.4 + static_cast<double>(i) / static_cast<double>(n); };
    expectStarts(findSegments(normalSeries(n, 8, drift)), n, {0}, 0);
}
