#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "reader/types.h"

namespace reader {

// Maps photo points into the pattern's own coordinates, the screen's
// outline going to (0,0), (width,0), (width,height), (0,height).
cv::Matx33d patternHomography(const Quad& outline, const Mode& mode);

// Where each pixel of a rectified strip samples the photo, in the fixed
// point form OpenCV's warps use: what warpPerspective works out afresh on
// every call.
struct StripMap {
    cv::Matx33d outputToPhoto;
    cv::Size size;
    cv::Mat xy;     // CV_16SC2: the photo pixel left of and above the point
    cv::Mat alpha;  // CV_16UC1: the point's fraction of a pixel, in 1/32
};

// The maps of strips rectified before, for a video's frames whose screens
// stay where they were: a strip is then only sampled, its map not worked
// out again. Held up to a bounded size, the oldest dropped first, so memory
// stays flat however many frames there are. Safe to share between threads.
class StripMaps {
public:
    // The map of the strip, made now when it is not held.
    std::shared_ptr<const StripMap> find(const cv::Matx33d& outputToPhoto, cv::Size size);

private:
    std::mutex mutex;
    // Newest first.
    std::deque<std::shared_ptr<const StripMap>> held;
    std::size_t heldBytes = 0;
};

// A region of the pattern's coordinates as the screen shows it, seen
// square-on: `size` pixels spread evenly over `region`, pixel (u, v)
// centred on region.tl() + ((u, v) + 0.5) * region.size() / size. Only the
// parts a stage reads are rectified, so a large photo costs no more than a
// small one. With maps, the strip's map is taken from there (the pixels
// come out the same).
cv::Mat rectifyRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size,
                      StripMaps* maps = nullptr);

// As rectifyRegion, the strip laid on its side: output pixel (u, v) is the
// region's pixel (v, u) at `size`, so the output is size.height wide. A
// tall, narrow strip then comes out in long rows, which OpenCV's remap
// samples several times faster than short ones.
cv::Mat rectifyRegionSideways(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region,
                              cv::Size size, StripMaps* maps = nullptr);

// Pattern columns to a photo pixel across the screen, rounded down: a strip
// sampled every that many pattern columns still has a sample for every
// photo pixel the screen covers, and costs that many times less.
int patternColumnsPerPixel(const cv::Matx33d& toPattern, const Mode& mode);
// The same down the screen, pattern rows to a photo pixel.
int patternRowsPerPixel(const cv::Matx33d& toPattern, const Mode& mode);

// A row of values sampled every `step` pattern columns (sample i centred on
// pattern x (i + 0.5) * step) brought back to one a pattern column, each
// linearly between its neighbours: the profile that sampling every column
// would give, to within what the photo's own pixels can tell.
cv::Mat everyColumn(const cv::Mat& sampled, int step, int width);

// Applies a homography to one point.
cv::Point2d mapPoint(const cv::Matx33d& homography, cv::Point2d point);

// The outline with every corner multiplied by factor (between a reduced
// copy and the full photo).
Quad scaleQuad(const Quad& outline, double factor);

}  // namespace reader
