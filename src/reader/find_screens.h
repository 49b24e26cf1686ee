#pragma once

#include <opencv2/core.hpp>

#include <vector>

#include "reader/types.h"

namespace reader {

// The photo reduced for finding screens: large enough to show the bar and
// the screens' outlines, small enough to search quickly.
struct ReducedPhoto {
    cv::Mat image;
    double scale = 1.0;  // reduced pixels per photo pixel, 1/n
};

ReducedPhoto reducePhoto(const cv::Mat& photo);

// An outline found on the reduced copy, in the full photo's pixels.
Quad toPhotoPixels(const Quad& reducedOutline, const ReducedPhoto& reduced);

// Outlines, in the image's pixels, of every region coloured like the
// pattern (dark blue with a green bar) that is large and four-sided enough
// to be a screen; largest first. Whether one really shows the pattern is
// for the grid and bar stages to say. Given the mode, screens whose
// background the photo shows black are outlined from their grid band, and
// outlines far wider than the pattern are told apart as bands of a
// screen's rows; sources, when given, says which outline is which.
enum class OutlineSource {
    Colour,    // the region of the pattern's colours, or its pieces joined
    GridBand,  // worked out from the grid band
    LitBand,   // a band of rows, lit across a screen otherwise dark
};
std::vector<Quad> findScreenOutlines(const cv::Mat& image, const Mode* mode = nullptr,
                                     std::vector<OutlineSource>* sources = nullptr);

// How strongly each pixel has the pattern's colours: blue or green above
// red, as a share of its brightness (0..255). The background and the bar
// are high; the thin white lines and the red text fall inside a screen's
// area once its shape is closed.
cv::Mat patternColourShare(const cv::Mat& image);

}  // namespace reader
