#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "reader/types.h"

namespace reader {

// Draws what was read onto the photo, in place: each screen found outlined
// and labelled (reference / device, with its bar column), the grid lines
// found, the bar's column outlined, and at the top the lag, or the error,
// and the warnings. Screens not found (corners enclosing no area, or far
// outside the photo) are left out, so a failed reading shows what is known.
void drawAnnotation(cv::Mat* photo, const PhotoReading& reading, const ReadSettings& settings);

// For each photo, the path of its annotated picture in dir: the photo's
// name without extension, then "-annotated.jpg". Photos of the same name
// get "-annotated-2.jpg", "-annotated-3.jpg"..., and no path is ever one of
// the photos themselves.
std::vector<std::string> annotationPaths(const std::vector<std::string>& photos, const std::string& dir);

// A path as the file system resolves it (links, "..", "."), so that two
// names of one file compare equal; as written, tidied, where it cannot be.
std::string canonicalPath(const std::string& path);

// Creates dir (and its parents) if it does not exist. An error sentence,
// or empty.
std::string prepareAnnotationDir(const std::string& dir);

// Encodes the picture as JPEG and writes it to path, leaving no partial
// file behind. An error sentence, or empty. Never throws.
std::string writeJpeg(const cv::Mat& image, const std::string& path);

}  // namespace reader
