#include "reader/combine.h"

#include <cmath>

namespace reader {

int wrappedLag(int referenceColumn, int deviceColumn)
{
    const int half = COLUMN_COUNT / 2;
    // The extra COLUMN_COUNT keeps the left operand of % positive.
    const int difference = referenceColumn - deviceColumn + half + 2 * COLUMN_COUNT;
    return difference % COLUMN_COUNT - half;
}

double framesToMs(double frames, int rate)
{
    return frames * 1000.0 / rate;
}

std::optional<double> exposureFrames(std::optional<double> exposureMs, int rate)
{
    if (!exposureMs) {
        return std::nullopt;
    }
    return *exposureMs * rate / 1000.0;
}

double wrappedClockLag(double referenceClock, double deviceClock)
{
    const double half = COLUMN_COUNT / 2.0;
    const double difference = referenceClock - deviceClock + half;
    return difference - COLUMN_COUNT * std::floor(difference / COLUMN_COUNT) - half;
}

double clockAtFirstRow(double clock, double row, int rows, double readoutMs, int rate)
{
    const double laterMs = readoutMs * row / rows;
    return clock - laterMs * rate / 1000.0;
}

std::array<int, 2> assignScreens(const Quad& first, const Quad& second, Placement reference)
{
    const cv::Point2d a = centreOf(first);
    const cv::Point2d b = centreOf(second);
    bool firstIsReference = true;
    switch (reference) {
        case Placement::Left:
            firstIsReference = a.x <= b.x;
            break;
        case Placement::Right:
            firstIsReference = a.x > b.x;
            break;
        case Placement::Top:
            firstIsReference = a.y <= b.y;
            break;
        case Placement::Bottom:
            firstIsReference = a.y > b.y;
            break;
    }
    return firstIsReference ? std::array<int, 2>{0, 1} : std::array<int, 2>{1, 0};
}

}  // namespace reader
