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

// How a screen's rows show a new frame over time.
enum class Light {
    Scanning,  // rows take the frame top to bottom over the scan-out and hold it (LCD, OLED)
    AllRows,   // every row at once, and holds it (DLP, some projectors)
    Strobed,   // dark but for one short pulse a frame (black frame insertion)
    Impulse,   // each row flashes as the beam passes and fades within about a millisecond (CRT)
};

// A signal sends its visible rows over about this share of the period, the
// rest being vertical blanking (1080 of 1125 lines, 768 of 806): a screen
// that scans at the signal's pace draws them as they come.
constexpr double SIGNAL_SCAN_SHARE = 0.95;

// What the reading takes a screen's light to be.
struct ScreenLight {
    Light kind = Light::Scanning;
    // The time the rows take from the top to the bottom, as a share of the
    // frame period: the signal's own pace until measured.
    double scanShare = SIGNAL_SCAN_SHARE;
};

// How the bar's light lay down the screen's rows: what the screen's clock
// is read from, once the kind of its light is known. Rows are pattern rows.
struct ScanObservation {
    // Where the newest frame's column gave way to the one before, down the
    // bar: at a row, or not within the rows read (all new, all old), or no
    // telling (too little light).
    enum class Split { None, AllNew, AllOld, Found };
    Split split = Split::None;
    int newestColumn = -1;
    double splitRow = 0.0;
    // Rows from where the newest column holds three quarters of the two
    // columns' light to where it holds a quarter: a held screen spreads its
    // change over the rows its scan passed during the exposure, a flash
    // does not.
    std::optional<double> rampRows;
    // The last row, going down, where the newest column holds half of its
    // full light; none when it holds it to the last row read.
    std::optional<double> newestEnd;
    // The one stretch of rows that was lit, when the rest of the rows read
    // were dark: the band a CRT's beam drew during the exposure.
    std::optional<double> litStart;
    std::optional<double> litEnd;
    // Which rows the light let the photo see: the first lit row, the end of
    // the last lit row above the split whose light is mostly the newest
    // column's, and the start of the first lit row below it mostly the
    // previous one's. A split with unlit rows on both sides of it (a PWM
    // backlight's dark band under a rolling shutter) lies somewhere between
    // the two.
    std::optional<double> firstLit;
    std::optional<double> newestSeenEnd;
    std::optional<double> previousSeenStart;
    // The next frame's column rising in the first lit rows but under half
    // of their light (the scan had just begun that frame): the row above
    // them where it would hold half, by the slope its share falls by down
    // them.
    std::optional<double> nextRisingRow;
    // At a long exposure, where the bar spreads over several columns: in
    // bands of rows, the light-weighted mean column, counted from the
    // newest (0) back (-1, -2, ...), and each band's middle row.
    static constexpr int CENTROID_BANDS = 8;
    int centroidBands = 0;
    std::array<double, CENTROID_BANDS> centroid{};
    std::array<double, CENTROID_BANDS> centroidRow{};
    // The rows read, and the middle of the newest column (pattern x).
    int firstRow = 0;
    int endRow = 0;
    double columnX = 0.0;
};

// A stretch of a quantity (a clock, a lag, in frames) from low to high.
struct Span {
    double low = 0.0;
    double high = 0.0;
};

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
    // The brighter column's share of the two bars' light.
    double barShare = 1.0;
    ScanObservation scan;
    // What the rolling shutter's later rows took off the clock, in frames.
    double shutterFrames = 0.0;
    // The scan-out: the pattern row of the newest frame's 50 % crossing when
    // it lies within the bar, and the screen's clock in frames (newest
    // column + part of a frame), taken back to the photo's first row when
    // the camera's readout time is known.
    std::optional<double> scanRow;
    double clock = 0.0;
    bool coarse = true;
    // Of a screen that shows every row at once, where the photo tells only
    // which frame it showed: the clocks that leaves possible, taken back
    // like the clock.
    std::optional<Span> clockRange;
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
    // The decoded picture's rows, for the rolling shutter's later rows.
    int photoRows = 0;
    // Of a photo that showed one screen only: its outline, so that the
    // series can tell which of the two was missing.
    std::optional<Quad> onlyScreen;
    // And whether part of the other showed in the pattern's colours (a band
    // of its rows lit), rather than none of it.
    bool otherShownInPart = false;
    // Of a video frame read only where its screens were: they are no longer
    // there, and the frame was not searched.
    bool screensLost = false;
};

// Where a video's screens were in an earlier frame.
struct KnownScreens {
    // Reference, device.
    std::array<Quad, 2> outlines;
    // Whether the frame is searched when they are no longer there: not
    // when only the parts of it around them were decoded.
    bool searchWhenLost = true;
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
    // The light of each screen (reference, device): the signal's scanning
    // light until the series tells otherwise.
    std::array<ScreenLight, 2> light{};
    // The lag, in frames, that the series' photos of a screen showing every
    // row at once agree on: a photo whose own range of lags holds it is
    // read at it.
    std::optional<double> agreedLagFrames = std::nullopt;
};

}  // namespace reader
