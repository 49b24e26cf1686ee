#include "render/pattern_geometry.h"

#include "common/display_settings.h"

int32_t gridLineCount(int32_t width, int32_t columnStep)
{
    if (width < 1) {
        return 0;
    }
    if (columnStep < 1) {
        return 1;
    }
    // Counting instead of stepping x keeps x from overflowing near INT32_MAX.
    return (width - 1) / columnStep + 1;
}

float gridLineX(int32_t k, int32_t columnStep)
{
    return static_cast<float>(1 + k * columnStep);
}

float gridLineBottom(int32_t height)
{
    return static_cast<float>(static_cast<int64_t>(height) - GRID_MARGIN);
}

BarSpan barSpan(int32_t barIndex, float barWidth)
{
    const float x0 = static_cast<float>(barIndex) * barWidth;
    return BarSpan{x0, x0 + barWidth};
}

int32_t nextBarIndex(int32_t barIndex)
{
    const int32_t next = barIndex + 1;
    return next == COLUMN_COUNT ? 0 : next;
}
