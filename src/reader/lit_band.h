#pragma once

#include <opencv2/core.hpp>

#include <optional>

#include "reader/types.h"

namespace reader {

// Whether an outline is so much wider for its height than the pattern that
// it is no whole screen but a band of one's rows: a CRT lights only the rows
// its beam passed during a short exposure.
bool isBandOfRows(const Quad& outline, const Mode& mode);

// The whole screen of which `found` (photo pixels) is the lit rows. Its ends
// are the screen's sides; the rows are placed by where the grid lines end
// within it (the pattern draws them from GRID_MARGIN to the height less
// that), and the screen's height follows from the pattern's shape. None
// when no end of the grid lies in the band: nothing then says which rows
// it is.
std::optional<Quad> screenOfLitBand(const cv::Mat& photo, const Quad& found, const Mode& mode);

}  // namespace reader
