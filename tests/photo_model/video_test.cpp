// The real vesmira-read on slow-motion videos made by the photo model: a
// monitor pair whose lag is constant, and one whose device lags more from
// the middle frame on. Every frame must be read near its truth, the change
// must show at its frame, --every must keep the frames' numbers and times,
// and --plot must draw the run. The videos stay in the build folder, under
// videos/, for a look when a test fails.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "photo_model.h"
#include "process.h"
#include "test_images.h"

namespace {

constexpr int READ_TIMEOUT_MS = 600000;
constexpr double FPS = 240.0;
// The accuracy asked of sub-frame readings where both screens scan: the
// mean within 2 ms, and two readings in three within 4 ms.
constexpr double MEAN_WITHIN_MS = 2.0;
constexpr double READING_WITHIN_MS = 4.0;
// The device's extra lag from the middle frame on: a frame and a half at
// 60 Hz, so that the columns alone would not always show it.
constexpr double LAG_CHANGE_MS = 25.0;
// How near to its frame the reader must find the change.
constexpr double CHANGE_WITHIN = 12.0;

#ifdef SANITIZER_BUILD
// The instrumented reader is several times slower: fewer, smaller frames,
// and a live stream it can keep up with.
constexpr int FRAME_COUNT = 40;
constexpr int VIDEO_WIDTH = 640;
constexpr int LIVE_RATE = 8;
#else
constexpr int FRAME_COUNT = 96;
constexpr int VIDEO_WIDTH = 960;
constexpr int LIVE_RATE = 30;
#endif
// Only a last resort, should the live run never get going.
constexpr int LIVE_WAIT_MS = 120000;
// A live source that sends nothing ends the run after 5 s; with the time
// to start, within this.
constexpr int SILENT_SOURCE_MS = 10000;

struct Video {
    std::string path;
    photo_model::Scenario scenario;
    std::vector<photo_model::VideoFrameTruth> truth;
};

Video makeVideo(const std::string& name, double lagChangeMs)
{
    Video video;
    // The monitor pair at 60 Hz.
    video.scenario = photo_model::withPhotoWidth(photo_model::standardScenarios().front(), VIDEO_WIDTH);
    const std::string dir = std::string(VIDEO_OUTPUT_DIR);
    std::filesystem::create_directories(dir);
    video.path = dir + "/" + name;
    const photo_model::PatternFrames frames = photo_model::loadPatternFrames(
        std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(video.scenario.mode));
    photo_model::VideoSettings settings;
    settings.fps = FPS;
    settings.frameCount = FRAME_COUNT;
    settings.lagChangeMs = lagChangeMs;
    std::mt19937 random(video.scenario.seed);
    video.truth = photo_model::writeVideo(frames, video.scenario, settings, video.path, random);
    return video;
}

ProcessResult readVideo(const Video& video, const std::vector<std::string>& options)
{
    std::vector<std::string> argv = {"vesmira-read"};
    argv.insert(argv.end(), options.begin(), options.end());
    const photo_model::Mode& mode = video.scenario.mode;
    for (const int number : {mode.width, mode.height, mode.rate}) {
        argv.push_back(std::to_string(number));
    }
    argv.push_back(video.path);
    return runProcess(VESMIRA_READ_BINARY, argv, {}, READ_TIMEOUT_MS);
}

// Checks the frames of a JSON run against the truth, frame by frame: each
// within a frame of it, two in three within READING_WITHIN_MS, and the
// mean over [first, end) of the listed frames within MEAN_WITHIN_MS.
void expectNearTruth(const Video& video, const nlohmann::json& photos, std::size_t first, std::size_t end,
                     const std::string& what)
{
    const double period = video.scenario.mode.periodMs();
    int close = 0;
    double sumError = 0.0;
    for (std::size_t i = first; i < end; ++i) {
        const nlohmann::json& photo = photos.at(i);
        ASSERT_TRUE(photo.value("ok", false)) << what << ": " << photo.dump();
        const auto frame = photo.at("frame").get<std::size_t>();
        const double truth = video.truth.at(frame).truthLagMs;
        const double error = photo.at("lag_ms").get<double>() - truth;
        EXPECT_LT(std::abs(error), period) << what << ", frame " << frame << ": " << photo.dump();
        close += std::abs(error) <= READING_WITHIN_MS ? 1 : 0;
        sumError += error;
    }
    const auto count = static_cast<double>(end - first);
    EXPECT_GE(close * 3, static_cast<int>(end - first) * 2) << what << ": " << close << " of " << end - first;
    EXPECT_LT(std::abs(sumError / count), MEAN_WITHIN_MS) << what;
    std::printf("%s: %zu frames, mean error %+.2f ms, %d within %.0f ms\n", what.c_str(), end - first, sumError / count,
                close, READING_WITHIN_MS);
}

// A loopback UDP port that nothing listens on now.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// Appends what fd has to give now, without waiting for more.
void readAvailable(int fd, std::string* text)
{
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        text->append(buffer, static_cast<std::size_t>(n));
    }
}

// The live lines that report readings: "live 3 s: 30 frames in the last
// second, 30 read; lag since frame 0: ...".
int linesWithLag(const std::string& text)
{
    int count = 0;
    for (const std::string& line : test_images::linesOf(text)) {
        count += line.rfind("live ", 0) == 0 && line.find("; lag since frame ") != std::string::npos ? 1 : 0;
    }
    return count;
}

class VideoReading : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        photo_model::keepFreedMemory();
        steady = new Video(makeVideo("steady.mp4", 0.0));
        changing = new Video(makeVideo("lag-change.avi", LAG_CHANGE_MS));
    }
    static void TearDownTestSuite()
    {
        delete steady;
        delete changing;
        steady = nullptr;
        changing = nullptr;
    }
    static Video* steady;
    static Video* changing;
};

Video* VideoReading::steady = nullptr;
Video* VideoReading::changing = nullptr;

}  // namespace

TEST_F(VideoReading, EveryFrameOfASteadyVideoIsReadNearItsTruth)
{
    const ProcessResult run = readVideo(*steady, {"--json"});
    ASSERT_TRUE(run.exited) << run.err;
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(run.err, "");
    const nlohmann::json& photos = document.at("photos");
    ASSERT_EQ(photos.size(), static_cast<std::size_t>(FRAME_COUNT));
    for (std::size_t i = 0; i < photos.size(); ++i) {
        EXPECT_EQ(photos[i].at("file"), steady->path);
        EXPECT_EQ(photos[i].at("frame"), i);
        EXPECT_NEAR(photos[i].at("time_s").get<double>(), static_cast<double>(i) / FPS, 1e-5);
        // The screens stay put: found once, in the first frame, and read
        // where they were in every frame after.
        EXPECT_EQ(photos[i].at("screens"), photos[0].at("screens")) << "frame " << i;
    }
    expectNearTruth(*steady, photos, 0, photos.size(), "steady video");
    const nlohmann::json& summary = document.at("summary");
    EXPECT_EQ(summary.at("photos_read"), FRAME_COUNT);
    EXPECT_EQ(summary.at("photos_failed"), 0);
    EXPECT_NEAR(summary.at("lag_ms_mean").get<double>(), steady->truth.front().truthLagMs, MEAN_WITHIN_MS);
    // One segment, the whole video: its scatter splits nothing.
    ASSERT_EQ(summary.at("segments").size(), 1U) << summary.at("segments").dump();
    EXPECT_EQ(summary.at("segments")[0].at("first"), 0);
    EXPECT_EQ(summary.at("segments")[0].at("last"), FRAME_COUNT - 1);

    // The plain report: a line for each frame naming it, its warnings
    // after it, then the summary.
    const ProcessResult plain = readVideo(*steady, {});
    ASSERT_TRUE(plain.exited);
    EXPECT_EQ(plain.exitStatus, 0);
    int frameLines = 0;
    for (const std::string& line : test_images::linesOf(plain.out)) {
        if (line.rfind(steady->path + " frame ", 0) == 0 && line.find(": warning: ") == std::string::npos) {
            char expected[64];
            (void)std::snprintf(expected, sizeof expected, " frame %d (%.3f s)  reference column ", frameLines,
                                frameLines / FPS);
            EXPECT_EQ(line.find(expected), steady->path.size()) << line;
            ++frameLines;
        }
    }
    EXPECT_EQ(frameLines, FRAME_COUNT);
    EXPECT_NE(plain.out.find("\nphotos read: " + std::to_string(FRAME_COUNT) + ", failed: 0\n"), std::string::npos);
    EXPECT_EQ(plain.out.find("lag changed"), std::string::npos);
}

TEST_F(VideoReading, ALagChangeShowsAtItsFrame)
{
    const ProcessResult run = readVideo(*changing, {"--json"});
    ASSERT_TRUE(run.exited) << run.err;
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    const nlohmann::json& photos = document.at("photos");
    ASSERT_EQ(photos.size(), static_cast<std::size_t>(FRAME_COUNT));
    const std::size_t half = FRAME_COUNT / 2;
    ASSERT_NEAR(changing->truth[half].truthLagMs - changing->truth[half - 1].truthLagMs, LAG_CHANGE_MS, 1e-9);
    expectNearTruth(*changing, photos, 0, half, "before the change");
    expectNearTruth(*changing, photos, half, photos.size(), "after the change");

    // The summary's segments: the change found within CHANGE_WITHIN frames
    // of where it is, each segment's mean near its own truth, and the whole
    // video covered.
    const nlohmann::json& segments = document.at("summary").at("segments");
    ASSERT_EQ(segments.size(), 2U) << segments.dump();
    EXPECT_EQ(segments[0].at("first"), 0);
    EXPECT_EQ(segments[1].at("last"), FRAME_COUNT - 1);
    const auto split = segments[1].at("first").get<std::size_t>();
    EXPECT_EQ(segments[0].at("last").get<std::size_t>() + 1, split);
    EXPECT_NEAR(static_cast<double>(split), static_cast<double>(half), CHANGE_WITHIN) << segments.dump();
    EXPECT_NEAR(segments[0].at("lag_ms_mean").get<double>(), changing->truth.front().truthLagMs, MEAN_WITHIN_MS);
    EXPECT_NEAR(segments[1].at("lag_ms_mean").get<double>(), changing->truth.back().truthLagMs, MEAN_WITHIN_MS);
    EXPECT_EQ(segments[1].at("count"), FRAME_COUNT - split);
}

TEST_F(VideoReading, EveryNthFrameKeepsItsNumberTimeAndTruth)
{
    const int every = 5;
    const ProcessResult run = readVideo(*changing, {"--json", "--every", std::to_string(every)});
    ASSERT_TRUE(run.exited) << run.err;
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    const nlohmann::json& photos = document.at("photos");
    ASSERT_EQ(photos.size(), static_cast<std::size_t>((FRAME_COUNT + every - 1) / every));
    for (std::size_t i = 0; i < photos.size(); ++i) {
        EXPECT_EQ(photos[i].at("frame"), i * every);
        EXPECT_NEAR(photos[i].at("time_s").get<double>(), static_cast<double>(i * every) / FPS, 1e-5);
        const double truth = changing->truth.at(i * every).truthLagMs;
        EXPECT_NEAR(photos[i].at("lag_ms").get<double>(), truth, changing->scenario.mode.periodMs()) << i * every;
    }
    EXPECT_EQ(document.at("summary").at("photos_read"), photos.size());
}

TEST_F(VideoReading, ThePlotShowsTheRunAsPngAndSvg)
{
    const std::string dir = std::string(VIDEO_OUTPUT_DIR);
    const std::string png = dir + "/lag-change.png";
    const std::string svg = dir + "/lag-change.svg";
    std::filesystem::remove(png);
    std::filesystem::remove(svg);
    const ProcessResult first = readVideo(*changing, {"--json", "--plot", png});
    ASSERT_TRUE(first.exited) << first.err;
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(first.err, "");
    const cv::Mat picture = cv::imread(png, cv::IMREAD_COLOR);
    EXPECT_EQ(picture.size(), cv::Size(1280, 800));

    const ProcessResult second = readVideo(*changing, {"--json", "--plot", svg});
    ASSERT_EQ(second.exitStatus, 0) << second.err;
    const std::vector<std::string> texts = test_images::svgTexts(test_images::readText(svg));
    const auto has = [&texts](const std::string& text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    EXPECT_TRUE(has("Display lag: " + std::to_string(FRAME_COUNT) + " frames of lag-change.avi at 60 Hz"));
    EXPECT_TRUE(has("video time (s)"));
    EXPECT_TRUE(has("lag (ms)"));
    // Each segment's mean and interval, as the report gives them, in its
    // legend entry; no mean over both.
    const nlohmann::json document = nlohmann::json::parse(second.out);
    const nlohmann::json& segments = document.at("summary").at("segments");
    ASSERT_EQ(segments.size(), 2U);
    // The JSON's figures are rounded to 0.001 ms before the legend's 0.1:
    // a mean of 24.3496 is 24.3 there and 24.350 here.
    for (const nlohmann::json& segment : segments) {
        char prefix[64];
        (void)std::snprintf(prefix, sizeof prefix, "frames %d to %d: ", segment.at("first").get<int>(),
                            segment.at("last").get<int>());
        const auto entry = std::find_if(texts.begin(), texts.end(),
                                        [&prefix](const std::string& text) { return text.rfind(prefix, 0) == 0; });
        ASSERT_NE(entry, texts.end()) << prefix;
        // "24.3 ms (24.1 to 24.5)"
        std::istringstream entryText(entry->substr(std::strlen(prefix)));
        double mean = 0.0;
        double low = 0.0;
        double high = 0.0;
        std::string unit;
        std::string to;
        char open = 0;
        entryText >> mean >> unit >> open >> low >> to >> high;
        ASSERT_TRUE(entryText && unit == "ms" && open == '(' && to == "to") << *entry;
        EXPECT_NEAR(mean, segment.at("lag_ms_mean").get<double>(), 0.0505) << *entry;
        EXPECT_NEAR(low, segment.at("lag_ms_ci95")[0].get<double>(), 0.0505) << *entry;
        EXPECT_NEAR(high, segment.at("lag_ms_ci95")[1].get<double>(), 0.0505) << *entry;
    }
    char mean[64];
    (void)std::snprintf(mean, sizeof mean, "mean %.1f ms", document.at("summary").at("lag_ms_mean").get<double>());
    EXPECT_FALSE(has(mean)) << mean;
}

TEST_F(VideoReading, ALiveStreamIsReadUntilInterrupted)
{
    // The steady video sent in real time, over and over, as a camera app
    // streams: MPEG-TS over UDP on the loopback.
    const int port = freePort();
    ASSERT_GT(port, 0);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    const photo_model::Mode& mode = steady->scenario.mode;
    RunningProcess reader =
        startProcess(VESMIRA_READ_BINARY, {"vesmira-read", "--live", url, std::to_string(mode.width),
                                           std::to_string(mode.height), std::to_string(mode.rate)});
    RunningProcess sender = startProcess(FFMPEG_BINARY, {"ffmpeg",
                                                         "-nostdin",
                                                         "-loglevel",
                                                         "error",
                                                         "-re",
                                                         "-stream_loop",
                                                         "-1",
                                                         "-i",
                                                         steady->path,
                                                         "-c:v",
                                                         "mpeg2video",
                                                         "-q:v",
                                                         "3",
                                                         "-g",
                                                         "12",
                                                         "-r",
                                                         std::to_string(LIVE_RATE),
                                                         "-f",
                                                         "mpegts",
                                                         url});
    std::string out;
    const bool going = waitUntil(
        [&] {
            readAvailable(reader.outFd, &out);
            return linesWithLag(out) >= 2 || hasEnded(reader.pid);
        },
        LIVE_WAIT_MS);
    kill(reader.pid, SIGINT);
    const ProcessResult run = finishProcess(&reader, LIVE_WAIT_MS);
    kill(sender.pid, SIGTERM);
    (void)finishProcess(&sender, LIVE_WAIT_MS);
    out += run.out;
    ASSERT_TRUE(going) << out << run.err;
    ASSERT_GE(linesWithLag(out), 2) << out << run.err;

    // Interrupted: the summary of every frame read, and success.
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::size_t summary = out.find("\nphotos read: ");
    ASSERT_NE(summary, std::string::npos) << out;
    const std::size_t meanAt = out.find("\nlag: mean ", summary);
    ASSERT_NE(meanAt, std::string::npos) << out;
    const double mean = std::stod(out.substr(meanAt + std::string("\nlag: mean ").size()));
    EXPECT_NEAR(mean, steady->truth.front().truthLagMs, MEAN_WITHIN_MS) << out;
    EXPECT_EQ(out.find("lag changed"), std::string::npos) << out;
}

TEST(LiveReading, ASourceThatSendsNothingEndsTheRunWithAnError)
{
    const int port = freePort();
    ASSERT_GT(port, 0);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    const ProcessResult run =
        runProcess(VESMIRA_READ_BINARY, {"vesmira-read", "--live", url, "1920", "1080", "60"}, {}, SILENT_SOURCE_MS);
    ASSERT_FALSE(run.timedOut) << "still waiting after " << SILENT_SOURCE_MS << " ms";
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vesmira-read: " + url + ": the stream cannot be opened, or sent nothing in 5 s\n");
    EXPECT_EQ(run.out, "");
}
