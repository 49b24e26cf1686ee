#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <ostream>
#include <string>

#include "reader/options.h"
#include "reader/report.h"
#include "reader/types.h"

namespace reader {

// Photos read at once: both cores, and no more than two decoded photos in
// memory.
constexpr unsigned READ_WORKERS = 2;

// The vision stages' entry point; tests put a stand-in here.
using PhotoReader = std::function<PhotoReading(const cv::Mat& photo, const ReadSettings& settings)>;

// One photo's whole processing: load, read, and, when annotationPath is
// not empty, draw and write the annotated picture. Anything that goes
// wrong, OpenCV's exceptions included, becomes this photo's error.
// Never throws.
PhotoResult processPhoto(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                         const PhotoReader& read);

// The whole run: every photo, in parallel, reported in the order given on
// out (plain lines or the JSON document), failures on err, one line each.
// When out and err reach the same place (a terminal, or 2>&1) the plain
// report's error lines are not written twice. Returns the exit status:
// 0 when a photo was read, 1 when none was, 2 when --annotate's directory
// cannot be made.
int runReader(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination,
              const PhotoReader& read);

}  // namespace reader
