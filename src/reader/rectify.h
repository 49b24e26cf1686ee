#pragma once

#include <opencv2/core.hpp>

#include "reader/types.h"

namespace reader {

// Maps photo points into the pattern's own coordinates, the screen's
// outline going to (0,0), (width,0), (width,height), (0,height).
cv::Matx33d patternHomography(const Quad& outline, const Mode& mode);

// A region of the pattern's coordinates as the screen shows it, seen
// square-on: `size` pixels spread evenly over `region`, pixel (u, v)
// centred on region.tl() + ((u, v) + 0.5) * region.size() / size. Only the
// parts a stage reads are rectified, so a large photo costs no more than a
// small one.
cv::Mat rectifyRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size);

// Applies a homography to one point.
cv::Point2d mapPoint(const cv::Matx33d& homography, cv::Point2d point);

// The outline with every corner multiplied by factor (between a reduced
// copy and the full photo).
Quad scaleQuad(const Quad& outline, double factor);

}  // namespace reader
