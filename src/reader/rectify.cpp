#include "reader/rectify.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>

namespace reader {

cv::Matx33d patternHomography(const Quad& outline, const Mode& mode)
{
    const auto w = static_cast<float>(mode.width);
    const auto h = static_cast<float>(mode.height);
    const cv::Point2f from[4] = {outline[0], outline[1], outline[2], outline[3]};
    const cv::Point2f to[4] = {{0.0F, 0.0F}, {w, 0.0F}, {w, h}, {0.0F, h}};
    cv::Matx33d homography;
    cv::getPerspectiveTransform(from, to).convertTo(homography, CV_64F);
    return homography;
}

namespace {

// Enough for both screens' grid band, bar strip and every column's strip.
constexpr std::size_t MOST_HELD_BYTES = 48U << 20U;

// As cv::warpPerspective computes it with WARP_INVERSE_MAP and INTER_LINEAR
// (the point in 1/32 of a pixel), and as cv::remap then samples with
// BORDER_REPLICATE, so that the strip's pixels come out the same.
std::shared_ptr<StripMap> makeStripMap(const cv::Mat& photo, const cv::Matx33d& outputToPhoto, cv::Size size)
{
    auto map = std::make_shared<StripMap>();
    map->outputToPhoto = outputToPhoto;
    map->size = size;
    map->photoSize = photo.size();
    map->photoStep = photo.step[0];
    map->taps.resize(static_cast<std::size_t>(size.area()));
    // Offsets of 32 bits: a photo is at most a few hundred megabytes.
    CV_Assert(photo.step[0] * static_cast<std::size_t>(photo.rows) < static_cast<std::size_t>(INT_MAX));
    const int lastX = photo.cols - 1;
    const int lastY = photo.rows - 1;
    const auto step = static_cast<int>(photo.step[0]);
    constexpr int FRACTION = cv::INTER_TAB_SIZE - 1;
    const cv::Matx33d& m = outputToPhoto;
    StripMap::Tap* tap = map->taps.data();
    for (int y = 0; y < size.height; ++y) {
        const double x0 = m(0, 1) * y + m(0, 2);
        const double y0 = m(1, 1) * y + m(1, 2);
        const double w0 = m(2, 1) * y + m(2, 2);
        for (int x = 0; x < size.width; ++x, ++tap) {
            double w = w0 + m(2, 0) * x;
            w = w != 0.0 ? cv::INTER_TAB_SIZE / w : 0.0;
            const double fx =
                std::clamp((x0 + m(0, 0) * x) * w, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX));
            const double fy =
                std::clamp((y0 + m(1, 0) * x) * w, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX));
            const int px = cv::saturate_cast<int>(fx);
            const int py = cv::saturate_cast<int>(fy);
            // The map's own range: a point far off the photo stays on its
            // border.
            const int sx = cv::saturate_cast<short>(px >> cv::INTER_BITS);
            const int sy = cv::saturate_cast<short>(py >> cv::INTER_BITS);
            const int left = std::clamp(sx, 0, lastX) * 3;
            const int right = std::clamp(sx + 1, 0, lastX) * 3;
            const int above = std::clamp(sy, 0, lastY) * step;
            const int below = std::clamp(sy + 1, 0, lastY) * step;
            tap->offset = {static_cast<std::uint32_t>(above + left), static_cast<std::uint32_t>(above + right),
                           static_cast<std::uint32_t>(below + left), static_cast<std::uint32_t>(below + right)};
            const int tx = px & FRACTION;
            const int ty = py & FRACTION;
            tap->weight = {static_cast<std::int16_t>((cv::INTER_TAB_SIZE - tx) * (cv::INTER_TAB_SIZE - ty)),
                           static_cast<std::int16_t>(tx * (cv::INTER_TAB_SIZE - ty)),
                           static_cast<std::int16_t>((cv::INTER_TAB_SIZE - tx) * ty),
                           static_cast<std::int16_t>(tx * ty)};
        }
    }
    return map;
}

std::size_t bytesOf(const StripMap& map)
{
    return map.taps.size() * sizeof(StripMap::Tap);
}

}  // namespace

std::shared_ptr<const StripMap> StripMaps::find(const cv::Mat& photo, const cv::Matx33d& outputToPhoto, cv::Size size)
{
    const auto same = [&](const std::shared_ptr<const StripMap>& map) {
        return map->size == size && map->outputToPhoto == outputToPhoto && map->photoSize == photo.size() &&
               map->photoStep == photo.step[0];
    };
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto found = std::find_if(held.begin(), held.end(), same);
        if (found != held.end()) {
            return *found;
        }
    }
    // Made outside the lock: the other reader need not wait for it.
    std::shared_ptr<const StripMap> made = makeStripMap(photo, outputToPhoto, size);
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = std::find_if(held.begin(), held.end(), same);
    if (found != held.end()) {
        return *found;
    }
    held.push_front(made);
    heldBytes += bytesOf(*made);
    while (heldBytes > MOST_HELD_BYTES && held.size() > 1) {
        heldBytes -= bytesOf(*held.back());
        held.pop_back();
    }
    return made;
}

cv::Matx33d regionToPhoto(const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size, bool sideways)
{
    const double sx = region.width / size.width;
    const double sy = region.height / size.height;
    // Sideways, output pixel (u, v) to the region's pixel (v, u).
    const cv::Matx33d toRegion =
        sideways ? cv::Matx33d(0.0, sx, region.x + 0.5 * sx, sy, 0.0, region.y + 0.5 * sy, 0.0, 0.0, 1.0)
                 : cv::Matx33d(sx, 0.0, region.x + 0.5 * sx, 0.0, sy, region.y + 0.5 * sy, 0.0, 0.0, 1.0);
    return toPattern.inv() * toRegion;
}

namespace {

cv::Mat warped(const cv::Mat& photo, const cv::Matx33d& outputToPhoto, cv::Size size)
{
    cv::Mat rectified;
    cv::warpPerspective(photo, rectified, outputToPhoto, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_REPLICATE);
    return rectified;
}

}  // namespace

cv::Mat rectifyRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size)
{
    return warped(photo, regionToPhoto(toPattern, region, size, false), size);
}

cv::Mat rectifyRegionSideways(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region,
                              cv::Size size)
{
    return warped(photo, regionToPhoto(toPattern, region, size, true), cv::Size(size.height, size.width));
}

namespace {

// Pattern pixels to a photo pixel along the screen's width (or its
// height), by the longer of its two edges that way, so that no part is
// undersampled; at most `most`.
int patternPixelsPerPixel(const cv::Matx33d& toPattern, const Mode& mode, bool across, int most)
{
    const cv::Matx33d toPhoto = toPattern.inv();
    const auto w = static_cast<double>(mode.width);
    const auto h = static_cast<double>(mode.height);
    const cv::Point2d corners[4] = {mapPoint(toPhoto, {0.0, 0.0}), mapPoint(toPhoto, {w, 0.0}),
                                    mapPoint(toPhoto, {w, h}), mapPoint(toPhoto, {0.0, h})};
    const double longer = across ? std::max(cv::norm(corners[1] - corners[0]), cv::norm(corners[2] - corners[3]))
                                 : std::max(cv::norm(corners[3] - corners[0]), cv::norm(corners[2] - corners[1]));
    if (!std::isfinite(longer) || longer < 1.0) {
        return 1;
    }
    return std::clamp(static_cast<int>((across ? w : h) / longer), 1, std::max(1, most));
}

// At most this many pattern rows to a sample down a scan-out column, whose
// rows tell where the scan-out stands.
constexpr int MOST_ROWS_PER_SAMPLE = 2;

}  // namespace

int patternColumnsPerPixel(const cv::Matx33d& toPattern, const Mode& mode)
{
    // A column keeps a few samples whatever the photo.
    return patternPixelsPerPixel(toPattern, mode, true, mode.columnStep() / 4);
}

int patternRowsPerPixel(const cv::Matx33d& toPattern, const Mode& mode)
{
    return patternPixelsPerPixel(toPattern, mode, false, MOST_ROWS_PER_SAMPLE);
}

cv::Mat everyColumn(const cv::Mat& sampled, int step, int width)
{
    CV_Assert(sampled.type() == CV_64FC1 && sampled.rows == 1);
    if (step == 1 && sampled.cols == width) {
        return sampled;
    }
    cv::Mat full(1, width, CV_64F);
    const auto* from = sampled.ptr<double>(0);
    auto* to = full.ptr<double>(0);
    const int last = sampled.cols - 1;
    for (int x = 0; x < width; ++x) {
        const double between = (x + 0.5) / step - 0.5;
        // Most lie between two samples, which needs no clamping.
        if (between >= 0.0 && between < last) {
            const auto i = static_cast<int>(between);
            to[x] = from[i] + (between - i) * (from[i + 1] - from[i]);
            continue;
        }
        const double at = std::clamp(between, 0.0, static_cast<double>(last));
        const int i = std::min(static_cast<int>(at), std::max(0, last - 1));
        const double t = at - i;
        to[x] = i + 1 <= last ? from[i] + t * (from[i + 1] - from[i]) : from[i];
    }
    return full;
}

cv::Point2d mapPoint(const cv::Matx33d& homography, cv::Point2d point)
{
    const cv::Vec3d mapped = homography * cv::Vec3d(point.x, point.y, 1.0);
    return {mapped[0] / mapped[2], mapped[1] / mapped[2]};
}

Quad scaleQuad(const Quad& outline, double factor)
{
    Quad scaled = outline;
    for (cv::Point2d& corner : scaled) {
        corner *= factor;
    }
    return scaled;
}

}  // namespace reader
