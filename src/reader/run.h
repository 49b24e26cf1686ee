#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <atomic>
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
// A video's frames read at once, besides the thread that decodes them.
constexpr unsigned VIDEO_READ_WORKERS = 2;
// Of a video, the failed frames that get an annotated picture (besides its
// first frame): enough to see why, not thousands for a long bad stretch.
constexpr int MOST_ANNOTATED_FAILED_FRAMES = 10;

// The vision stages' entry point; tests put a stand-in here. knownScreens:
// where a video's earlier frame showed the screens, or none.
using PhotoReader =
    std::function<PhotoReading(const cv::Mat& photo, const ReadSettings& settings, const KnownScreens* knownScreens)>;

// One photo's whole processing: load, read, and, when annotationPath is
// not empty, draw and write the annotated picture. Anything that goes
// wrong, OpenCV's exceptions included, becomes this photo's error.
// Never throws.
PhotoResult processPhoto(const std::string& file, const ReadSettings& settings, const std::string& annotationPath,
                         const PhotoReader& read);

// The warning a reading of stacked screens gets when the camera's readout
// time is not known; empty when it needs none.
std::string rollingShutterWarning(const ReadSettings& settings);

// The whole run: every photo in parallel, every video frame by frame (its
// frames decoded on one thread and read on others, the screens tracked
// from frame to frame), reported in the order given on out (plain lines or
// the JSON document), failures on err, one line each; then, with --plot,
// the picture of the series. When out and err reach the same place (a
// terminal, or 2>&1) the plain report's error lines are not written twice.
// Returns the exit status: 0 when a photo or frame was read, 1 when none
// was or the plot could not be written, 2 when --annotate's directory
// cannot be made or --plot's file cannot be written at all.
int runReader(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination,
              const PhotoReader& read);

// The run of --live: the source's frames as they come, read as a video's
// are, a line a second of how many came and the lag since it last changed,
// until *stop is set (by a signal), the stream ends, or it sends nothing
// for LIVE_TIMEOUT_MS; then the summary as runReader gives it, and the plot.
// Returns 1, after an error line, when the source cannot be opened (nothing
// else is printed) or stopped sending; otherwise as runReader.
int runLive(const Options& options, std::ostream& out, std::ostream& err, bool sameDestination, const PhotoReader& read,
            const std::atomic<bool>* stop);

}  // namespace reader
