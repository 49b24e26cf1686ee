#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

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
    void add(const PhotoReading& reading);
};

struct LagSummary {
    int photosRead = 0;
    int photosFailed = 0;
    // None when no photo was read.
    std::optional<Statistics> ms;
    std::optional<Statistics> frames;
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
// and the median, in ms and in frames.
std::string plainSummary(const LagSummary& summary);

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
