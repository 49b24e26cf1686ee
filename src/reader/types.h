#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace reader {

// Bar positions in one sweep, and columns across the pattern.
constexpr int COLUMN_COUNT = 60;
// The pattern's fixed geometry, in its own pixels.
constexpr int GRID_MARGIN = 250;
constexpr int BAR_TOP = 1;
constexpr int BAR_BOTTOM = 799;

// The mode the pattern ran in: the numbers given to vesmira.
struct Mode {
    int width = 0;
    int height = 0;
    int rate = 0;
    int columnStep() const { return width / COLUMN_COUNT; }
};

// Where the reference screen is in the photos.
enum class Placement { Left, Right, Top, Bottom };

// A screen's outline in photo pixels: top-left, top-right, bottom-right,
// bottom-left, as the screen shows the picture.
using Quad = std::array<cv::Point2d, 4>;

inline cv::Point2d centreOf(const Quad& quad)
{
    return (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25;
}

// What was read off one screen.
struct ScreenReading {
    Quad corners{};
    // Photo pixels to the pattern's own pixels (WIDTH x HEIGHT).
    cv::Matx33d toPattern = cv::Matx33d::eye();
    // Grid lines found, x in the pattern's pixels, left to right, each with
    // its line number (line k lies at x = 1 + k * step).
    std::vector<double> gridLineX;
    std::vector<int> gridLineNumber;
    // Overscan: the part of the picture's width cut off on each edge.
    double crop = 0.0;
    // The column the bar is read in, 0..59.
    int column = -1;
    // Other column that showed a bar too (a frame change in the exposure).
    std::optional<int> secondColumn;
    // The scan-out: the pattern row of the newest frame's 50 % crossing when
    // it lies within the bar, and the screen's clock in frames (newest
    // column + part of a frame), taken back to the photo's first row when
    // the camera's readout time is known.
    std::optional<double> scanRow;
    double clock = 0.0;
    bool coarse = true;
    // Where in the photo the clock was read.
    cv::Point2d clockPoint;
};

// The reading of one photo, or why there is none.
struct PhotoReading {
    bool ok = false;
    std::string error;
    ScreenReading reference;
    ScreenReading device;
    int lagFrames = 0;
    double lagMs = 0.0;
    // From the screens' clocks: a decimal number of frames, and coarse when
    // either screen's clock is only the middle of an interval.
    double subFrameLagFrames = 0.0;
    double subFrameLagMs = 0.0;
    bool coarse = true;
    std::vector<std::string> warnings;
    // The exposure the photo was taken with, in ms: --exposure, or else the
    // photo's EXIF; none when neither says.
    std::optional<double> exposureMs;
};

struct ReadSettings {
    Mode mode;
    Placement reference = Placement::Left;
    // The camera's top-to-bottom readout time for the whole photo (a rolling
    // shutter); none for a global shutter.
    std::optional<double> readoutMs;
    // The camera's exposure time, in ms: --exposure for the whole run; for
    // each photo without it, the photo's own EXIF exposure.
    std::optional<double> exposureMs;
};

}  // namespace reader
