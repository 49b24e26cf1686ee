#pragma once

#include <opencv2/core.hpp>

#include "reader/types.h"

namespace reader {

// Reads one decoded photo (BGR, 8 bits): finds both screens, reads the bar
// on each and combines them into the lag. Never throws: every failure,
// OpenCV's included, becomes the reading's error.
PhotoReading readPhoto(const cv::Mat& photo, const ReadSettings& settings);

}  // namespace reader
