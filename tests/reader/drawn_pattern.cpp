#include "drawn_pattern.h"

#include <opencv2/imgproc.hpp>

cv::Mat drawnPattern(const reader::Mode& mode, int barColumn, double barLight)
{
    cv::Mat picture(mode.height, mode.width, CV_8UC3, cv::Scalar(128, 0, 0));
    const int step = mode.columnStep();
    const int top = std::min(reader::GRID_MARGIN, mode.height - reader::GRID_MARGIN);
    const int bottom = std::max(reader::GRID_MARGIN, mode.height - reader::GRID_MARGIN);
    for (int x = 0; x < mode.width; x += step) {
        cv::line(picture, {x, top}, {x, bottom}, cv::Scalar(255, 255, 255));
    }
    if (barColumn >= 0) {
        const cv::Rect bar(barColumn * step, reader::BAR_TOP, step, reader::BAR_BOTTOM - reader::BAR_TOP);
        cv::Mat area = picture(bar & cv::Rect(0, 0, mode.width, mode.height));
        cv::add(area, cv::Scalar(0, 255 * barLight, 0), area);
    }
    return picture;
}

cv::Mat overscanned(const cv::Mat& pattern, double crop)
{
    const int dx = static_cast<int>(pattern.cols * crop);
    const int dy = static_cast<int>(pattern.rows * crop);
    cv::Mat stretched;
    cv::resize(pattern(cv::Rect(dx, dy, pattern.cols - 2 * dx, pattern.rows - 2 * dy)), stretched, pattern.size(), 0.0,
               0.0, cv::INTER_LINEAR);
    return stretched;
}

cv::Matx33d squareOn()
{
    // Photo pixel (u, v) is centred on pattern point (u + 0.5, v + 0.5).
    return {1.0, 0.0, 0.5, 0.0, 1.0, 0.5, 0.0, 0.0, 1.0};
}
