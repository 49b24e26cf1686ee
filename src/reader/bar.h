#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

#include "reader/grid.h"
#include "reader/rectify.h"
#include "reader/types.h"

namespace reader {

// The rows the bar is read in: its top, above the grid band, the same rows
// on both screens.
struct RowSpan {
    int top = 0;
    int bottom = 0;  // exclusive
};
RowSpan barReadingRows(const Mode& mode);

struct BarReading {
    bool found = false;
    int column = -1;
    // How far the column's brightness stands above the screen's background,
    // over the spread of the other columns: how sure the reading is.
    double contrast = 0.0;
    // A second column lit too: the screen changed frames in the exposure.
    std::optional<int> secondColumn;
    // The chosen column's share of the two columns' light.
    double share = 1.0;
    // Mean green above red of every column, for the picture and the tests
    // (NaN where the column is not on screen).
    std::vector<double> columnLevel;
};

// Reads the bar's column on the screen that toPattern maps from photo pixels
// to the pattern's coordinates, whose grid is known. Where two columns are
// lit, the brighter one is read: it is the frame the screen had more than
// half changed to. The bar is read above the grid band, and below it when
// the rows above show none (a CRT at a short exposure lit only the rows
// below). maps, when given, holds the strip's map (see rectifyRegion).
BarReading findBar(const cv::Mat& photo, const cv::Matx33d& toPattern, const GridReading& grid, const Mode& mode,
                   StripMaps* maps = nullptr);

}  // namespace reader
