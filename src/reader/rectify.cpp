#include "reader/rectify.h"

#include <opencv2/imgproc.hpp>

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

cv::Mat rectifyRegion(const cv::Mat& photo, const cv::Matx33d& toPattern, const cv::Rect2d& region, cv::Size size)
{
    const double sx = region.width / size.width;
    const double sy = region.height / size.height;
    // Output pixel to pattern point, then pattern point to photo pixel.
    const cv::Matx33d toRegion(sx, 0.0, region.x + 0.5 * sx, 0.0, sy, region.y + 0.5 * sy, 0.0, 0.0, 1.0);
    const cv::Matx33d outputToPhoto = toPattern.inv() * toRegion;
    cv::Mat rectified;
    cv::warpPerspective(photo, rectified, outputToPhoto, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_REPLICATE);
    return rectified;
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
