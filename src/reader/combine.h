#pragma once

#include <array>
#include <optional>
#include <vector>

#include "reader/types.h"

namespace reader {

// Reference column minus device column, wrapped into -30..29 frames: a
// device ahead of the reference gives a negative lag.
int wrappedLag(int referenceColumn, int deviceColumn);

double framesToMs(double frames, int rate);

// An exposure given in ms as frames of the signal; none stays none.
std::optional<double> exposureFrames(std::optional<double> exposureMs, int rate);

// The difference of two screens' clocks (frames), wrapped into -30..30.
double wrappedClockLag(double referenceClock, double deviceClock);

// A screen's clock read at photo row `row` of a photo `rows` high, taken
// back to the moment the camera began reading out its first row.
double clockAtFirstRow(double clock, double row, int rows, double readoutMs, int rate);

// Which of two outlines is the reference, by where the reference stands in
// the photo: {reference index, device index}.
std::array<int, 2> assignScreens(const Quad& first, const Quad& second, Placement reference);

}  // namespace reader
