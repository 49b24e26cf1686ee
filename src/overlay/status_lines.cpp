#include "overlay/status_lines.h"

#include <cstdio>

void formatFpsLine(char* out, std::size_t size, float averageFps)
{
    // A line too long for the buffer is cut, never overrun.
    (void)std::snprintf(out, size, "Average FPS: %4.2f", static_cast<double>(averageFps));
}

void formatSettingsLine(char* out, std::size_t size, const DisplaySettings& settings)
{
    (void)std::snprintf(out, size, "Display settings: %dx%d %db @ %dHz", settings.width, settings.height,
                        settings.bitsPerPixel, settings.refreshRate);
}
