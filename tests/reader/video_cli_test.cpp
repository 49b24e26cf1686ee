// The real vesmira-read on videos it must refuse, in part or whole: each
// gets its own error lines naming the file (and the frame), the other
// inputs are still read, and nothing crashes, hangs or grows with the
// video's length.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reader_command.h"
#include "test_images.h"

using json = nlohmann::ordered_json;
using test_images::linesOf;
using test_images::TempDir;

namespace {

std::string frameName(const std::string& file, int frame, double fps)
{
    char text[64];
    (void)std::snprintf(text, sizeof text, " frame %d (%.3f s)", frame, frame / fps);
    return file + text;
}

}  // namespace

TEST(ReaderVideos, BrokenAndForeignVideosGetTheirOwnErrorLines)
{
    const TempDir dir;
    const std::string full = dir.file("full.avi");
    test_images::writeGreyVideo(full, "MJPG", std::vector<int>(30, 128), 30.0, cv::Size(320, 240));
    std::vector<unsigned char> half = test_images::readFile(full);
    half.resize(half.size() / 2);
    const std::string cut = dir.file("cut.avi");
    test_images::writeFile(cut, half);
    const std::string mp4 = dir.file("full.mp4");
    test_images::writeGreyVideo(mp4, "mp4v", std::vector<int>(30, 128), 30.0, cv::Size(320, 240));
    std::vector<unsigned char> cutMp4 = test_images::readFile(mp4);
    cutMp4.resize(cutMp4.size() / 2);
    test_images::writeFile(dir.file("cut.mp4"), cutMp4);
    const std::string text = "this is not a video\n";
    test_images::writeFile(dir.file("text.mp4"), std::vector<unsigned char>(text.begin(), text.end()));
    test_images::writeFile(dir.file("empty.mp4"), {});
    std::filesystem::create_directory(dir.file("folder.mov"));

    const ProcessResult r = runReader({"1024", "768", "60", dir.file("text.mp4"), dir.file("cut.mp4"), cut,
                                       dir.file("empty.mp4"), dir.file("folder.mov")});
    ASSERT_TRUE(r.exited) << "signal " << r.termSignal << (r.timedOut ? ", timed out" : "") << "\n" << r.err;
    EXPECT_EQ(r.exitStatus, 1);
    const std::vector<std::string> errors = linesOf(r.err);
    ASSERT_GE(errors.size(), 6U) << r.err;
    EXPECT_EQ(errors[0], dir.file("text.mp4") +
                             ": error: not an image or a video: no JPEG, PNG or HEIC photo, nor a video that "
                             "FFmpeg can open");
    EXPECT_EQ(errors[1],
              dir.file("cut.mp4") + ": error: damaged, truncated or unsupported video: FFmpeg cannot open it");
    // The frames the cut video still has, each read (here: no screens in
    // grey), then why it ended early.
    std::size_t line = 2;
    int frames = 0;
    while (line < errors.size() && errors[line].rfind(cut + " frame ", 0) == 0) {
        EXPECT_EQ(errors[line], frameName(cut, frames, 30.0) + ": error: found 0 screens showing the pattern, need 2");
        ++frames;
        ++line;
    }
    EXPECT_GT(frames, 5);
    EXPECT_LT(frames, 20);
    ASSERT_EQ(errors.size(), line + 3) << r.err;
    EXPECT_EQ(errors[line], cut + ": error: the video ends after " + std::to_string(frames) +
                                " of the 30 frames its header declares: it is truncated or damaged");
    EXPECT_EQ(errors[line + 1], dir.file("empty.mp4") + ": error: the file is empty");
    EXPECT_EQ(errors[line + 2].rfind(dir.file("folder.mov") + ": error: it is a directory", 0), 0U);
    // Standard output: the same lines, then the summary of all of them.
    EXPECT_NE(r.out.find("\nphotos read: 0, failed: " + std::to_string(errors.size()) + "\n"), std::string::npos)
        << r.out;
}

TEST(ReaderVideos, JsonGivesEachFrameItsNumberAndTime)
{
    const TempDir dir;
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", std::vector<int>(7, 90), 120.0);
    const ProcessResult r = runReader({"--json", "--every", "3", "1024", "768", "60", clip});
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exitStatus, 1);
    const json document = json::parse(r.out);
    const json& photos = document.at("photos");
    ASSERT_EQ(photos.size(), 3U);
    for (std::size_t i = 0; i < photos.size(); ++i) {
        EXPECT_EQ(photos[i].at("file"), clip);
        EXPECT_EQ(photos[i].at("frame"), 3 * i);
        EXPECT_DOUBLE_EQ(photos[i].at("time_s").get<double>(), static_cast<double>(3 * i) / 120.0);
        EXPECT_EQ(photos[i].at("ok"), false);
        EXPECT_EQ(photos[i].size(), 5U) << photos[i].dump();
    }
    EXPECT_EQ(document.at("summary").at("photos_failed"), 3);
    EXPECT_EQ(linesOf(r.err).size(), 3U);
    EXPECT_EQ(linesOf(r.err)[2], frameName(clip, 6, 120.0) + ": error: found 0 screens showing the pattern, need 2");
}

TEST(ReaderVideos, MemoryStaysFlatInTheNumberOfFrames)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
    // 1280x720 frames of six blue, lined rectangles: quick to decode, slow
    // to read (each rectangle is tried as a screen), 2.8 MB each decoded.
    // Decoding ahead of the reading would hold most of the long video's
    // frames, 500 MB; a bounded pipeline adds nothing.
    const TempDir dir;
    const cv::Size size(1280, 720);
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(20));
    for (int k = 0; k < 6; ++k) {
        const cv::Rect rectangle(20 + (k % 3) * 420, 40 + (k / 3) * 340, 380, 280);
        cv::rectangle(frame, rectangle, cv::Scalar(110, 40, 10), cv::FILLED);
        for (int x = rectangle.x; x < rectangle.x + rectangle.width; x += 6) {
            cv::line(frame, {x, rectangle.y}, {x, rectangle.y + rectangle.height}, cv::Scalar::all(255));
        }
    }
    for (const auto& [name, count] : {std::pair{"short.avi", 8}, std::pair{"long.avi", 180}}) {
        cv::VideoWriter writer(dir.file(name), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 240.0,
                               size);
        ASSERT_TRUE(writer.isOpened());
        for (int i = 0; i < count; ++i) {
            writer.write(frame);
        }
    }
    const long peakShort = peakResidentKb({"1024", "768", "60", dir.file("short.avi")});
    const long peakLong = peakResidentKb({"1024", "768", "60", dir.file("long.avi")});
    ASSERT_GT(peakShort, 0);
    ASSERT_GT(peakLong, 0);
    RecordProperty("peak_kb_8_frames", std::to_string(peakShort));
    RecordProperty("peak_kb_180_frames", std::to_string(peakLong));
    EXPECT_LT(peakLong, peakShort + 40L * 1024)
        << "8 frames: " << peakShort << " kB, 180 frames: " << peakLong << " kB";
}

TEST(ReaderCommand, JsonOfReadPhotosFollowsTheContract)
{
    // The sample photos kept for the README: a monitor pair at 60 Hz whose
    // truth is 24.43 ms (doc/samples/truth.txt).
    std::vector<std::string> args = {"--json", "1920", "1080", "60"};
    for (const char* name : {"monitor-pair-60-01.jpg", "monitor-pair-60-02.jpg", "monitor-pair-60-03.jpg"}) {
        args.push_back(std::string(SAMPLES_DIR) + "/" + name);
    }
    const ProcessResult r = runReader(args);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const json document = json::parse(r.out);
    const json& photos = document.at("photos");
    ASSERT_EQ(photos.size(), 3U);
    double sum = 0.0;
    for (const json& photo : photos) {
        std::vector<std::string> keys;
        for (const auto& item : photo.items()) {
            keys.push_back(item.key());
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"file", "ok", "reference_column", "device_column", "lag_frames",
                                                  "lag_ms", "lag_ms_columns", "scan_rows", "coarse", "exposure_ms",
                                                  "screens", "warnings"}));
        EXPECT_TRUE(photo.at("lag_frames").is_number_float());
        const double frames = photo.at("lag_frames").get<double>();
        EXPECT_NEAR(photo.at("lag_ms").get<double>(), frames * 1000.0 / 60.0, 0.01);
        // The columns' reading: whole frames, within one of the sub-frame one.
        const double columns = photo.at("lag_ms_columns").get<double>() * 60.0 / 1000.0;
        EXPECT_NEAR(columns, std::round(columns), 1e-3);
        EXPECT_LT(std::abs(columns - frames), 1.0);
        EXPECT_NEAR(std::round(columns), photo.at("reference_column").get<int>() - photo.at("device_column").get<int>(),
                    1e-9);
        ASSERT_EQ(photo.at("scan_rows").size(), 2U);
        bool anyRowMissing = false;
        for (const json& row : photo.at("scan_rows")) {
            EXPECT_TRUE(row.is_null() || (row.is_number() && row.get<double>() >= 0.0 && row.get<double>() < 1080.0))
                << row;
            anyRowMissing = anyRowMissing || row.is_null();
        }
        // A screen whose scan row was not seen makes the reading coarse.
        EXPECT_TRUE(!anyRowMissing || photo.at("coarse").get<bool>()) << photo.dump();
        sum += photo.at("lag_ms").get<double>();
    }
    const json& summary = document.at("summary");
    EXPECT_NEAR(summary.at("lag_ms_mean").get<double>(), sum / 3.0, 0.01);
    EXPECT_NEAR(summary.at("lag_frames_mean").get<double>(), sum / 3.0 * 60.0 / 1000.0, 0.001);
    EXPECT_NEAR(summary.at("lag_ms_mean").get<double>(), 24.43, 4.0);
}
