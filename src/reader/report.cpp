#include "reader/report.h"

#include <cmath>
#include <cstdio>

#include "reader/clock.h"
#include "reader/segments.h"

namespace reader {

namespace {

// printf's %.Nf without "-0.0" for values that round to zero.
std::string fixed(double value, int decimals)
{
    char buffer[64];
    (void)std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
}

// Enough decimals for any use and none of binary floating point's noise.
// Dividing by a power of ten gives the double nearest the decimal.
double rounded(double value, double perUnit)
{
    return std::round(value * perUnit) / perUnit;
}

nlohmann::ordered_json quadJson(const Quad& quad)
{
    nlohmann::ordered_json corners = nlohmann::ordered_json::array();
    for (const cv::Point2d& corner : quad) {
        corners.push_back({rounded(corner.x, 100.0), rounded(corner.y, 100.0)});
    }
    return corners;
}

nlohmann::ordered_json optionalNumber(const std::optional<Statistics>& statistics, double Statistics::*field)
{
    if (!statistics) {
        return nullptr;
    }
    return rounded((*statistics).*field, 1000.0);
}

std::string lagText(const std::optional<Statistics>& statistics, const std::string& unit, int decimals)
{
    const std::string suffix = unit.empty() ? "" : " " + unit;
    std::string text = "mean " + fixed(statistics->mean, decimals) + suffix;
    if (statistics->ci95) {
        text += ", 95 % confidence interval " + fixed(statistics->ci95->low, decimals) + " to " +
                fixed(statistics->ci95->high, decimals) + suffix;
    } else {
        text += " (one photo: no confidence interval)";
    }
    return text + ", median " + fixed(statistics->median, decimals) + suffix;
}

}  // namespace

void LagSeries::add(const PhotoReading& reading, long long videoFrame)
{
    const long long placeInReport = photosRead + photosFailed;
    if (!reading.ok) {
        ++photosFailed;
        return;
    }
    ++photosRead;
    lagMs.push_back(reading.subFrameLagMs);
    lagFrames.push_back(reading.subFrameLagFrames);
    place.push_back(placeInReport);
    frame.push_back(videoFrame);
}

LagSummary summarize(const LagSeries& series)
{
    LagSummary summary;
    summary.photosRead = series.photosRead;
    summary.photosFailed = series.photosFailed;
    summary.ms = describe(series.lagMs);
    summary.frames = describe(series.lagFrames);
    for (const Segment& segment : findSegments(series.lagMs)) {
        SegmentSummary stretch;
        stretch.begin = segment.first;
        stretch.end = segment.last + 1;
        stretch.first = series.place[segment.first];
        stretch.last = series.place[segment.last];
        stretch.firstFrame = series.frame[segment.first];
        stretch.lastFrame = series.frame[segment.last];
        const std::vector<double> values(series.lagMs.begin() + static_cast<std::ptrdiff_t>(stretch.begin),
                                         series.lagMs.begin() + static_cast<std::ptrdiff_t>(stretch.end));
        stretch.ms = *describe(values);
        summary.segments.push_back(stretch);
    }
    // Frame numbers that only rise are one video's.
    bool frames = !series.frame.empty();
    bool photos = !series.frame.empty();
    for (std::size_t i = 0; i < series.frame.size(); ++i) {
        frames = frames && series.frame[i] >= 0 && (i == 0 || series.frame[i] > series.frame[i - 1]);
        photos = photos && series.frame[i] < 0;
    }
    summary.segmentUnit = frames ? "frames" : photos ? "photos" : "readings";
    return summary;
}

std::string oneLine(const std::string& text)
{
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            (void)std::snprintf(escape, sizeof escape, "\\x%02X", unsigned{byte});
            line += escape;
        } else {
            line += c;
        }
    }
    return line;
}

std::string resultName(const PhotoResult& result)
{
    std::string name = oneLine(result.file);
    if (result.frame) {
        name += " frame " + std::to_string(result.frame->index) + " (" + fixed(result.frame->timeS, 3) + " s)";
    }
    return name;
}

std::string plainPhotoLines(const PhotoResult& result)
{
    const PhotoReading& reading = result.reading;
    if (!reading.ok) {
        return errorLine(result);
    }
    const std::string name = resultName(result);
    const int columns = reading.lagFrames;
    std::string text = name + "  reference column " + std::to_string(reading.reference.column) + ", device column " +
                       std::to_string(reading.device.column) + ": " + fixed(reading.subFrameLagFrames, 2) +
                       " frames = " + fixed(reading.subFrameLagMs, 1) + " ms" + (reading.coarse ? ", coarse" : "") +
                       " (columns: " + std::to_string(columns) +
                       (columns == 1 || columns == -1 ? " frame" : " frames") + " = " + fixed(reading.lagMs, 1) +
                       " ms)\n";
    for (const std::string& warning : reading.warnings) {
        text += name + ": warning: " + oneLine(warning) + "\n";
    }
    return text;
}

std::string errorLine(const PhotoResult& result)
{
    const std::string reason = result.reading.error.empty() ? "not read" : result.reading.error;
    return resultName(result) + ": error: " + oneLine(reason) + "\n";
}

std::string plainSummary(const LagSummary& summary)
{
    std::string text = "photos read: " + std::to_string(summary.photosRead) +
                       ", failed: " + std::to_string(summary.photosFailed) + "\n";
    if (!summary.ms || !summary.frames) {
        return text + "lag: none, no photo was read\n";
    }
    text += "lag: " + lagText(summary.ms, "ms", 1) + "\n";
    text += "lag in frames: " + lagText(summary.frames, "", 2) + "\n";
    if (summary.segments.size() > 1) {
        for (const SegmentSummary& segment : summary.segments) {
            text += segmentName(summary, segment) + ": " + segmentLag(segment.ms) + "\n";
        }
        text += "warning: the lag changed during the series: the mean over all of it mixes " +
                std::to_string(summary.segments.size()) + " segments of different lag; take each segment's own\n";
    }
    if (summary.screens) {
        for (size_t i = 0; i < summary.screens->screens.size(); ++i) {
            const ScreenFindings& screen = summary.screens->screens[i];
            text += std::string(i == 0 ? "reference: " : "device: ") + lightName(screen.light.kind);
            if (!screen.scanOutMs) {
                text += ", scan-out not measured (too few photos caught its scan in the bar's rows)";
            } else if (*screen.scanOutMs == 0.0) {
                text += ", every row at once";
            } else {
                text += ", scans out in " + fixed(*screen.scanOutMs, 1) + " ms" +
                        (i == 0 ? " (taken as the signal's pace)" : "");
            }
            if (i == 1 && summary.down.top && summary.down.middle && summary.down.bottom) {
                text += "; lag at the top " + fixed(*summary.down.top, 1) + " ms, middle " +
                        fixed(*summary.down.middle, 1) + " ms, bottom " + fixed(*summary.down.bottom, 1) + " ms";
            }
            text += "\n";
        }
    }
    return text;
}

std::string segmentName(const LagSummary& summary, const SegmentSummary& segment)
{
    if (summary.segmentUnit == "frames") {
        return "frames " + std::to_string(segment.firstFrame) + " to " + std::to_string(segment.lastFrame);
    }
    return summary.segmentUnit + " " + std::to_string(segment.first + 1) + " to " + std::to_string(segment.last + 1);
}

std::string segmentLag(const Statistics& ms)
{
    std::string text = "mean " + fixed(ms.mean, 1) + " ms";
    if (!ms.ci95) {
        return text + ", one reading";
    }
    return text + ", 95 % interval " + fixed(ms.ci95->low, 1) + " to " + fixed(ms.ci95->high, 1) + " ms";
}

nlohmann::ordered_json photoJson(const PhotoResult& result)
{
    const PhotoReading& reading = result.reading;
    nlohmann::ordered_json photo = {{"file", result.file}};
    if (result.frame) {
        photo["frame"] = result.frame->index;
        photo["time_s"] = rounded(result.frame->timeS, 1e6);
    }
    photo["ok"] = reading.ok;
    if (!reading.ok) {
        photo["error"] = reading.error.empty() ? "not read" : reading.error;
        return photo;
    }
    const auto scanRow = [](const ScreenReading& screen) -> nlohmann::ordered_json {
        if (!screen.scanRow) {
            return nullptr;
        }
        return rounded(*screen.scanRow, 100.0);
    };
    photo["reference_column"] = reading.reference.column;
    photo["device_column"] = reading.device.column;
    photo["lag_frames"] = rounded(reading.subFrameLagFrames, 1000.0);
    photo["lag_ms"] = rounded(reading.subFrameLagMs, 1000.0);
    photo["lag_ms_columns"] = rounded(reading.lagMs, 1000.0);
    photo["scan_rows"] = {scanRow(reading.reference), scanRow(reading.device)};
    photo["coarse"] = reading.coarse;
    photo["exposure_ms"] = reading.exposureMs ? nlohmann::ordered_json(rounded(*reading.exposureMs, 1e6)) : nullptr;
    photo["screens"] = {quadJson(reading.reference.corners), quadJson(reading.device.corners)};
    photo["warnings"] = reading.warnings;
    return photo;
}

nlohmann::ordered_json summaryJson(const LagSummary& summary)
{
    const auto interval = [](const std::optional<Statistics>& statistics) -> nlohmann::ordered_json {
        if (!statistics || !statistics->ci95) {
            return nullptr;
        }
        return {rounded(statistics->ci95->low, 1000.0), rounded(statistics->ci95->high, 1000.0)};
    };
    nlohmann::ordered_json segments = nlohmann::ordered_json::array();
    for (const SegmentSummary& segment : summary.segments) {
        segments.push_back({{"first", segment.first},
                            {"last", segment.last},
                            {"count", segment.ms.count},
                            {"lag_ms_mean", rounded(segment.ms.mean, 1000.0)},
                            {"lag_ms_median", rounded(segment.ms.median, 1000.0)},
                            {"lag_ms_ci95", interval(segment.ms)}});
    }
    const auto ms = [](const std::optional<double>& value) -> nlohmann::ordered_json {
        return value ? nlohmann::ordered_json(rounded(*value, 1000.0)) : nullptr;
    };
    nlohmann::ordered_json result = {{"photos_read", summary.photosRead},
                                     {"photos_failed", summary.photosFailed},
                                     {"lag_ms_mean", optionalNumber(summary.ms, &Statistics::mean)},
                                     {"lag_ms_median", optionalNumber(summary.ms, &Statistics::median)},
                                     {"lag_ms_ci95", interval(summary.ms)},
                                     {"lag_frames_mean", optionalNumber(summary.frames, &Statistics::mean)},
                                     {"segments", segments},
                                     {"lag_ms_top", ms(summary.down.top)},
                                     {"lag_ms_middle", ms(summary.down.middle)},
                                     {"lag_ms_bottom", ms(summary.down.bottom)}};
    result["screens"] = nullptr;
    if (summary.screens) {
        const auto screen = [&ms](const ScreenFindings& found) {
            return nlohmann::ordered_json{{"light", lightName(found.light.kind)}, {"scan_out_ms", ms(found.scanOutMs)}};
        };
        result["screens"] = {{"reference", screen(summary.screens->screens[0])},
                             {"device", screen(summary.screens->screens[1])}};
    }
    return result;
}

JsonReportWriter::JsonReportWriter(std::ostream& out) : output(out) {}

void JsonReportWriter::add(const PhotoResult& result)
{
    output << (anyPhoto ? ",\n" : "{\"photos\":[\n") << dumpJson(photoJson(result));
    anyPhoto = true;
}

void JsonReportWriter::finish(const LagSummary& summary)
{
    output << (anyPhoto ? "\n],\n" : "{\"photos\":[],\n") << "\"summary\":" << dumpJson(summaryJson(summary)) << "}\n";
    output.flush();
}

std::string dumpJson(const nlohmann::ordered_json& value)
{
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace reader
