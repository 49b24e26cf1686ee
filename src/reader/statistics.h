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

// Nothing for an empty series.
std::optional<Statistics> describe(const std::vector<double>& values);

// The two-sided critical value of Student's t: P(|T| <= t) = confidence,
// for degreesOfFreedom >= 1 and 0 < confidence < 1.
double studentTCritical(double confidence, std::size_t degreesOfFreedom);

}  // namespace reader
