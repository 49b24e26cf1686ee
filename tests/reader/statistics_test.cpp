#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "reader/statistics.h"

using reader::describe;
using reader::studentTCritical;

TEST(StudentT, MatchesTheTablesFromOneDegreeOfFreedomUp)
{
    // Two-sided 95 %: the textbook table, to its last digit.
    EXPECT_NEAR(studentTCritical(0.95, 1), 12.7062047362, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 2), 4.3026527297, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 3), 3.1824463053, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 4), 2.7764451052, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 5), 2.5705818356, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 10), 2.2281388520, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 30), 2.0422724563, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 100), 1.9839715185, 1e-8);
    EXPECT_NEAR(studentTCritical(0.95, 1000), 1.9623390808, 1e-8);
    // Towards the normal distribution's 1.959964 for many photos.
    EXPECT_NEAR(studentTCritical(0.95, 1000000), 1.9599663, 1e-6);
    // Another confidence, odd and even.
    EXPECT_NEAR(studentTCritical(0.99, 1), 63.656741163, 1e-7);
    EXPECT_NEAR(studentTCritical(0.99, 10), 3.1692726726, 1e-8);
}

TEST(Describe, NothingForNoValues)
{
    EXPECT_FALSE(describe({}));
}

TEST(Describe, OneValueHasNoInterval)
{
    const auto s = describe({50.0});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->count, 1U);
    EXPECT_DOUBLE_EQ(s->mean, 50.0);
    EXPECT_DOUBLE_EQ(s->median, 50.0);
    EXPECT_FALSE(s->ci95);
}

TEST(Describe, MeanMedianAndIntervalOfAFewValues)
{
    // Unsorted on purpose: the median must not take the middle as given.
    const auto s = describe({4.0, 1.0, 3.0, 2.0});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->count, 4U);
    EXPECT_DOUBLE_EQ(s->mean, 2.5);
    EXPECT_DOUBLE_EQ(s->median, 2.5);
    ASSERT_TRUE(s->ci95);
    // 2.5 -+ t(0.975, 3) * sqrt(5/3) / 2
    EXPECT_NEAR(s->ci95->low, 0.4457397432, 1e-9);
    EXPECT_NEAR(s->ci95->high, 4.5542602568, 1e-9);

    const auto odd = describe({10.0, -3.0, 7.0, 100.0, 0.0});
    ASSERT_TRUE(odd);
    EXPECT_DOUBLE_EQ(odd->median, 7.0);
    EXPECT_DOUBLE_EQ(odd->mean, 22.8);

    // Two values: the interval is wide, t(0.975, 1) = 12.7 standard errors.
    const auto two = describe({0.0, 2.0});
    ASSERT_TRUE(two && two->ci95);
    EXPECT_NEAR(two->ci95->low, 1.0 - 12.7062047362, 1e-8);
    EXPECT_NEAR(two->ci95->high, 1.0 + 12.7062047362, 1e-8);
}

TEST(Describe, EqualValuesGiveAnIntervalOfNoWidth)
{
    const auto s = describe({-16.5, -16.5, -16.5});
    ASSERT_TRUE(s && s->ci95);
    EXPECT_DOUBLE_EQ(s->mean, -16.5);
    EXPECT_DOUBLE_EQ(s->ci95->low, -16.5);
    EXPECT_DOUBLE_EQ(s->ci95->high, -16.5);
}

TEST(Describe, ShrinksWithMorePhotosOfTheSameSpread)
{
    // A 0/1 series of n values: the interval's width falls about as 1/sqrt(n).
    std::vector<double> small(10);
    std::vector<double> large(1000);
    for (std::size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<double>(i % 2);
    }
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<double>(i % 2);
    }
    const auto a = describe(small);
    const auto b = describe(large);
    ASSERT_TRUE(a && a->ci95 && b && b->ci95);
    const double widthA = a->ci95->high - a->ci95->low;
    const double widthB = b->ci95->high - b->ci95->low;
    EXPECT_NEAR(widthA, 2 * 2.2621571628 * std::sqrt(10.0 / 36.0 / 10.0), 1e-8);
    EXPECT_GT(widthA / widthB, 10.0);
    EXPECT_DOUBLE_EQ(b->median, 0.5);
}
