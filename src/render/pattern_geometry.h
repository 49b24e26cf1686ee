#pragma once

#include <cstdint>

// Grid lines are drawn from this y down to the height less this margin.
constexpr int32_t GRID_MARGIN = 250;
// The bar's vertical extent is fixed, whatever the screen height.
constexpr float BAR_TOP = 1.0F;
constexpr float BAR_BOTTOM = 799.0F;

// Lines at x = 1 + k * columnStep for every x <= width: none for a width
// below 1, and only the one at x = 1 when columnStep is 0.
int32_t gridLineCount(int32_t width, int32_t columnStep);

// x of grid line k, for k below gridLineCount.
float gridLineX(int32_t k, int32_t columnStep);

// Lower end of the grid lines, height - margin without int overflow.
float gridLineBottom(int32_t height);

struct BarSpan {
    float x0;
    float x1;
};

BarSpan barSpan(int32_t barIndex, float barWidth);

// The column after barIndex, back to 0 after the last.
int32_t nextBarIndex(int32_t barIndex);
