#include "reader/statistics.h"

#include <algorithm>
#include <cmath>

namespace reader {

namespace {

constexpr double PI = 3.14159265358979323846;

// P(|T| <= t) for Student's t with nu degrees of freedom, from the closed
// form for whole nu (Abramowitz and Stegun 26.7.3 and 26.7.4).
double twoSidedProbability(double t, std::size_t nu)
{
    const double theta = std::atan(t / std::sqrt(static_cast<double>(nu)));
    const double sine = std::sin(theta);
    const double cosine = std::cos(theta);
    const double cosineSquared = cosine * cosine;
    if (nu % 2 == 0) {
        double term = 1.0;
        double sum = 1.0;
        for (std::size_t j = 1; 2 * j <= nu - 2; ++j) {
            term *= cosineSquared * static_cast<double>(2 * j - 1) / static_cast<double>(2 * j);
            sum += term;
        }
        return sine * sum;
    }
    double sum = 0.0;
    if (nu > 1) {
        double term = cosine;
        sum = term;
        for (std::size_t j = 1; 2 * j + 1 <= nu - 2; ++j) {
            term *= cosineSquared * static_cast<double>(2 * j) / static_cast<double>(2 * j + 1);
            sum += term;
        }
    }
    return 2.0 / PI * (theta + sine * sum);
}

}  // namespace

double studentTCritical(double confidence, std::size_t degreesOfFreedom)
{
    // The probability rises with t: bracket, then halve the bracket.
    double low = 0.0;
    double high = 1.0;
    while (twoSidedProbability(high, degreesOfFreedom) < confidence && high < 1e12) {
        low = high;
        high *= 2.0;
    }
    for (int i = 0; i < 200 && high - low > 1e-13 * high; ++i) {
        const double middle = 0.5 * (low + high);
        if (twoSidedProbability(middle, degreesOfFreedom) < confidence) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return 0.5 * (low + high);
}

double middleValue(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::vector<double> movingMean(const double* values, std::size_t count, int window, Edge edge)
{
    std::vector<double> means(count, 0.0);
    if (count == 0) {
        return means;
    }
    const auto n = static_cast<std::ptrdiff_t>(count);
    const auto at = [&](std::ptrdiff_t i) {
        // Mirrored as often as a window longer than the values needs.
        while (i < 0 || i >= n) {
            if (edge == Edge::Repeat) {
                i = std::clamp<std::ptrdiff_t>(i, 0, n - 1);
            } else {
                i = i < 0 ? -i - 1 : 2 * n - i - 1;
            }
        }
        return values[i];
    };
    const std::ptrdiff_t half = std::max(window, 1) / 2;
    double sum = 0.0;
    for (std::ptrdiff_t j = -half; j <= half; ++j) {
        sum += at(j);
    }
    const double share = 1.0 / static_cast<double>(2 * half + 1);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        means[static_cast<std::size_t>(i)] = sum * share;
        // Away from the ends the window needs no mirroring.
        const bool inside = i - half >= 0 && i + half + 1 < n;
        sum += inside ? values[i + half + 1] - values[i - half] : at(i + half + 1) - at(i - half);
    }
    return means;
}

std::optional<Statistics> describe(const std::vector<double>& values)
{
    if (values.empty()) {
        return std::nullopt;
    }
    Statistics result;
    const std::size_t n = values.size();
    result.count = n;

    double sum = 0.0;
    for (const double v : values) {
        sum += v;
    }
    result.mean = sum / static_cast<double>(n);

    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    result.median = n % 2 == 1 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);

    if (n >= 2) {
        double squares = 0.0;
        for (const double v : values) {
            squares += (v - result.mean) * (v - result.mean);
        }
        const double standardError = std::sqrt(squares / static_cast<double>(n - 1) / static_cast<double>(n));
        const double halfWidth = studentTCritical(0.95, n - 1) * standardError;
        result.ci95 = Interval{result.mean - halfWidth, result.mean + halfWidth};
    }
    return result;
}

}  // namespace reader
