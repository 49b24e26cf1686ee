#pragma once

#include <optional>

#include "reader/types.h"

namespace reader {

// "scanning", "all-rows", "strobed", "impulse".
const char* lightName(Light light);

// A screen's clock at the middle of the exposure: frames since frame 0
// reached half of its light on the top row, as its kind of light reads it
// from what the bar's rows showed.
struct ClockReading {
    double clock = 0.0;
    // Only the middle of what the photo leaves possible.
    bool coarse = true;
    // The row the newest frame had reached at the clock's moment, where
    // the photo shows it.
    std::optional<double> scanRow;
    // The pattern row the clock was read at.
    double row = 0.0;
    // Every row at once: the clocks the photo leaves possible.
    std::optional<Span> range;
};

// exposureFrames: the exposure's length in frames, where known.
ClockReading readClock(const ScreenReading& screen, const ScreenLight& light, std::optional<double> exposureFrames,
                       const Mode& mode);

// The lags (reference clock less device clock, in frames) a photo leaves
// possible when one screen tells only which frame it showed and the other's
// clock is sharp; none otherwise.
std::optional<Span> lagRange(const PhotoReading& reading);

// Both screens' clocks and the lag between them, from what the photo showed
// and the light the settings give each screen: the photo's reading, and the
// series' second reading once it knows the screens' light (and, where it
// found one, the lag its photos of a screen showing every row at once
// agree on).
void clockPhoto(PhotoReading* reading, const ReadSettings& settings);

}  // namespace reader
