#pragma once

#include <array>
#include <vector>

#include "reader/types.h"

namespace reader {

// Reference column minus device column, wrapped into -30..29 frames: a
// device ahead of the reference gives a negative lag.
int wrappedLag(int referenceColumn, int deviceColumn);

double framesToMs(double frames, int rate);

// Which of two outlines is the reference, by where the reference stands in
// the photo: {reference index, device index}.
std::array<int, 2> assignScreens(const Quad& first, const Quad& second, Placement reference);

}  // namespace reader
