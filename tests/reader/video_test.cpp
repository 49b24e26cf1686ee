// Videos as the reader takes them: what counts as one, its frames in
// order, every n-th, the damaged ones; and a whole run over videos with a
// stand-in for the vision stages that reads each frame's grey level.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "reader/in_order.h"
#include "reader/run.h"
#include "reader/video_input.h"
#include "run_harness.h"
#include "test_images.h"

using json = nlohmann::ordered_json;
using reader::InputKind;
using reader::PhotoReading;
using reader::ReadSettings;
using reader::VideoFrame;
using reader::VideoSource;
using test_images::TempDir;

namespace {

// Levels 20, 40, ... 20 * count.
std::vector<int> steps(int count)
{
    std::vector<int> levels;
    for (int i = 1; i <= count; ++i) {
        levels.push_back(20 * i % 240);
    }
    return levels;
}

int levelOf(const cv::Mat& frame)
{
    return static_cast<int>(std::lround(cv::mean(frame)[0]));
}

std::vector<VideoFrame> allFrames(VideoSource* source)
{
    std::vector<VideoFrame> frames;
    VideoFrame frame;
    while (source->next(&frame)) {
        EXPECT_TRUE(reader::frameToBgr(&frame));
        frames.push_back(std::move(frame));
        frame = VideoFrame{};
    }
    return frames;
}

std::vector<unsigned char> truncated(const std::string& path, double share)
{
    std::vector<unsigned char> bytes = test_images::readFile(path);
    bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * share));
    return bytes;
}

class VideoInput : public testing::Test {
protected:
    static void SetUpTestSuite() { reader::configureVideoInput(); }
    TempDir dir;
};

}  // namespace

TEST_F(VideoInput, PhotosByTheirBytesEverythingElseIsAVideoToTry)
{
    const std::string jpeg = dir.file("frame.mp4");  // a JPEG, whatever its name
    test_images::writeFile(jpeg, test_images::encode(test_images::noise(8, 8, 1), ".jpg"));
    const std::string png = dir.file("p.avi");
    test_images::writeFile(png, test_images::encode(test_images::noise(8, 8, 2), ".png"));
    const std::string avi = dir.file("clip.jpg");  // a video, whatever its name
    test_images::writeGreyVideo(dir.file("clip.avi"), "MJPG", {10, 20}, 30.0);
    std::filesystem::rename(dir.file("clip.avi"), avi);
    const std::string text = dir.file("notes.jpg");
    test_images::writeFile(text, {'h', 'i', '\n'});
    const std::string stream = dir.file("stream.MJPEG");
    test_images::writeFile(stream, test_images::encode(test_images::noise(8, 8, 3), ".jpg"));
    test_images::writeFile(dir.file("empty.mp4"), {});
    std::filesystem::create_directory(dir.file("folder.mp4"));

    EXPECT_EQ(reader::classifyInput(jpeg), InputKind::Photo);
    EXPECT_EQ(reader::classifyInput(png), InputKind::Photo);
    EXPECT_EQ(reader::classifyInput(avi), InputKind::Video);
    EXPECT_EQ(reader::classifyInput(text), InputKind::Video);
    EXPECT_EQ(reader::classifyInput(stream), InputKind::Video);
    // What cannot be read at all is left to the photo's loading to explain.
    EXPECT_EQ(reader::classifyInput(dir.file("empty.mp4")), InputKind::Photo);
    EXPECT_EQ(reader::classifyInput(dir.file("folder.mp4")), InputKind::Photo);
    EXPECT_EQ(reader::classifyInput(dir.file("missing.mp4")), InputKind::Photo);
}

TEST_F(VideoInput, FramesInOrderWithTheirNumbersAndTimes)
{
    for (const char* name : {"clip.avi", "clip.mp4"}) {
        const std::string path = dir.file(name);
        test_images::writeGreyVideo(path, name == std::string("clip.avi") ? "MJPG" : "mp4v", steps(10), 240.0);
        VideoSource source(path, 1);
        ASSERT_EQ(source.error(), "") << name;
        EXPECT_DOUBLE_EQ(source.fps(), 240.0);
        const std::vector<VideoFrame> frames = allFrames(&source);
        EXPECT_EQ(source.error(), "") << name;
        ASSERT_EQ(frames.size(), 10U) << name;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].index, static_cast<long long>(i)) << name;
            EXPECT_NEAR(frames[i].timeS, static_cast<double>(i) / 240.0, 1e-6) << name;
            ASSERT_EQ(frames[i].image.type(), CV_8UC3) << name;
            EXPECT_EQ(frames[i].image.size(), cv::Size(64, 48)) << name;
            // The codecs' colour conversions shift grey a little.
            EXPECT_NEAR(levelOf(frames[i].image), 20 * (static_cast<int>(i) + 1), 6) << name;
        }
    }
}

TEST_F(VideoInput, EveryNthFrameFromTheFirst)
{
    const std::string path = dir.file("clip.avi");
    test_images::writeGreyVideo(path, "MJPG", steps(11), 100.0);
    for (const int every : {1, 3, 5, 11, 50}) {
        VideoSource source(path, every);
        const std::vector<VideoFrame> frames = allFrames(&source);
        EXPECT_EQ(source.error(), "") << every;
        ASSERT_EQ(frames.size(), static_cast<std::size_t>((11 + every - 1) / every)) << every;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const long long index = static_cast<long long>(i) * every;
            EXPECT_EQ(frames[i].index, index) << every;
            EXPECT_NEAR(frames[i].timeS, static_cast<double>(index) / 100.0, 1e-6) << every;
            EXPECT_NEAR(levelOf(frames[i].image), static_cast<double>(20 * (index + 1) % 240), 6) << every;
        }
    }
}

TEST_F(VideoInput, DamagedAndForeignFilesAreRefusedWithTheirReason)
{
    const std::string avi = dir.file("clip.avi");
    test_images::writeGreyVideo(avi, "MJPG", steps(30), 30.0, cv::Size(320, 240));
    const std::string mp4 = dir.file("clip.mp4");
    test_images::writeGreyVideo(mp4, "mp4v", steps(30), 30.0, cv::Size(320, 240));

    // An AVI cut short opens, gives the frames it has, then says so.
    test_images::writeFile(dir.file("cut.avi"), truncated(avi, 0.5));
    VideoSource cut(dir.file("cut.avi"), 1);
    ASSERT_EQ(cut.error(), "");
    const std::vector<VideoFrame> frames = allFrames(&cut);
    EXPECT_GT(frames.size(), 5U);
    EXPECT_LT(frames.size(), 20U);
    EXPECT_EQ(cut.error(), "the video ends after " + std::to_string(frames.size()) +
                               " of the 30 frames its header declares: it is truncated or damaged");

    // An MP4 cut short has lost its index, written last: it does not open.
    test_images::writeFile(dir.file("cut.mp4"), truncated(mp4, 0.5));
    VideoSource cutMp4(dir.file("cut.mp4"), 1);
    EXPECT_EQ(cutMp4.error(), "damaged, truncated or unsupported video: FFmpeg cannot open it");
    VideoFrame frame;
    EXPECT_FALSE(cutMp4.next(&frame));

    // Only its header.
    std::vector<unsigned char> header = test_images::readFile(avi);
    header.resize(200);
    test_images::writeFile(dir.file("head.avi"), header);
    VideoSource head(dir.file("head.avi"), 1);
    EXPECT_FALSE(head.next(&frame));
    EXPECT_NE(head.error(), "");

    // Text, whatever its name; FFmpeg would show a .txt as a video of its
    // characters, and follow a playlist's links.
    std::string words;
    for (int i = 0; i < 100; ++i) {
        words += "line " + std::to_string(i) + ": this is not a video\n";
    }
    for (const char* name : {"notes.mp4", "notes.txt", "list.m3u8"}) {
        const std::string text = std::string(name) == "list.m3u8" ? "#EXTM3U\n#EXTINF:1,\nclip.avi\n" : words;
        test_images::writeFile(dir.file(name), std::vector<unsigned char>(text.begin(), text.end()));
        VideoSource source(dir.file(name), 1);
        EXPECT_EQ(source.error(),
                  "not an image or a video: no JPEG, PNG or HEIC photo, nor a video that FFmpeg can open")
            << name;
        EXPECT_FALSE(source.next(&frame)) << name;
    }
    VideoSource missing(dir.file("missing.mp4"), 1);
    EXPECT_NE(missing.error(), "");
}

TEST_F(VideoInput, APhoneVideoIsTurnedUprightAsItsDisplayMatrixSays)
{
    // A bright top left corner as stored, a quarter turn counterclockwise
    // in the track's matrix: FFmpeg's own player shows it bottom left.
    const std::string path = dir.file("turned.mp4");
    {
        cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 30.0,
                               cv::Size(64, 48));
        cv::Mat frame(48, 64, CV_8UC3, cv::Scalar::all(0));
        frame(cv::Rect(0, 0, 16, 12)).setTo(cv::Scalar::all(255));
        writer.write(frame);
    }
    std::vector<unsigned char> bytes = test_images::readFile(path);
    const std::string tkhd = "tkhd";
    const auto box = std::search(bytes.begin(), bytes.end(), tkhd.begin(), tkhd.end());
    ASSERT_NE(box, bytes.end());
    // The matrix's a, b, c, d in 16.16 fixed point: 0, -1, 1, 0.
    const std::array<std::uint32_t, 4> turn{0, 0xFFFF0000U, 0x10000U, 0};
    for (std::size_t i = 0; i < turn.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            *(box + static_cast<std::ptrdiff_t>(44 + (i < 2 ? i : i + 1) * 4 + b)) =
                static_cast<unsigned char>(turn[i] >> (24 - 8 * b));
        }
    }
    test_images::writeFile(path, bytes);

    VideoSource source(path, 1);
    const std::vector<VideoFrame> frames = allFrames(&source);
    ASSERT_EQ(frames.size(), 1U) << source.error();
    ASSERT_EQ(frames[0].image.size(), cv::Size(48, 64));
    EXPECT_GT(cv::mean(frames[0].image(cv::Rect(0, 48, 12, 16)))[0], 200.0);
    EXPECT_LT(cv::mean(frames[0].image(cv::Rect(0, 0, 48, 40)))[0], 20.0);
}

TEST_F(VideoInput, NamesThatLookLikeProtocolsAreFiles)
{
    std::filesystem::create_directory(dir.file("http:"));
    const std::string path = dir.file("http:/clip:1.avi");
    test_images::writeGreyVideo(path, "MJPG", steps(3), 30.0);
    VideoSource source(path, 1);
    EXPECT_EQ(source.error(), "");
    EXPECT_EQ(allFrames(&source).size(), 3U);

    // A relative name, from a folder of its own.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    VideoSource relative("http:/clip:1.avi", 1);
    const std::size_t count = allFrames(&relative).size();
    std::filesystem::current_path(before);
    EXPECT_EQ(relative.error(), "");
    EXPECT_EQ(count, 3U);
}

TEST(StreamInOrder, DeliversInOrderWithoutKnowingHowManyAndKeepsTheWindow)
{
    for (const unsigned workers : {1U, 2U, 3U}) {
        const std::size_t count = 40;
        std::size_t produced = 0;
        std::atomic<std::size_t> delivered{0};
        std::atomic<std::size_t> mostAhead{0};
        std::atomic<unsigned> running{0};
        std::atomic<unsigned> mostRunning{0};
        std::vector<std::size_t> order;
        reader::streamInOrder<std::size_t, std::size_t>(
            workers, 4,
            [&](std::size_t* item) {
                if (produced == count) {
                    return false;
                }
                const std::size_t ahead = produced - delivered.load();
                std::size_t seen = mostAhead.load();
                while (ahead > seen && !mostAhead.compare_exchange_weak(seen, ahead)) {
                }
                *item = produced++;
                return true;
            },
            [&](std::size_t index, std::size_t&& item) {
                EXPECT_EQ(index, item);
                const unsigned now = ++running;
                unsigned seen = mostRunning.load();
                while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
                }
                // Uneven work: later items often finish first.
                std::this_thread::sleep_for(std::chrono::milliseconds(item % 3 == 0 ? 6 : 1));
                --running;
                return item * 10;
            },
            [&](std::size_t index, std::size_t&& result) {
                EXPECT_EQ(result, index * 10);
                order.push_back(index);
                ++delivered;
            });
        ASSERT_EQ(order.size(), count) << workers;
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(order[i], i) << workers;
        }
        // The window, and the one being handed over.
        EXPECT_LE(mostAhead.load(), 5U) << workers;
        // The workers asked for, all of them busy at times.
        EXPECT_LE(mostRunning.load(), workers);
        EXPECT_GE(mostRunning.load(), std::min(workers, 2U)) << workers;
    }
}

TEST(StreamInOrder, EndsAtOnceOnNothingAndRethrowsFailures)
{
    int calls = 0;
    reader::streamInOrder<int, int>(
        2, 4, [](int* /*item*/) { return false; },
        [&](std::size_t /*index*/, int&& /*item*/) {
            ++calls;
            return 0;
        },
        [&](std::size_t /*index*/, int&& /*result*/) { ++calls; });
    EXPECT_EQ(calls, 0);

    const auto streamInts = [](auto produce, auto work, auto deliver) {
        reader::streamInOrder<int, int>(2, 4, produce, work, deliver);
    };
    std::vector<int> delivered;
    int next = 0;
    EXPECT_THROW(streamInts(
                     [&](int* item) {
                         if (next == 5) {
                             throw std::runtime_error("decoder");
                         }
                         *item = next++;
                         return true;
                     },
                     [](std::size_t /*index*/, int&& item) { return item; },
                     [&](std::size_t /*index*/, int&& result) { delivered.push_back(result); }),
                 std::runtime_error);
    EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4}));

    delivered.clear();
    next = 0;
    EXPECT_THROW(streamInts(
                     [&](int* item) {
                         *item = next++;
                         return true;  // endless: the failure must stop it
                     },
                     [](std::size_t /*index*/, int&& item) {
                         if (item == 7) {
                             throw std::runtime_error("worker");
                         }
                         return item;
                     },
                     [&](std::size_t /*index*/, int&& result) { delivered.push_back(result); }),
                 std::runtime_error);
    EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
}

namespace {

// Stand-in for the vision stages on grey frames: the lag in columns is the
// grey level / 20, the sub-frame reading a quarter frame more; the
// reference screen's outline tells which frame's reading it was (its first
// corner's x is a tenth of the level). Levels at or above failFrom are not read. What
// each call was given is kept.
class GreyReader {
public:
    explicit GreyReader(int unreadFrom = 256) : failFrom(unreadFrom) {}

    PhotoReading operator()(const cv::Mat& frame, const ReadSettings& settings, Known known)
    {
        // Where screens are known, only their part of the frame is looked
        // at, as the stages do; the run converts no more of it.
        const cv::Rect2d knownPart =
            known != nullptr ? cv::Rect2d(known->outlines[0][0], known->outlines[0][2]) : cv::Rect2d();
        const int level =
            known != nullptr ? levelOf(frame(cv::Rect(knownPart) & cv::Rect({}, frame.size()))) : levelOf(frame);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(
                {level, known != nullptr ? std::optional<int>(std::lround(knownPart.x * 10)) : std::nullopt});
        }
        PhotoReading reading;
        if (level >= failFrom) {
            reading.error = "found 0 screens showing the pattern, need 2";
            return reading;
        }
        reading.ok = true;
        reading.lagFrames = (level + 10) / 20;
        reading.lagMs = reading.lagFrames * 1000.0 / settings.mode.rate;
        reading.subFrameLagFrames = reading.lagFrames + 0.25;
        reading.subFrameLagMs = reading.subFrameLagFrames * 1000.0 / settings.mode.rate;
        reading.coarse = false;
        reading.reference.column = 30;
        reading.device.column = 30 - reading.lagFrames;
        const double x = level / 10.0;
        reading.reference.corners = {cv::Point2d(x, 1), cv::Point2d(x + 10, 1), cv::Point2d(x + 10, 9),
                                     cv::Point2d(x, 9)};
        reading.device.corners = reading.reference.corners;
        return reading;
    }

    struct Call {
        int level;
        std::optional<int> knownLevel;
    };
    std::vector<Call> calls;

private:
    int failFrom;
    std::mutex mutex;
};

RunOutput run(const reader::Options& options, GreyReader* grey)
{
    return ::run(options, [grey](const cv::Mat& frame, const ReadSettings& settings, Known known) {
        return (*grey)(frame, settings, known);
    });
}

class VideoRun : public VideoInput {};

}  // namespace

TEST_F(VideoRun, EveryFrameIsReadAndReportedInOrderBesideThePhotos)
{
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", {20, 40, 60, 80, 100}, 50.0);
    const std::string photo = dir.file("p.png");
    test_images::writeFile(photo, test_images::encode(cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(140)), ".png"));

    GreyReader grey;
    reader::Options options = optionsFor({photo, clip, photo});
    const RunOutput r = run(options, &grey);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string columns = " (columns: ";
    EXPECT_EQ(r.out,
              photo +
                  "  reference column 30, device column 23: 7.25 frames = 120.8 ms (columns: 7 frames = 116.7 ms)\n" +
                  clip + " frame 0 (0.000 s)  reference column 30, device column 29: 1.25 frames = 20.8 ms" + columns +
                  "1 frame = 16.7 ms)\n" + clip +
                  " frame 1 (0.020 s)  reference column 30, device column 28: 2.25 frames = 37.5 ms" + columns +
                  "2 frames = 33.3 ms)\n" + clip +
                  " frame 2 (0.040 s)  reference column 30, device column 27: 3.25 frames = 54.2 ms" + columns +
                  "3 frames = 50.0 ms)\n" + clip +
                  " frame 3 (0.060 s)  reference column 30, device column 26: 4.25 frames = 70.8 ms" + columns +
                  "4 frames = 66.7 ms)\n" + clip +
                  " frame 4 (0.080 s)  reference column 30, device column 25: 5.25 frames = 87.5 ms" + columns +
                  "5 frames = 83.3 ms)\n" + photo +
                  "  reference column 30, device column 23: 7.25 frames = 120.8 ms (columns: 7 frames = 116.7 ms)\n"
                  "\n"
                  "photos read: 7, failed: 0\n"
                  "lag: mean 73.2 ms, 95 % confidence interval 37.1 to 109.3 ms, median 70.8 ms\n"
                  "lag in frames: mean 4.39, 95 % confidence interval 2.23 to 6.56, median 4.25\n"
                  "reference: scanning, scans out in 15.8 ms (taken as the signal's pace)\n"
                  "device: scanning, scan-out not measured (too few photos caught its scan in the bar's rows)\n");

    options.json = true;
    options.every = 2;
    const RunOutput j = run(options, &grey);
    EXPECT_EQ(j.status, 0);
    const json document = json::parse(j.out);
    const json& list = document.at("photos");
    ASSERT_EQ(list.size(), 5U);
    EXPECT_FALSE(list[0].contains("frame"));
    EXPECT_FALSE(list[4].contains("frame"));
    for (std::size_t i = 1; i <= 3; ++i) {
        const long long frame = 2 * (static_cast<long long>(i) - 1);
        EXPECT_EQ(list[i].at("file"), clip);
        EXPECT_EQ(list[i].at("frame"), frame);
        EXPECT_DOUBLE_EQ(list[i].at("time_s").get<double>(), static_cast<double>(frame) / 50.0);
        EXPECT_DOUBLE_EQ(list[i].at("lag_frames").get<double>(), static_cast<double>(frame) + 1.25);
    }
    EXPECT_EQ(document.at("summary").at("photos_read"), 5);
}

TEST_F(VideoRun, TheScreensAreTrackedFromFrameToFrame)
{
    // Levels 20..200 read; 220 not: the frames after it still look where
    // the last frame read found the screens.
    std::vector<int> levels = steps(10);
    levels.push_back(220);
    levels.push_back(220);
    for (const int level : steps(8)) {
        levels.push_back(level);
    }
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", levels, 30.0);
    GreyReader grey(210);
    const RunOutput r = run(optionsFor({clip}), &grey);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(grey.calls.size(), levels.size());
    int searched = 0;
    for (const GreyReader::Call& call : grey.calls) {
        if (!call.knownLevel) {
            ++searched;
            continue;
        }
        // Outlines read off a frame that came before, never a failed one.
        EXPECT_LT(*call.knownLevel, 210);
    }
    // Only the first frames, read at once before any was done, search.
    EXPECT_GE(searched, 1);
    EXPECT_LE(searched, static_cast<int>(reader::VIDEO_READ_WORKERS));
    EXPECT_FALSE(grey.calls.front().knownLevel.has_value());
    // The two failed frames: errors naming the frames, and not the end.
    EXPECT_EQ(r.err, clip + " frame 10 (0.333 s): error: found 0 screens showing the pattern, need 2\n" + clip +
                         " frame 11 (0.367 s): error: found 0 screens showing the pattern, need 2\n");
    EXPECT_NE(r.out.find("photos read: 18, failed: 2\n"), std::string::npos) << r.out;
}

TEST_F(VideoRun, ADamagedVideoIsOneErrorAndTheOthersAreStillRead)
{
    const std::string good = dir.file("good.avi");
    test_images::writeGreyVideo(good, "MJPG", {20, 40}, 30.0);
    const std::string longer = dir.file("long.avi");
    test_images::writeGreyVideo(longer, "MJPG", steps(30), 30.0, cv::Size(320, 240));
    const std::string cut = dir.file("cut.avi");
    test_images::writeFile(cut, truncated(longer, 0.5));
    const std::string text = dir.file("text.mp4");
    test_images::writeFile(text, {'n', 'o', '\n'});

    GreyReader grey;
    reader::Options options = optionsFor({text, cut, good});
    options.json = true;
    const RunOutput r = run(options, &grey);
    EXPECT_EQ(r.status, 0);
    const json document = json::parse(r.out);
    const json& list = document.at("photos");
    ASSERT_GE(list.size(), 5U);
    EXPECT_EQ(
        list[0],
        json({{"file", text},
              {"ok", false},
              {"error", "not an image or a video: no JPEG, PNG or HEIC photo, nor a video that FFmpeg can open"}}));
    // The cut video's frames, then its error, without a frame.
    std::size_t i = 1;
    while (i < list.size() && list[i].at("file") == cut && list[i].contains("frame")) {
        EXPECT_EQ(list[i].at("frame"), static_cast<long long>(i - 1));
        ++i;
    }
    const std::size_t cutFrames = i - 1;
    EXPECT_GT(cutFrames, 5U);
    ASSERT_LT(i, list.size());
    EXPECT_EQ(list[i].at("file"), cut);
    EXPECT_FALSE(list[i].contains("frame"));
    EXPECT_EQ(list[i].at("error"), "the video ends after " + std::to_string(cutFrames) +
                                       " of the 30 frames its header declares: it is truncated or damaged");
    ASSERT_EQ(list.size(), i + 3);
    EXPECT_EQ(list[i + 1].at("file"), good);
    EXPECT_EQ(list[i + 2].at("frame"), 1);
    EXPECT_EQ(document.at("summary").at("photos_failed"), 2);
    EXPECT_EQ(document.at("summary").at("photos_read"), cutFrames + 2);
    // Standard error: one line for each, naming the file.
    EXPECT_EQ(r.err, text +
                         ": error: not an image or a video: no JPEG, PNG or HEIC photo, nor a video that "
                         "FFmpeg can open\n" +
                         cut + ": error: the video ends after " + std::to_string(cutFrames) +
                         " of the 30 frames its header declares: it is truncated or damaged\n");
}

TEST_F(VideoRun, AnnotatesTheFirstFrameAndTheFirstFailedOnes)
{
    // 2 frames read, then 14 that fail, then 2 read again.
    std::vector<int> levels = {20, 40};
    levels.insert(levels.end(), 14, 220);
    levels.push_back(60);
    levels.push_back(80);
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", levels, 30.0);
    GreyReader grey(210);
    reader::Options options = optionsFor({clip});
    options.annotateDir = dir.file("annotated");
    EXPECT_EQ(run(options, &grey).status, 0);
    std::set<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(options.annotateDir)) {
        written.insert(entry.path().filename().string());
    }
    ASSERT_EQ(written.size(), 1U + reader::MOST_ANNOTATED_FAILED_FRAMES);
    EXPECT_EQ(written.count("clip-annotated-frame-000000.jpg"), 1U);
    for (const std::string& name : written) {
        ASSERT_EQ(name.rfind("clip-annotated-frame-0000", 0), 0U) << name;
        const int frame = std::stoi(name.substr(std::string("clip-annotated-frame-").size(), 6));
        EXPECT_TRUE(frame == 0 || (frame >= 2 && frame < 16)) << name;
        EXPECT_EQ(cv::imread(dir.file("annotated/" + name)).size(), cv::Size(64, 48)) << name;
    }
}

TEST_F(VideoRun, StackedScreensWithoutTheReadoutTimeAreWarnedAbout)
{
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", {20}, 30.0);
    GreyReader grey;
    reader::Options options = optionsFor({clip});
    const std::string warning = reader::rollingShutterWarning(options.settings);
    EXPECT_EQ(warning, "");
    options.settings.reference = reader::Placement::Bottom;
    EXPECT_NE(reader::rollingShutterWarning(options.settings), "");
    EXPECT_NE(
        run(options, &grey).out.find(clip + " frame 0 (0.000 s): warning: stacked screens read without --readout"),
        std::string::npos);
    options.settings.reference = reader::Placement::Top;
    EXPECT_NE(run(options, &grey).out.find("warning: stacked screens"), std::string::npos);
    options.settings.readoutMs = 20.0;
    EXPECT_EQ(run(options, &grey).out.find("warning"), std::string::npos);
    options.settings.readoutMs.reset();
    options.settings.reference = reader::Placement::Right;
    EXPECT_EQ(run(options, &grey).out.find("warning"), std::string::npos);
}

TEST_F(VideoRun, ThePlotIsWrittenOrItsFailureIsAnErrorAndExitStatusOne)
{
    // A frame every two seconds: the time axis runs to 6, the readings'
    // numbers would only to 4.
    const std::string clip = dir.file("clip.avi");
    test_images::writeGreyVideo(clip, "MJPG", {20, 40, 60, 80}, 0.5);
    GreyReader grey;
    reader::Options options = optionsFor({clip});
    options.plotFile = dir.file("lag.svg");
    RunOutput r = run(options, &grey);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // One video: its readings over its time, with the summary's mean.
    const std::vector<std::string> texts = test_images::svgTexts(test_images::readText(options.plotFile));
    EXPECT_NE(std::find(texts.begin(), texts.end(), "video time (s)"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Display lag: 4 frames of clip.avi at 60 Hz"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "mean 45.8 ms"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "6"), texts.end());

    // Photos and a video: numbered in the order read.
    const std::string photo = dir.file("p.png");
    test_images::writeFile(photo, test_images::encode(cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(140)), ".png"));
    options.files = {photo, clip};
    r = run(options, &grey);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> mixed = test_images::svgTexts(test_images::readText(options.plotFile));
    EXPECT_NE(std::find(mixed.begin(), mixed.end(), "photo or video frame"), mixed.end());
    EXPECT_NE(std::find(mixed.begin(), mixed.end(), "Display lag: 5 photos and video frames at 60 Hz"), mixed.end());
    EXPECT_EQ(std::find(mixed.begin(), mixed.end(), "6"), mixed.end());
    // Two videos, one of them not one: no photo on the plot.
    options.files = {dir.file("missing.avi"), clip};
    r = run(options, &grey);
    const std::vector<std::string> videos = test_images::svgTexts(test_images::readText(options.plotFile));
    EXPECT_NE(std::find(videos.begin(), videos.end(), "Display lag: 4 video frames at 60 Hz"), videos.end());
    EXPECT_NE(std::find(videos.begin(), videos.end(), "video frame"), videos.end());

    // Nothing read: nothing to draw, said on standard error.
    GreyReader failing(0);
    options.files = {clip};
    options.plotFile = dir.file("none.png");
    r = run(options, &failing);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vesmira-read: --plot: cannot draw the plot " + options.plotFile), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(options.plotFile));

    // Where it cannot be written at all, before anything is read.
    for (const std::string& bad : {dir.file("no/such/dir/lag.png"), clip + ".d/x.png", dir.path() + "/"}) {
        options.plotFile = bad;
        r = run(options, &grey);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_EQ(r.err.rfind("vesmira-read: --plot: cannot write ", 0), 0U) << r.err;
    }
    // Never over one of the inputs.
    const std::string png = dir.file("q.png");
    test_images::writeFile(png, test_images::encode(cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(40)), ".png"));
    options.files = {png};
    options.plotFile = png;
    r = run(options, &grey);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("it is one of the photos or videos to read"), std::string::npos) << r.err;
    EXPECT_EQ(cv::mean(cv::imread(png))[0], 40.0);
}
