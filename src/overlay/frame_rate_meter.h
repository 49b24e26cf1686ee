#pragma once

#include <cstdint>

// The average is updated once strictly more than this has passed.
constexpr uint32_t FPS_INTERVAL_MS = 1000;

struct FrameRateMeter {
    int32_t frameCount;    // frames since the last update, this one included
    int32_t lastUpdateMs;  // GLUT clock at the last update; 0 at start
    float averageFps;      // 0 until the first update
};

extern FrameRateMeter frameRateMeter;

// Counts one frame rendered at nowMs (GLUT's elapsed-time reading) and
// updates the average when the interval is over. The difference is taken
// in unsigned 32 bits so the clock's wrap after 24.8 days does no harm.
void countFrame(FrameRateMeter* meter, int32_t nowMs);
