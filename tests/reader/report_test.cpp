#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "reader/report.h"

using json = nlohmann::ordered_json;
using reader::PhotoReading;
using reader::PhotoResult;

namespace {

// A read photo whose sub-frame lag is its whole-column lag plus `part` of a
// frame, at 60 Hz.
PhotoResult readPhoto(const std::string& file, int referenceColumn, int deviceColumn, int lagFrames, double lagMs,
                      double part = 0.0)
{
    PhotoResult result;
    result.file = file;
    PhotoReading& r = result.reading;
    r.ok = true;
    r.reference.column = referenceColumn;
    r.device.column = deviceColumn;
    r.reference.corners = {cv::Point2d(10.004, 20), cv::Point2d(110, 22.5), cv::Point2d(108, 90), cv::Point2d(12, 88)};
    r.device.corners = {cv::Point2d(210, 20), cv::Point2d(310, 21), cv::Point2d(309, 91), cv::Point2d(211, 89.126)};
    r.reference.scanRow = 402.456;
    r.reference.coarse = false;
    r.device.coarse = false;
    r.device.scanRow = 17.0;
    r.lagFrames = lagFrames;
    r.lagMs = lagMs;
    r.subFrameLagFrames = lagFrames + part;
    r.subFrameLagMs = lagMs + part * 1000.0 / 60.0;
    r.coarse = false;
    return result;
}

PhotoResult failedPhoto(const std::string& file, const std::string& error)
{
    PhotoResult result;
    result.file = file;
    result.reading.error = error;
    return result;
}

std::set<std::string> keysOf(const json& object)
{
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

reader::LagSummary summaryOf(const std::vector<PhotoResult>& results)
{
    reader::LagSeries series;
    for (const PhotoResult& r : results) {
        series.add(r.reading);
    }
    return reader::summarize(series);
}

}  // namespace

TEST(PlainReport, OnePhotoLineGivesTheSubFrameLagAndTheColumns)
{
    EXPECT_EQ(reader::plainPhotoLines(readPhoto("IMG_0412.jpg", 17, 14, 3, 50.0, 0.27)),
              "IMG_0412.jpg  reference column 17, device column 14: 3.27 frames = 54.5 ms (columns: 3 frames = 50.0 "
              "ms)\n");
    // The sub-frame reading may cross into the next whole frame, either way.
    EXPECT_EQ(reader::plainPhotoLines(readPhoto("a/b.png", 59, 58, 1, 1000.0 / 60, -0.4)),
              "a/b.png  reference column 59, device column 58: 0.60 frames = 10.0 ms (columns: 1 frame = 16.7 ms)\n");
    // Device ahead of the reference: a negative lag.
    EXPECT_EQ(reader::plainPhotoLines(readPhoto("c.jpg", 0, 2, -2, -2000.0 / 60, -0.125)),
              "c.jpg  reference column 0, device column 2: -2.12 frames = -35.4 ms (columns: -2 frames = -33.3 ms)\n");
    EXPECT_EQ(reader::plainPhotoLines(readPhoto("d.jpg", 5, 5, 0, 0.0, -0.001)),
              "d.jpg  reference column 5, device column 5: 0.00 frames = 0.0 ms (columns: 0 frames = 0.0 ms)\n");
}

TEST(PlainReport, ACoarseReadingIsMarked)
{
    PhotoResult result = readPhoto("IMG_0412.jpg", 17, 14, 3, 50.0, 0.5);
    result.reading.coarse = true;
    EXPECT_EQ(reader::plainPhotoLines(result),
              "IMG_0412.jpg  reference column 17, device column 14: 3.50 frames = 58.3 ms, coarse (columns: 3 frames = "
              "50.0 ms)\n");
}

TEST(PlainReport, AVideoFrameIsNamedByItsNumberAndTime)
{
    PhotoResult result = readPhoto("clip.mp4", 17, 14, 3, 50.0, 0.27);
    result.frame = reader::FramePosition{12, 0.05};
    result.reading.warnings = {"w"};
    EXPECT_EQ(reader::plainPhotoLines(result),
              "clip.mp4 frame 12 (0.050 s)  reference column 17, device column 14: 3.27 frames = 54.5 ms (columns: 3 "
              "frames = 50.0 ms)\n"
              "clip.mp4 frame 12 (0.050 s): warning: w\n");
    PhotoResult failed = failedPhoto("clip.mp4", "found 1 screen showing the pattern, need 2");
    failed.frame = reader::FramePosition{1234567, 5144.0289};
    EXPECT_EQ(reader::errorLine(failed),
              "clip.mp4 frame 1234567 (5144.029 s): error: found 1 screen showing the pattern, need 2\n");
    EXPECT_EQ(reader::plainPhotoLines(failed), reader::errorLine(failed));
}

TEST(PlainReport, WarningsFollowTheirPhotoOneLineEach)
{
    PhotoResult result = readPhoto("IMG_1.jpg", 17, 14, 3, 50.0);
    result.reading.warnings = {"the device's bar shows in columns 14 and 15; read 15",
                               "about 3 % of the picture cut off on each side"};
    EXPECT_EQ(reader::plainPhotoLines(result),
              "IMG_1.jpg  reference column 17, device column 14: 3.00 frames = 50.0 ms (columns: 3 frames = 50.0 ms)\n"
              "IMG_1.jpg: warning: the device's bar shows in columns 14 and 15; read 15\n"
              "IMG_1.jpg: warning: about 3 % of the picture cut off on each side\n");
}

TEST(PlainReport, AFailedPhotoIsOneErrorLineNamingTheFile)
{
    const PhotoResult failed = failedPhoto("IMG_0413.jpg", "found 1 screen showing the pattern, need 2");
    EXPECT_EQ(reader::plainPhotoLines(failed), "IMG_0413.jpg: error: found 1 screen showing the pattern, need 2\n");
    EXPECT_EQ(reader::errorLine(failed), reader::plainPhotoLines(failed));
    // A failure without a reason still says something.
    EXPECT_EQ(reader::errorLine(failedPhoto("x.jpg", "")), "x.jpg: error: not read\n");
}

TEST(PlainReport, FileNamesCannotBreakTheLines)
{
    const std::string line = reader::errorLine(failedPhoto("two\nlines\t\x1b[31m.jpg", "no such\nfile"));
    EXPECT_EQ(line, "two\\nlines\\t\\x1B[31m.jpg: error: no such\\nfile\n");
    // UTF-8 names stay readable.
    EXPECT_EQ(reader::oneLine("Foto_ä.jpg"), "Foto_ä.jpg");
}

TEST(PlainReport, SummaryGivesCountsMeanIntervalAndMedian)
{
    const reader::LagSummary summary =
        summaryOf({readPhoto("a", 17, 14, 3, 50.0, 0.25), readPhoto("b", 17, 15, 2, 100.0 / 3, 0.25),
                   failedPhoto("c", "no such file"), readPhoto("d", 17, 13, 4, 200.0 / 3, 0.25)});
    // Of the sub-frame readings: mean 3.25 frames, s = 1, t(0.975, 2) =
    // 4.3027: 3.25 -+ 2.484 frames.
    EXPECT_EQ(reader::plainSummary(summary),
              "photos read: 3, failed: 1\n"
              "lag: mean 54.2 ms, 95 % confidence interval 12.8 to 95.6 ms, median 54.2 ms\n"
              "lag in frames: mean 3.25, 95 % confidence interval 0.77 to 5.73, median 3.25\n");
}

// Twelve photos three frames behind, one not read, twelve six frames
// behind; each with a little scatter.
std::vector<PhotoResult> photosWithALagChange()
{
    std::vector<PhotoResult> results;
    for (int i = 0; i < 25; ++i) {
        const int frames = i < 12 ? 3 : 6;
        const double part = 0.05 * (i % 3 - 1);
        results.push_back(i == 12
                              ? failedPhoto("m", "x")
                              : readPhoto(std::to_string(i), 20, 20 - frames, frames, frames * 1000.0 / 60.0, part));
    }
    return results;
}

TEST(PlainReport, ALagChangeGivesEachSegmentAndAWarning)
{
    const std::string text = reader::plainSummary(summaryOf(photosWithALagChange()));
    // The photos counted from 1 as given, the one not read among them.
    EXPECT_NE(text.find("\nphotos 1 to 12: mean 50.0 ms, 95 % interval 49.5 to 50.5 ms\n"
                        "photos 14 to 25: mean 100.0 ms, 95 % interval 99.5 to 100.5 ms\n"
                        "warning: the lag changed during the series: the mean over all of it mixes 2 segments"),
              std::string::npos)
        << text;
    // A steady series has none of that.
    EXPECT_EQ(reader::plainSummary(
                  summaryOf({readPhoto("a", 17, 14, 3, 50.0, 0.25), readPhoto("b", 17, 15, 2, 100.0 / 3, 0.25)}))
                  .find("photos 1 to 2"),
              std::string::npos);
}

TEST(PlainReport, SummaryOfOnePhotoOrNone)
{
    EXPECT_EQ(reader::plainSummary(summaryOf({readPhoto("a", 17, 14, 3, 50.0)})),
              "photos read: 1, failed: 0\n"
              "lag: mean 50.0 ms (one photo: no confidence interval), median 50.0 ms\n"
              "lag in frames: mean 3.00 (one photo: no confidence interval), median 3.00\n");
    EXPECT_EQ(reader::plainSummary(summaryOf({failedPhoto("a", "x"), failedPhoto("b", "y")})),
              "photos read: 0, failed: 2\n"
              "lag: none, no photo was read\n");
}

TEST(JsonReport, AReadPhotoHasExactlyTheContractsFields)
{
    PhotoResult result = readPhoto("dir/IMG_0412.jpg", 17, 14, 3, 50.0, 0.2716);
    result.reading.warnings = {"w1"};
    const json photo = reader::photoJson(result);
    EXPECT_EQ(keysOf(photo),
              (std::set<std::string>{"file", "ok", "reference_column", "device_column", "lag_frames", "lag_ms",
                                     "lag_ms_columns", "scan_rows", "coarse", "exposure_ms", "screens", "warnings"}));
    EXPECT_EQ(photo["file"], "dir/IMG_0412.jpg");
    EXPECT_EQ(photo["ok"], true);
    EXPECT_EQ(photo["reference_column"], 17);
    EXPECT_EQ(photo["device_column"], 14);
    // The sub-frame reading, to a thousandth; the columns' reading beside it.
    EXPECT_TRUE(photo["lag_frames"].is_number_float());
    EXPECT_DOUBLE_EQ(photo["lag_frames"].get<double>(), 3.272);
    EXPECT_DOUBLE_EQ(photo["lag_ms"].get<double>(), 54.527);
    EXPECT_DOUBLE_EQ(photo["lag_ms_columns"].get<double>(), 50.0);
    EXPECT_EQ(photo["coarse"], false);
    EXPECT_EQ(photo["scan_rows"], json::array({402.46, 17.0}));
    EXPECT_EQ(photo["warnings"], json::array({"w1"}));

    // Two screens, reference first, four [x, y] corners each from the top left.
    const json& screens = photo["screens"];
    ASSERT_EQ(screens.size(), 2U);
    ASSERT_EQ(screens[0].size(), 4U);
    ASSERT_EQ(screens[1].size(), 4U);
    EXPECT_EQ(screens[0][0], json::array({10.0, 20.0}));
    EXPECT_EQ(screens[0][1], json::array({110.0, 22.5}));
    EXPECT_EQ(screens[1][0], json::array({210.0, 20.0}));
    EXPECT_EQ(screens[1][3], json::array({211.0, 89.13}));

    // No warnings is an empty list, not a missing field.
    EXPECT_EQ(reader::photoJson(readPhoto("x", 1, 1, 0, 0.0))["warnings"], json::array());
}

TEST(JsonReport, ACoarseReadingSaysWhichScanRowsWereNotSeen)
{
    PhotoResult result = readPhoto("p.jpg", 17, 14, 3, 50.0, 0.5);
    result.reading.device.scanRow.reset();
    result.reading.device.coarse = true;
    result.reading.coarse = true;
    const json photo = reader::photoJson(result);
    EXPECT_EQ(photo["coarse"], true);
    EXPECT_EQ(photo["scan_rows"], json::array({402.46, nullptr}));
    // A whole number of frames is still a decimal number.
    EXPECT_EQ(reader::dumpJson(reader::photoJson(readPhoto("q.jpg", 17, 14, 3, 50.0))["lag_frames"]), "3.0");
}

TEST(JsonReport, AVideoFrameHasItsNumberAndTime)
{
    PhotoResult result = readPhoto("clip.mp4", 17, 14, 3, 50.0, 0.25);
    result.frame = reader::FramePosition{12, 0.0500000004};
    const json photo = reader::photoJson(result);
    EXPECT_EQ(photo.size(), 14U) << photo.dump();
    EXPECT_EQ(photo.begin().key(), "file");
    EXPECT_EQ(photo["frame"], 12);
    EXPECT_DOUBLE_EQ(photo["time_s"].get<double>(), 0.05);
    EXPECT_DOUBLE_EQ(photo["lag_frames"].get<double>(), 3.25);

    PhotoResult failed = failedPhoto("clip.mp4", "found 1 screen showing the pattern, need 2");
    failed.frame = reader::FramePosition{13, 0.0541667};
    EXPECT_EQ(keysOf(reader::photoJson(failed)), (std::set<std::string>{"file", "frame", "time_s", "ok", "error"}));
    EXPECT_EQ(reader::photoJson(failed)["frame"], 13);
}

TEST(JsonReport, AFailedPhotoHasFileOkAndError)
{
    const json photo = reader::photoJson(failedPhoto("IMG_0413.jpg", "found 1 screen showing the pattern, need 2"));
    EXPECT_EQ(keysOf(photo), (std::set<std::string>{"file", "ok", "error"}));
    EXPECT_EQ(photo["ok"], false);
    EXPECT_EQ(photo["error"], "found 1 screen showing the pattern, need 2");
}

TEST(JsonReport, SummaryFieldsAndTheirNulls)
{
    const std::set<std::string> fields = {"photos_read",   "photos_failed",   "lag_ms_mean", "lag_ms_median",
                                          "lag_ms_ci95",   "lag_frames_mean", "segments",    "lag_ms_top",
                                          "lag_ms_middle", "lag_ms_bottom",   "screens"};

    // Of the sub-frame readings: half a frame less than the columns say.
    const json several = reader::summaryJson(
        summaryOf({readPhoto("a", 17, 14, 3, 50.0, -0.5), readPhoto("b", 17, 15, 2, 100.0 / 3, -0.5),
                   readPhoto("d", 17, 13, 4, 200.0 / 3, -0.5), failedPhoto("c", "x")}));
    EXPECT_EQ(keysOf(several), fields);
    EXPECT_EQ(several["photos_read"], 3);
    EXPECT_EQ(several["photos_failed"], 1);
    EXPECT_DOUBLE_EQ(several["lag_ms_mean"].get<double>(), 41.667);
    EXPECT_DOUBLE_EQ(several["lag_ms_median"].get<double>(), 41.667);
    EXPECT_DOUBLE_EQ(several["lag_frames_mean"].get<double>(), 2.5);
    ASSERT_EQ(several["lag_ms_ci95"].size(), 2U);
    // 41.667 -+ 4.302653 * 16.6667 / sqrt(3), to the microsecond.
    EXPECT_DOUBLE_EQ(several["lag_ms_ci95"][0].get<double>(), 0.264);
    EXPECT_DOUBLE_EQ(several["lag_ms_ci95"][1].get<double>(), 83.069);
    // One segment, the whole series, first and last counted in photos.
    EXPECT_EQ(several["segments"].dump(),
              R"([{"first":0,"last":2,"count":3,"lag_ms_mean":41.667,"lag_ms_median":41.667,)"
              R"("lag_ms_ci95":[0.264,83.069]}])");

    const json one = reader::summaryJson(summaryOf({readPhoto("a", 17, 14, 3, 50.0)}));
    EXPECT_EQ(keysOf(one), fields);
    EXPECT_DOUBLE_EQ(one["lag_ms_mean"].get<double>(), 50.0);
    EXPECT_TRUE(one["lag_ms_ci95"].is_null());

    const json none = reader::summaryJson(summaryOf({failedPhoto("a", "x")}));
    EXPECT_EQ(keysOf(none), fields);
    EXPECT_EQ(none["photos_read"], 0);
    EXPECT_EQ(none["photos_failed"], 1);
    for (const char* field : {"lag_ms_mean", "lag_ms_median", "lag_ms_ci95", "lag_frames_mean"}) {
        EXPECT_TRUE(none[field].is_null()) << field;
    }
    EXPECT_EQ(none["segments"], json::array());

    // Where the lag changed: the places of the photos, the failed one
    // between the two segments counted too.
    const json changed = reader::summaryJson(summaryOf(photosWithALagChange()));
    ASSERT_EQ(changed["segments"].size(), 2U) << changed.dump();
    EXPECT_EQ(changed["segments"][0]["first"], 0);
    EXPECT_EQ(changed["segments"][0]["last"], 11);
    EXPECT_EQ(changed["segments"][1]["first"], 13);
    EXPECT_EQ(changed["segments"][1]["last"], 24);
    EXPECT_EQ(changed["segments"][1]["count"], 12);
    EXPECT_DOUBLE_EQ(changed["segments"][1]["lag_ms_mean"].get<double>(), 100.0);
}

TEST(JsonReport, TheStreamedDocumentParsesWithAnyNumberOfPhotos)
{
    for (std::size_t count : {0U, 1U, 3U}) {
        std::ostringstream out;
        reader::JsonReportWriter writer(out);
        std::vector<PhotoResult> results;
        for (std::size_t i = 0; i < count; ++i) {
            results.push_back(i % 2 == 0 ? readPhoto("p" + std::to_string(i), 10, 9, 1, 12.5)
                                         : failedPhoto("p" + std::to_string(i), "bad"));
            writer.add(results.back());
        }
        writer.finish(summaryOf(results));
        const json document = json::parse(out.str());
        EXPECT_EQ(keysOf(document), (std::set<std::string>{"photos", "summary"}));
        ASSERT_EQ(document["photos"].size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(document["photos"][i]["file"], "p" + std::to_string(i));
        }
        EXPECT_EQ(document["summary"]["photos_read"], (count + 1) / 2);
    }
}

TEST(JsonReport, NamesThatAreNotUtf8StillGiveValidJson)
{
    std::ostringstream out;
    reader::JsonReportWriter writer(out);
    writer.add(failedPhoto("bad\xff\xfename.jpg", "no such file"));
    writer.finish(summaryOf({}));
    const json document = json::parse(out.str());
    EXPECT_EQ(document["photos"][0]["file"], "bad\xEF\xBF\xBD\xEF\xBF\xBDname.jpg");
}
