#include "overlay/frame_rate_meter.h"

FrameRateMeter frameRateMeter;

void countFrame(FrameRateMeter* meter, int32_t nowMs)
{
    ++meter->frameCount;
    const uint32_t elapsed = static_cast<uint32_t>(nowMs) - static_cast<uint32_t>(meter->lastUpdateMs);
    if (elapsed > FPS_INTERVAL_MS) {
        meter->averageFps = static_cast<float>(meter->frameCount * 1000.0 / elapsed);
        meter->lastUpdateMs = nowMs;
        meter->frameCount = 0;
    }
}
