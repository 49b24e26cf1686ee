#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace reader {

// A stretch of steady lag: readings begin to end - 1, drawn in a colour of
// their own with their mean and its interval over their own stretch.
struct PlotSegment {
    std::size_t begin = 0;
    std::size_t end = 0;
    double meanMs = 0.0;
    bool hasInterval = false;
    double ciLowMs = 0.0;
    double ciHighMs = 0.0;
    // What its legend entry calls it, e.g. "frames 0 to 179".
    std::string name;
};

// What the picture of a series shows: every reading over its index, the
// mean with its 95 % interval (of each segment, when the lag changed), and
// a histogram of the readings.
struct PlotSeries {
    // Above the picture, e.g. "Display lag: 24 photos at 60 Hz".
    std::string title;
    // The horizontal axis's title, e.g. "photo" or "video time (s)".
    std::string indexLabel = "photo";
    // Where each reading stands on the horizontal axis (photo number, video
    // frame number or time); empty: 1, 2, 3, ...
    std::vector<double> index;
    // The readings in order.
    std::vector<double> lagMs;
    double meanMs = 0.0;
    // The 95 % interval of the mean; drawn as a band when there is one.
    bool hasInterval = false;
    double ciLowMs = 0.0;
    double ciHighMs = 0.0;
    // One frame at the pattern's rate, 0 when unknown. Whole-frame readings
    // then sit in the middle of the histogram's bins, not on their edges.
    double frameMs = 0.0;
    // Where the lag holds still, in order, together covering every reading;
    // empty: one, the whole series, with the mean and interval above.
    std::vector<PlotSegment> segments;
};

// Writes the picture of the series to path: a PNG or an SVG, by its
// extension (either case). Returns an empty string on success, otherwise a
// sentence that names the file and the reason; nothing is written to
// standard output, and only a broken PLplot installation makes PLplot
// itself print (on standard error). A series without readings is an error,
// as are readings that are not finite or beyond +-1e12 ms. The PNG needs
// PLplot's cairo driver (Debian: plplot-driver-cairo); the SVG does not.
//
// PLplot keeps its state in globals and ends the process on a fatal error
// unless its handler never returns: call this from one thread only, the
// main thread, never from two at once. It may be called any number of times.
std::string writePlot(const std::string& path, const PlotSeries& series);

// The histogram's bins: bin k holds the readings in
// [start + k * width, start + (k + 1) * width).
struct HistogramBins {
    double start = 0.0;
    double width = 1.0;
    std::vector<int> counts;
};

// Bins for the readings (finite ones within +-1e12 ms; others are left
// out): about Freedman-Diaconis wide, at most about a hundred of them. With
// frameMs given, bins are a whole fraction or an odd multiple of a frame, so
// that whole frames fall in the middle of their bins. With the starts of
// the segments of steady lag (the first 0), the width is set by the
// scatter within them, about each one's median: a change of lag does not
// widen the bins until each level is a single bar.
HistogramBins histogramBins(const std::vector<double>& lagMs, double frameMs,
                            const std::vector<std::size_t>& segmentStarts = {});

}  // namespace reader
