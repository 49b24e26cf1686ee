#pragma once

#include <opencv2/core.hpp>

#include <array>

#include "reader/grid.h"
#include "reader/rectify.h"
#include "reader/types.h"

namespace reader {

// What a video's frames hand on to the next while its screens stay where
// they were: the strips' maps, and the grids read through them.
struct TrackedScreens {
    StripMaps maps;
    KnownGrids grids;
};

// Reads one decoded photo (BGR, 8 bits): finds both screens, reads the bar
// on each and combines them into the lag. A photo that shows no two screens
// is the reading's error; what OpenCV throws goes to the caller's per-photo
// boundary.
//
// knownScreens, the outlines read in a video's previous frame, are tried
// first: where both still show the pattern, the search is skipped. tracked, when given, keeps what the next frames can
// reuse of known screens.
PhotoReading readPhoto(const cv::Mat& photo, const ReadSettings& settings, const KnownScreens* knownScreens = nullptr,
                       TrackedScreens* tracked = nullptr);

// A reading of a picture decoded at 1/reduction of the photo's size, in the
// photo's own pixels: its screens' corners, the points their clocks were
// read at and their maps to the pattern. Pattern rows and columns, lags and
// clocks stay as they are.
PhotoReading inPhotoPixels(PhotoReading reading, int reduction);

}  // namespace reader
