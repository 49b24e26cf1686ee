#pragma once

#include <cstdint>

// Columns across the screen, and positions in one sweep of the bar.
constexpr int32_t COLUMN_COUNT = 60;
// Colour depth requested for the full-screen mode; never taken from the user.
constexpr int32_t BITS_PER_PIXEL = 16;

struct DisplaySettings {
    int32_t width;
    int32_t height;
    int32_t bitsPerPixel;
    int32_t refreshRate;
    int32_t columnStep;
    float barWidth;
};

// Filled once at start-up, read-only once the event loop runs.
extern DisplaySettings displaySettings;
