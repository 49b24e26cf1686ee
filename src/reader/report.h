#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "reader/series.h"
#include "reader/statistics.h"
#include "reader/types.h"

namespace reader {

// Where a video frame stands in its video.
struct FramePosition {
    // Counted from 0, the video's first frame, whether read or skipped.
    long long index = 0;
    // From the video's start, by the frame's timestamp.
    double timeS = 0.0;
};

// One photo's or video frame's outcome, as the report shows it. A video
// that cannot be opened, or ends early, is one result without a frame.
struct PhotoResult {
    // The path as given on the command line.
    std::string file;
    std::optional<FramePosition> frame;
    PhotoReading reading;
};

// The series so far: what the summary needs, a few bytes per photo. The
// lag is the sub-frame reading.
struct LagSeries {
    int photosRead = 0;
    int photosFailed = 0;
    std::vector<double> lagMs;
    std::vector<double> lagFrames;
    // Of each reading: its place among the results (the JSON's photos,
    // failed ones included), and its video frame number, -1 for a photo.
    std::vector<long long> place;
    std::vector<long long> frame;
    // One result, a photo's or (with its number) a video frame's.
    void add(const PhotoReading& reading, long long videoFrame = -1);
};

// A stretch of steady lag.
struct SegmentSummary {
    // The places of its first and last readings among the results.
    long long first = 0;
    long long last = 0;
    // Their video frame numbers; -1 for photos.
    long long firstFrame = -1;
    long long lastFrame = -1;
    // Of the readings in lagMs: the first, and one past the last.
    std::size_t begin = 0;
    std::size_t end = 0;
    Statistics ms;
};

struct LagSummary {
    int photosRead = 0;
    int photosFailed = 0;
    // None when no photo was read.
    std::optional<Statistics> ms;
    std::optional<Statistics> frames;
    // Where the lag holds still, in order: one when it never changes, none
    // when nothing was read.
    std::vector<SegmentSummary> segments;
    // What the plain report calls the readings a stretch spans: "frames"
    // (numbered as in the video) when all are one video's, "photos" when
    // all are photos, "readings" otherwise; the latter two counted from 1
    // in the order reported.
    std::string segmentUnit;
    // Each screen's light and scan-out, as the series found them, and the
    // lag down the screen.
    std::optional<SeriesFindings> screens;
    LagDownTheScreen down;
};

LagSummary summarize(const LagSeries& series);

// The file name made safe for one line of text: control characters are
// written as escapes, so a name cannot break the one-line-per-photo layout.
std::string oneLine(const std::string& text);

// The photo's line ("IMG_0412.jpg  reference column 17, device column 14:
// 3.27 frames = 54.5 ms (columns: 3 frames = 50.0 ms)", with ", coarse"
// after the ms when a screen's scan row was not seen; or "IMG_0413.jpg:
// error: ..."), then a line per warning ("IMG_0412.jpg: warning: ...").
// A video frame is named "clip.mp4 frame 12 (0.050 s)". Each line ends in
// a newline.
std::string plainPhotoLines(const PhotoResult& result);

// The file's name for the report, and the frame of a video.
std::string resultName(const PhotoResult& result);

// The line for standard error about a photo that was not read; the same
// text as its line on standard output.
std::string errorLine(const PhotoResult& result);

// Photos read and failed, then the mean with its 95 % confidence interval
// and the median, in ms and in frames; when the lag changed, a line per
// segment ("frames 0 to 119: mean 24.4 ms, 95 % interval 24.1 to 24.7 ms")
// and a warning that the mean over all mixes them.
std::string plainSummary(const LagSummary& summary);

// "frames 0 to 119" or "photos 1 to 12", as the plain report names it.
std::string segmentName(const LagSummary& summary, const SegmentSummary& segment);

// A stretch's mean and interval: "mean 24.4 ms, 95 % interval 24.1 to
// 24.7 ms" ("mean 24.4 ms, one reading" for one).
std::string segmentLag(const Statistics& ms);

nlohmann::ordered_json photoJson(const PhotoResult& result);
nlohmann::ordered_json summaryJson(const LagSummary& summary);

// Writes the JSON document a photo at a time, so a long series costs no
// memory: {"photos":[...],"summary":{...}}, one photo per line.
class JsonReportWriter {
public:
    explicit JsonReportWriter(std::ostream& out);
    void add(const PhotoResult& result);
    void finish(const LagSummary& summary);

private:
    std::ostream& output;
    bool anyPhoto = false;
};

// Serialises without throwing on file names that are not UTF-8.
std::string dumpJson(const nlohmann::ordered_json& value);

}  // namespace reader
