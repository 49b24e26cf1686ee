#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "reader/types.h"

namespace reader {

// Maps photo points into the pattern's own coordinates, the screen's
// outline going to (0,0), (width,0), (width,height), (0,height).
cv::Matx33d patternHomography(const Quad& outline, const Mode& mode);

// Where each pixel of a rectified strip samples the photo, worked out once
// for a video's frames: what warpPerspective works out afresh on every
// call, in the fixed point it uses, so that the pixels come out the same.
struct StripMap {
    // A pixel's four photo pixels (left and right above, then below), as
    // byte offsets into the photo, the border repeated; and their bilinear
    // weights, in 1/1024, summing to 1024.
    struct Tap {
        std::array<std::uint32_t, 4> offset;
        std::array<std::int16_t, 4> weight;
    };

    cv::Matx33d outputToPhoto;
    cv::Size size;
    // The photo's size and row length the offsets hold for.
    cv::Size photoSize;
    std::size_t photoStep = 0;
    // Row by row.
    std::vector<Tap> taps;
};

// The maps of strips rectified before, for a video's frames whose screens
// stay where they were: a strip is then only sampled, its map not worked
// out again. Held up to a bounded size, the oldest dropped first, so memory
// stays flat however many frames there are. Safe to share between threads.
class StripMaps {
public:
    // The map of the strip of photo, made now when it is not held.
    std::shared_ptr<const StripMap> find(const cv::Mat& photo, const cv::Matx33d& outputToPhoto, cv::Size size);

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
// small one.
cv::Mat rectifyRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size);

// As rectifyRegion, the strip laid on its side: output pixel (u, v) is the
// region's pixel (v, u) at `size`, so the output is size.height wide. A
// tall, narrow strip then comes out in long rows, which OpenCV's remap
// samples several times faster than short ones.
cv::Mat rectifyRegionSideways(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region,
                              cv::Size size);

// Where rectifyRegion's (or, sideways, rectifyRegionSideways') output
// pixels sample the photo.
cv::Matx33d regionToPhoto(const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size, bool sideways);

// Hands each pixel of the strip to visit(x, y, channel), channel(c) giving
// its blue (0), green (1) or red (2) as an int.
template <typename Visit>
void visitPixels(const cv::Mat& strip, Visit&& visit)
{
    CV_Assert(strip.type() == CV_8UC3);
    for (int y = 0; y < strip.rows; ++y) {
        const auto* pixel = strip.ptr<uchar>(y);
        for (int x = 0; x < strip.cols; ++x, pixel += 3) {
            visit(x, y, [pixel](int c) { return static_cast<int>(pixel[c]); });
        }
    }
}

// As visitPixels over the strip the map rectifies, sampled as it is
// visited: the strip is never written out, and only the channels asked for
// are worked out.
template <typename Visit>
void visitThroughMap(const cv::Mat& photo, const StripMap& map, Visit&& visit)
{
    CV_Assert(photo.type() == CV_8UC3 && photo.size() == map.photoSize && photo.step[0] == map.photoStep);
    const uchar* data = photo.data;
    const StripMap::Tap* tap = map.taps.data();
    for (int y = 0; y < map.size.height; ++y) {
        for (int x = 0; x < map.size.width; ++x, ++tap) {
            visit(x, y, [data, tap](int c) {
                const uchar* base = data + c;
                const int sum = base[tap->offset[0]] * tap->weight[0] + base[tap->offset[1]] * tap->weight[1] +
                                base[tap->offset[2]] * tap->weight[2] + base[tap->offset[3]] * tap->weight[3];
                // Rounded as cv::remap rounds.
                return (sum + (1 << (2 * cv::INTER_BITS - 1))) >> (2 * cv::INTER_BITS);
            });
        }
    }
}

// The pixels rectifyRegion (sideways: rectifyRegionSideways) would give,
// handed to visit as visitPixels does. With maps, the strip's map is taken
// from there and the photo sampled pixel by pixel (the values come out the
// same).
template <typename Visit>
void visitStrip(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size,
                bool sideways, StripMaps* maps, Visit&& visit)
{
    if (maps == nullptr) {
        visitPixels(sideways ? rectifyRegionSideways(photo, toPattern, region, size)
                             : rectifyRegion(photo, toPattern, region, size),
                    visit);
        return;
    }
    const cv::Size output = sideways ? cv::Size(size.height, size.width) : size;
    visitThroughMap(photo, *maps->find(photo, regionToPhoto(toPattern, region, size, sideways), output), visit);
}

template <typename Visit>
void visitRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size,
                 StripMaps* maps, Visit&& visit)
{
    visitStrip(photo, toPattern, region, size, false, maps, std::forward<Visit>(visit));
}

template <typename Visit>
void visitRegionSideways(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size,
                         StripMaps* maps, Visit&& visit)
{
    visitStrip(photo, toPattern, region, size, true, maps, std::forward<Visit>(visit));
}

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
