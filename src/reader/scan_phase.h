#pragma once

#include <opencv2/core.hpp>

#include <optional>

#include "reader/bar.h"
#include "reader/grid.h"
#include "reader/rectify.h"
#include "reader/types.h"

namespace reader {

// How far into its newest frame a screen was when photographed, read from
// the row its scan-out had reached: above that row the bar already stands
// in the newest column, below it still in the one before.
struct ScanReading {
    int newestColumn = -1;
    // The pattern row where the newest column holds half of the two
    // columns' light (the 50 % crossing), when it lies within the bar.
    std::optional<double> crossingRow;
    // Part of a frame since the newest frame reached row 0: crossing row /
    // height, or the middle of what the photo leaves possible.
    double phase = 0.5;
    // No crossing within the bar: the phase is only the middle of an interval.
    bool coarse = true;
    // Where in the photo the crossing was seen (or the bar's middle), for
    // taking a rolling shutter's later rows back to the photo's first.
    cv::Point2d photoPoint;
    // The light down the rows, for reading the clock by the screen's kind
    // of light.
    ScanObservation observation;
    // The screen's clock in frames: newest column + phase.
    double clock() const { return newestColumn + phase; }
};

// Reads the scan-out phase of a screen whose bar is found; maps, when
// given, holds the columns' maps (see rectifyRegion). exposureFrames, when
// known: an exposure of half a frame or more spreads the bar over several
// columns, whose shares are measured too.
ScanReading readScanPhase(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid,
                          const BarReading& bar, const Mode& mode, StripMaps* maps = nullptr,
                          std::optional<double> exposureFrames = std::nullopt);

}  // namespace reader
