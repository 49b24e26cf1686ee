#include <gtest/gtest.h>

#include "reader/combine.h"

using reader::Placement;
using reader::Quad;

TEST(WrappedLag, IsReferenceMinusDeviceWithinHalfASweep)
{
    EXPECT_EQ(reader::wrappedLag(17, 14), 3);
    EXPECT_EQ(reader::wrappedLag(14, 17), -3);
    EXPECT_EQ(reader::wrappedLag(5, 5), 0);
    // The reference has wrapped past column 59, the device not yet.
    EXPECT_EQ(reader::wrappedLag(2, 58), 4);
    EXPECT_EQ(reader::wrappedLag(58, 2), -4);
    // The ends of -30..29.
    EXPECT_EQ(reader::wrappedLag(29, 0), 29);
    EXPECT_EQ(reader::wrappedLag(30, 0), -30);
    EXPECT_EQ(reader::wrappedLag(0, 30), -30);
    EXPECT_EQ(reader::wrappedLag(59, 0), -1);
}

TEST(WrappedLag, FramesBecomeMillisecondsAtTheRate)
{
    EXPECT_DOUBLE_EQ(reader::framesToMs(3, 60), 50.0);
    EXPECT_DOUBLE_EQ(reader::framesToMs(-2, 144), -2000.0 / 144.0);
    EXPECT_DOUBLE_EQ(reader::framesToMs(1.5, 75), 20.0);
}

TEST(AssignScreens, TheReferenceIsWhereTheUserSaysItIs)
{
    const auto box = [](double x, double y) {
        return Quad{cv::Point2d(x, y), {x + 100, y}, {x + 100, y + 60}, {x, y + 60}};
    };
    const Quad left = box(0, 200);
    const Quad right = box(300, 180);
    EXPECT_EQ(reader::assignScreens(left, right, Placement::Left), (std::array<int, 2>{0, 1}));
    EXPECT_EQ(reader::assignScreens(right, left, Placement::Left), (std::array<int, 2>{1, 0}));
    EXPECT_EQ(reader::assignScreens(left, right, Placement::Right), (std::array<int, 2>{1, 0}));
    const Quad top = box(20, 0);
    const Quad bottom = box(0, 300);
    EXPECT_EQ(reader::assignScreens(bottom, top, Placement::Top), (std::array<int, 2>{1, 0}));
    EXPECT_EQ(reader::assignScreens(bottom, top, Placement::Bottom), (std::array<int, 2>{0, 1}));
}

TEST(WrappedClockLag, KeepsTheFractionAndWrapsLikeTheColumns)
{
    EXPECT_NEAR(reader::wrappedClockLag(17.25, 14.75), 2.5, 1e-12);
    EXPECT_NEAR(reader::wrappedClockLag(14.75, 17.25), -2.5, 1e-12);
    // Across the wrap: the reference at 1.1 has passed 59.9 by 1.2 frames.
    EXPECT_NEAR(reader::wrappedClockLag(1.1, 59.9), 1.2, 1e-12);
    EXPECT_NEAR(reader::wrappedClockLag(59.9, 1.1), -1.2, 1e-12);
    EXPECT_NEAR(reader::wrappedClockLag(30.0, 0.0), -30.0, 1e-12);
    EXPECT_NEAR(reader::wrappedClockLag(29.99, 0.0), 29.99, 1e-9);
}

TEST(ClockAtFirstRow, TakesALaterRowBackByItsShareOfTheReadout)
{
    // Row 750 of 1000 is read 15 ms after row 0 with a 20 ms readout: at
    // 60 Hz that is 0.9 frame.
    EXPECT_NEAR(reader::clockAtFirstRow(10.5, 750.0, 1000, 20.0, 60), 9.6, 1e-12);
    EXPECT_NEAR(reader::clockAtFirstRow(10.5, 0.0, 1000, 20.0, 60), 10.5, 1e-12);
    EXPECT_NEAR(reader::clockAtFirstRow(10.5, 500.0, 1000, 0.0, 60), 10.5, 1e-12);
}
