#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace reader {

struct Interval {
    double low = 0.0;
    double high = 0.0;
};

// A description of a series of lag readings (ms, or frames).
struct Statistics {
    std::size_t count = 0;
    double mean = 0.0;
    double median = 0.0;
    // The 95 % confidence interval of the mean (Student's t). None for a
    // single value: one reading says nothing about its own spread.
    std::optional<Interval> ci95;
};

// The middle value of a series that is not empty (of an even count, the
// upper of the two middle ones): a robust level, quick to find.
double middleValue(std::vector<double> values);

// How a moving mean takes the values beyond either end: the end value
// repeated, or the values mirrored about the end (the end value included).
enum class Edge { Repeat, Mirror };

// Each value's mean over the `window` values centred on it (window odd),
// as cv::blur computes it, without the filter it sets up on every call,
// which costs more than the means of a short profile themselves.
std::vector<double> movingMean(const double* values, std::size_t count, int window, Edge edge);

// Nothing for an empty series.
std::optional<Statistics> describe(const std::vector<double>& values);

// The two-sided critical value of Student's t: P(|T| <= t) = confidence,
// for degreesOfFreedom >= 1 and 0 < confidence < 1.
double studentTCritical(double confidence, std::size_t degreesOfFreedom);

}  // namespace reader
