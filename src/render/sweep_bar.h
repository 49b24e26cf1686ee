#pragma once

#include <cstdint>

struct SweepState {
    // Column the bar is drawn in next, 0..COLUMN_COUNT-1.
    int32_t barIndex;
};

extern SweepState sweepState;

// Draws the green bar in its column, then moves it one column on: the bar
// stage of the frame, and the frame counter a lag is read from.
void drawSweepBar();
