// vesmira-read-benchmark [PHOTOS [MEMORY_PHOTOS]]
// vesmira-read-benchmark --video [FRAMES [KEEP_DIR]]
// vesmira-read-benchmark --heic [PHOTOS]
//
// How reading compares with decoding, and whether memory stays flat:
//  - makes PHOTOS (default 20) photos of 4000 x 3000 with the photo model
//    (a monitor pair at 1920x1080, 60 Hz) in a temporary folder;
//  - in one run, times cv::imread decoding all of them, vesmira-read
//    --json reading the same files, and cv::imread again, and prints the
//    reader's time divided by the mean of the two decoding times, and the
//    same without the program's start (the least time of vesmira-read
//    --help, mostly the loading of its libraries);
//  - runs vesmira-read over MEMORY_PHOTOS (default 100) such photos and
//    over 2, and prints the peak resident memory of each run (the child's
//    own ru_maxrss, from wait4).
// With --video: makes a slow-motion video of FRAMES (default 300) frames of
// 1920 x 1080 at 240 fps of the same scene, as MPEG-4 in .mp4 and as MJPEG
// in .avi, and prints for each the frames per second that decoding alone
// (cv::VideoCapture, every frame to BGR) and vesmira-read --json reach, its
// peak memory, their ratio with and without the reader's start, and the
// machine's load around the runs; then, in this process, the time one frame
// takes to read when the screens must be searched for (as in a photo) and
// when they are known from the frame before. With KEEP_DIR the videos and the reader's JSON of each
// (VIDEO.json) are written there and left, to compare runs; videos of as
// many frames already there are taken as they are.
// With --heic: makes PHOTOS (default 10) such photos as HEIC, as phones save
// them, and times libheif decoding them, vesmira-read --json reading them,
// and decoding them again, as for JPEG.
// Captures the pattern's frames first if the build has none yet.

#include <libheif/heif.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "photo_model.h"
#include "process.h"
#include "reader/read_photo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PHOTO_WIDTH = 4000;

double megabytes(long kilobytes)
{
    return static_cast<double>(kilobytes) / 1024.0;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a program to its end with stdout thrown away (or written to
// outPath); its exit status, and its peak resident memory in kB.
int runChild(const std::vector<std::string>& argv, long* peakKb, const char* outPath = "/dev/null")
{
    const EndedRun ended = runToEnd(argv.front(), argv, outPath, true);
    *peakKb = ended.peakKb;
    return ended.exitStatus;
}

std::vector<std::string> readerCommand(const photo_model::Scenario& scenario, const std::vector<std::string>& photos)
{
    std::vector<std::string> argv = {VESMIRA_READ_BINARY, "--json", std::to_string(scenario.mode.width),
                                     std::to_string(scenario.mode.height), std::to_string(scenario.mode.rate)};
    argv.insert(argv.end(), photos.begin(), photos.end());
    return argv;
}

// The pattern's frames for the scenario's mode, captured if need be.
photo_model::PatternFrames patternFrames(const photo_model::Scenario& scenario)
{
    const std::string frameDir = std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(scenario.mode);
    std::filesystem::create_directories(PATTERN_FRAMES_DIR);
    long unused = 0;
    if (runChild({VESMIRA_FRAMES_BINARY, "--keep", frameDir, std::to_string(scenario.mode.width),
                  std::to_string(scenario.mode.height), std::to_string(scenario.mode.rate)},
                 &unused) != 0) {
        throw std::runtime_error("could not capture the pattern's frames into " + frameDir);
    }
    return photo_model::loadPatternFrames(frameDir);
}

// Writes count photos into dir, as JPEG or as HEIC; their paths.
std::vector<std::string> makePhotos(const photo_model::Scenario& scenario, int count, const std::string& dir,
                                    bool heic = false)
{
    const photo_model::PatternFrames frames = patternFrames(scenario);
    std::mt19937 random(scenario.seed);
    std::vector<std::string> paths;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const photo_model::ModelPhoto photo = photo_model::makePhoto(frames, scenario, random);
        const photo_model::CameraModel& camera = scenario.camera;
        const std::vector<unsigned char> bytes =
            heic ? photo_model::encodeHeic(photo.image, camera.heicQuality, camera.exposureMs)
                 : photo_model::encodeJpeg(photo.image, camera.jpegQuality, camera.exposureMs);
        paths.push_back(dir + "/photo-" + std::to_string(i + 1) + (heic ? ".heic" : ".jpg"));
        std::ofstream out(paths.back(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + paths.back());
        }
    }
    std::printf("made %d photos of %dx%d in %.1f s (%.0f ms each, %s included)\n", count, scenario.camera.width,
                scenario.camera.height, secondsSince(start), 1000.0 * secondsSince(start) / count,
                heic ? "HEIC" : "JPEG");
    return paths;
}

double decodeAll(const std::vector<std::string>& paths)
{
    const Clock::time_point start = Clock::now();
    for (const std::string& path : paths) {
        if (cv::imread(path, cv::IMREAD_COLOR).empty()) {
            throw std::runtime_error("cv::imread cannot decode " + path);
        }
    }
    return secondsSince(start);
}

// The reader timed between two decodings of the same photos, the files
// already in the page cache.
struct SideBySide {
    double decodeBefore = 0.0;
    double reading = 0.0;
    double decodeAfter = 0.0;
    long peakKb = 0;
    int status = 0;
    double decoding() const { return (decodeBefore + decodeAfter) / 2.0; }
};

SideBySide readBetweenDecodes(const photo_model::Scenario& scenario, const std::vector<std::string>& photos,
                              const std::function<double(const std::vector<std::string>&)>& decode)
{
    SideBySide run;
    decode(photos);
    run.decodeBefore = decode(photos);
    const Clock::time_point start = Clock::now();
    run.status = runChild(readerCommand(scenario, photos), &run.peakKb);
    run.reading = secondsSince(start);
    run.decodeAfter = decode(photos);
    if (run.status != 0) {
        (void)std::fprintf(stderr, "vesmira-read ended with status %d\n", run.status);
    }
    return run;
}

void printSideBySide(const SideBySide& run, const char* decoder, int count)
{
    std::printf("%s, all photos: %.2f s and %.2f s (%.0f ms a photo)\n", decoder, run.decodeBefore, run.decodeAfter,
                1000.0 * run.decoding() / count);
    std::printf("vesmira-read, all photos: %.2f s (%.0f ms a photo)\n", run.reading, 1000.0 * run.reading / count);
    std::printf("reader / decoding: %.2f (the reader's peak resident memory %.1f MB)\n", run.reading / run.decoding(),
                megabytes(run.peakKb));
}

// libheif decoding each HEIC whole to 8-bit RGB, as the reader has it do.
double decodeAllHeic(const std::vector<std::string>& paths)
{
    const Clock::time_point start = Clock::now();
    for (const std::string& path : paths) {
        const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                                  &heif_context_free);
        heif_image_handle* handle = nullptr;
        heif_image* image = nullptr;
        if (heif_context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok ||
            heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok ||
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code !=
                heif_error_Ok) {
            heif_image_handle_release(handle);
            throw std::runtime_error("libheif cannot decode " + path);
        }
        heif_image_release(image);
        heif_image_handle_release(handle);
    }
    return secondsSince(start);
}

// The reader on phone photos saved as HEIC, against libheif decoding them.
int heicBenchmark(int count, const std::string& dir)
{
    const photo_model::Scenario scenario =
        photo_model::withPhotoWidth(photo_model::standardScenarios().front(), PHOTO_WIDTH);
    const std::vector<std::string> photos = makePhotos(scenario, count, dir, true);
    const SideBySide run = readBetweenDecodes(scenario, photos, decodeAllHeic);
    if (run.status != 0) {
        return 1;
    }
    std::printf("%d HEIC photos of %dx%d, %u cores\n", count, scenario.camera.width, scenario.camera.height,
                std::thread::hardware_concurrency());
    printSideBySide(run, "libheif decoding", count);
    return 0;
}

// The program's own start, without a photo: the least of a few runs of
// vesmira-read --help, most of it the loading of OpenCV's libraries.
double startTime()
{
    double least = 0.0;
    for (int run = 0; run < 5; ++run) {
        long unused = 0;
        const Clock::time_point start = Clock::now();
        if (runChild({VESMIRA_READ_BINARY, "--help"}, &unused) != 0) {
            throw std::runtime_error("vesmira-read --help failed");
        }
        const double seconds = secondsSince(start);
        least = run == 0 ? seconds : std::min(least, seconds);
    }
    return least;
}

int benchmark(int count, int memoryCount, const std::string& dir)
{
    const photo_model::Scenario scenario =
        photo_model::withPhotoWidth(photo_model::standardScenarios().front(), PHOTO_WIDTH);
    const std::vector<std::string> photos = makePhotos(scenario, std::max(count, memoryCount), dir);
    const std::vector<std::string> timed(photos.begin(), photos.begin() + count);

    const SideBySide run = readBetweenDecodes(scenario, timed, decodeAll);
    const double starting = startTime();
    if (run.status != 0) {
        return 1;
    }
    std::printf("%d photos of %dx%d, %u cores\n", count, scenario.camera.width, scenario.camera.height,
                std::thread::hardware_concurrency());
    printSideBySide(run, "cv::imread", count);
    std::printf(
        "of the reader's time, %.2f s is its start (vesmira-read --help); without it, reader / decoding: "
        "%.2f\n",
        starting, (run.reading - starting) / run.decoding());

    const std::vector<std::string> two(photos.begin(), photos.begin() + 2);
    const std::vector<std::string> many(photos.begin(), photos.begin() + memoryCount);
    long peakTwo = 0;
    long peakMany = 0;
    if (runChild(readerCommand(scenario, two), &peakTwo) != 0 ||
        runChild(readerCommand(scenario, many), &peakMany) != 0) {
        (void)std::fprintf(stderr, "vesmira-read failed in the memory runs\n");
        return 1;
    }
    std::printf("peak resident memory of vesmira-read: %.1f MB over 2 photos, %.1f MB over %d photos\n",
                megabytes(peakTwo), megabytes(peakMany), memoryCount);
    return 0;
}

std::string loadAverage()
{
    double load[3] = {0.0, 0.0, 0.0};
    if (getloadavg(load, 3) != 3) {
        return "unknown";
    }
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// Frames decoded to BGR by OpenCV's video input, as the reader gets them.
int decodeVideo(const std::string& path)
{
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    if (!capture.isOpened()) {
        throw std::runtime_error("cv::VideoCapture cannot open " + path);
    }
    cv::Mat frame;
    int count = 0;
    while (capture.read(frame)) {
        ++count;
    }
    return count;
}

// The photos read, from the summary of vesmira-read's JSON document; -1
// when there is none.
int framesRead(const std::string& jsonPath)
{
    try {
        return nlohmann::json::parse(std::ifstream(jsonPath)).at("summary").at("photos_read").get<int>();
    } catch (const nlohmann::json::exception&) {
        return -1;
    }
}

// One frame read with the screens searched for, and with them known from
// the frame before, each the mean over the first frames of the video.
void searchedAgainstTracked(const std::string& path, const photo_model::Scenario& scenario)
{
    constexpr int FRAMES = 20;
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    std::vector<cv::Mat> frames(FRAMES);
    for (cv::Mat& frame : frames) {
        if (!capture.read(frame)) {
            throw std::runtime_error("cv::VideoCapture cannot read " + path);
        }
    }
    reader::ReadSettings settings;
    settings.mode = {scenario.mode.width, scenario.mode.height, scenario.mode.rate};
    double searched = 0.0;
    double tracked = 0.0;
    int read = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        Clock::time_point start = Clock::now();
        const reader::PhotoReading before = reader::readPhoto(frames[i - 1], settings);
        searched += secondsSince(start);
        const reader::KnownScreens known{{before.reference.corners, before.device.corners}};
        start = Clock::now();
        const reader::PhotoReading now = reader::readPhoto(frames[i], settings, &known);
        tracked += secondsSince(start);
        read += before.ok && now.ok ? 1 : 0;
    }
    std::printf("one frame of %s, %d read: %.1f ms with the screens searched for, %.1f ms with them known\n",
                path.c_str(), read, 1000.0 * searched / (FRAMES - 1), 1000.0 * tracked / (FRAMES - 1));
}

int videoBenchmark(int frameCount, const std::string& dir)
{
    photo_model::Scenario scenario = photo_model::withPhotoWidth(photo_model::standardScenarios().front(), 1920);
    scenario.camera.height = 1080;
    const std::vector<std::pair<std::string, const char*>> videos = {{dir + "/video.mp4", "MPEG-4 part 2"},
                                                                     {dir + "/video.avi", "MJPEG"}};
    {
        const photo_model::PatternFrames frames = patternFrames(scenario);
        for (const auto& [path, codec] : videos) {
            // A kept video of as many frames is the same video: the model is seeded.
            if (std::filesystem::exists(path) && decodeVideo(path) == frameCount) {
                std::printf("%s: kept from an earlier run\n", path.c_str());
                continue;
            }
            photo_model::VideoSettings settings;
            settings.fps = 240.0;
            settings.frameCount = frameCount;
            std::mt19937 random(scenario.seed);
            const Clock::time_point made = Clock::now();
            photo_model::writeVideo(frames, scenario, settings, path, random);
            std::printf("%s: %d frames of %dx%d at 240 fps (%s), made in %.1f s, %.1f MB\n", path.c_str(), frameCount,
                        scenario.camera.width, scenario.camera.height, codec, secondsSince(made),
                        static_cast<double>(std::filesystem::file_size(path)) / 1e6);
        }
    }
    std::printf("%u cores; load average before: %s\n", std::thread::hardware_concurrency(), loadAverage().c_str());
    for (const auto& [path, codec] : videos) {
        // Both read the file from the page cache: decode once untimed first.
        (void)decodeVideo(path);
        Clock::time_point start = Clock::now();
        const int decoded = decodeVideo(path);
        const double decodeBefore = secondsSince(start);
        long peakKb = 0;
        const std::string json = path + ".json";
        start = Clock::now();
        const int status = runChild(readerCommand(scenario, {path}), &peakKb, json.c_str());
        const double reading = secondsSince(start);
        start = Clock::now();
        (void)decodeVideo(path);
        const double decodeAfter = secondsSince(start);
        const int read = framesRead(json);
        if (status != 0 || decoded != frameCount) {
            (void)std::fprintf(stderr, "vesmira-read ended with status %d; %d of %d frames decoded\n", status, decoded,
                               frameCount);
            return 1;
        }
        const double decoding = (decodeBefore + decodeAfter) / 2.0;
        std::printf("%s (%s):\n", path.c_str(), codec);
        std::printf("  decoding only (cv::VideoCapture to BGR): %.2f s and %.2f s, %.0f frames/s\n", decodeBefore,
                    decodeAfter, frameCount / decoding);
        std::printf(
            "  vesmira-read --json: %.2f s, %.0f frames/s (%.1f ms a frame), %d of %d frames read, "
            "peak resident memory %.1f MB\n",
            reading, frameCount / reading, 1000.0 * reading / frameCount, read, frameCount, megabytes(peakKb));
        const double starting = startTime();
        std::printf(
            "  reader / decoding, in frames/s: %.2f; without the reader's start (%.2f s, vesmira-read --help): "
            "%.2f\n",
            decoding / reading, starting, decoding / (reading - starting));
        std::printf("  load average after: %s\n", loadAverage().c_str());
    }
    searchedAgainstTracked(videos.front().first, scenario);
    return 0;
}

// Runs a benchmark in a temporary folder, removed afterwards; its status,
// or 1 when it failed.
int inTemporaryFolder(const std::function<int(const std::string&)>& benchmarkIn)
{
    photo_model::keepFreedMemory();
    char dir[] = "/tmp/vesmira-read-benchmark-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        (void)std::fputs("vesmira-read-benchmark: cannot create a temporary folder\n", stderr);
        return 1;
    }
    int status = 1;
    try {
        status = benchmarkIn(dir);
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "vesmira-read-benchmark: %s\n", error.what());
    }
    std::filesystem::remove_all(dir);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--video") {
        const int frames = argc > 2 ? std::atoi(argv[2]) : 300;  // NOLINT(cert-err34-c): checked below
        if (argc > 4 || frames < 2) {
            (void)std::fputs("usage: vesmira-read-benchmark --video [FRAMES [KEEP_DIR]]  (at least 2 frames)\n",
                             stderr);
            return 2;
        }
        if (argc == 4) {
            photo_model::keepFreedMemory();
            std::filesystem::create_directories(argv[3]);
            try {
                return videoBenchmark(frames, argv[3]);
            } catch (const std::exception& error) {
                (void)std::fprintf(stderr, "vesmira-read-benchmark: %s\n", error.what());
                return 1;
            }
        }
        return inTemporaryFolder([frames](const std::string& dir) { return videoBenchmark(frames, dir); });
    }
    if (argc > 1 && std::string(argv[1]) == "--heic") {
        const int photos = argc > 2 ? std::atoi(argv[2]) : 10;  // NOLINT(cert-err34-c): checked below
        if (argc > 3 || photos < 2) {
            (void)std::fputs("usage: vesmira-read-benchmark --heic [PHOTOS]  (at least 2)\n", stderr);
            return 2;
        }
        return inTemporaryFolder([photos](const std::string& dir) { return heicBenchmark(photos, dir); });
    }
    const int count = argc > 1 ? std::atoi(argv[1]) : 20;         // NOLINT(cert-err34-c): checked below
    const int memoryCount = argc > 2 ? std::atoi(argv[2]) : 100;  // NOLINT(cert-err34-c)
    if (argc > 3 || count < 2 || memoryCount < 2) {
        (void)std::fputs("usage: vesmira-read-benchmark [PHOTOS [MEMORY_PHOTOS]]  (each at least 2)\n", stderr);
        return 2;
    }
    return inTemporaryFolder(
        [count, memoryCount](const std::string& dir) { return benchmark(count, memoryCount, dir); });
}
