#pragma once

#include <opencv2/core.hpp>

#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "reader/rectify.h"
#include "reader/types.h"

namespace reader {

// The column grid as seen on a rectified screen. Line n is the one drawn at
// x = 1 + n * step; on the screen it lies at offset + n * spacing (rectified
// pattern pixels), which an overscanning screen stretches and shifts.
struct GridReading {
    bool found = false;
    double offset = 0.0;
    double spacing = 0.0;
    // Strength of the periodic line signal, 0..1.
    double periodicity = 0.0;
    // Amplitude of the lines' fundamental, in grey levels.
    double lineContrast = 0.0;
    // Part of the picture cut off on each edge, from the spacing.
    double crop = 0.0;
    std::vector<double> lineX;
    std::vector<int> lineNumber;
    // Lines found where the straight model puts them: an outline that is
    // the screen's rectifies the grid to even spacing.
    int evenLines = 0;
    // x of line n by the model (rectified pattern pixels).
    double lineAt(double n) const { return offset + n * spacing; }
    // Left and right edge of column c: its grid lines where both were
    // found, which follows a lens's distortion, else the straight model.
    std::pair<double, double> columnBounds(int c) const;
};

// Finds the grid lines in the band the pattern draws them in, on the screen
// that toPattern maps from photo pixels to the pattern's coordinates; maps,
// when given, holds the band's map (see rectifyRegion).
GridReading findGrid(const cv::Mat& photo, const cv::Matx33d& toPattern, const Mode& mode, StripMaps* maps = nullptr);

// The grids of screens that stay where they were from frame to frame (a
// video's tracked screens), by each screen's map: the lines stay put with
// the outline, so a frame need only check that they still show there.
// Bounded, the oldest dropped first; safe to share between threads.
class KnownGrids {
public:
    std::optional<GridReading> find(const cv::Matx33d& toPattern);
    void keep(const cv::Matx33d& toPattern, const GridReading& grid);

private:
    std::mutex mutex;
    // Newest first.
    std::deque<std::pair<cv::Matx33d, GridReading>> held;
};

// As findGrid, for a screen whose grid may be known through the same map:
// the known lines are taken when the band still shows them where they were
// (their spacing as strong, at the same phase); otherwise the grid is
// searched for afresh and kept.
GridReading followGrid(const cv::Mat& photo, const cv::Matx33d& toPattern, const Mode& mode, StripMaps* maps,
                       KnownGrids* known);

// How strongly a profile repeats at a period: the size of its component
// there, a mean over the profile's samples.
double periodicStrength(const std::vector<double>& profile, double period);

// The pattern x (as drawn, before any overscan) of a rectified x, given the
// crop on each edge.
double uncroppedX(double rectifiedX, double crop, int width);

}  // namespace reader
