#pragma once

#include <opencv2/core.hpp>

#include "reader/types.h"

// The pattern drawn the way the program draws it (blue ground, white lines
// at x = 1 + n * step in the pixel column left of it, the green bar added
// over them), for stage tests that need exact, known pictures.
cv::Mat drawnPattern(const reader::Mode& mode, int barColumn, double barLight = 1.0);

// The same picture as a screen that overscans: `crop` of it cut off on each
// edge and the rest stretched back to the full size.
cv::Mat overscanned(const cv::Mat& pattern, double crop);

// Maps the pattern's pixel centres onto themselves: the stages' homography
// for a picture that is already the screen seen square-on.
cv::Matx33d squareOn();
