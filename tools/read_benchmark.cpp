// vesmira-read-benchmark [PHOTOS [MEMORY_PHOTOS]]
//
// How reading compares with decoding, and whether memory stays flat:
//  - makes PHOTOS (default 20) photos of 4000 x 3000 with the photo model
//    (a monitor pair at 1920x1080, 60 Hz) in a temporary folder;
//  - in one run, times cv::imread decoding all of them, vesmira-read
//    --json reading the same files, and cv::imread again, and prints the
//    reader's time divided by the mean of the two decoding times;
//  - runs vesmira-read over MEMORY_PHOTOS (default 100) such photos and
//    over 2, and prints the peak resident memory of each run (the child's
//    own ru_maxrss, from wait4).
// Captures the pattern's frames first if the build has none yet.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "photo_model.h"

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

// Runs a program to its end with stdout thrown away; its exit status, and
// its peak resident memory in kB.
int runChild(const std::vector<std::string>& argv, long* peakKb)
{
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    pointers.reserve(args.size() + 1);
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return -1;
    }
    *peakKb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> readerCommand(const photo_model::Scenario& scenario, const std::vector<std::string>& photos)
{
    std::vector<std::string> argv = {VESMIRA_READ_BINARY, "--json", std::to_string(scenario.mode.width),
                                     std::to_string(scenario.mode.height), std::to_string(scenario.mode.rate)};
    argv.insert(argv.end(), photos.begin(), photos.end());
    return argv;
}

// Writes count photos into dir; their paths.
std::vector<std::string> makePhotos(const photo_model::Scenario& scenario, int count, const std::string& dir)
{
    const std::string frameDir = std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(scenario.mode);
    std::filesystem::create_directories(PATTERN_FRAMES_DIR);
    long unused = 0;
    if (runChild({VESMIRA_FRAMES_BINARY, "--keep", frameDir, std::to_string(scenario.mode.width),
                  std::to_string(scenario.mode.height), std::to_string(scenario.mode.rate)},
                 &unused) != 0) {
        throw std::runtime_error("could not capture the pattern's frames into " + frameDir);
    }
    const photo_model::PatternFrames frames = photo_model::loadPatternFrames(frameDir);
    std::mt19937 random(scenario.seed);
    std::vector<std::string> paths;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const photo_model::ModelPhoto photo = photo_model::makePhoto(frames, scenario, random);
        const std::vector<unsigned char> jpeg = photo_model::encodeJpeg(photo.image, scenario.camera.jpegQuality);
        paths.push_back(dir + "/photo-" + std::to_string(i + 1) + ".jpg");
        std::ofstream(paths.back(), std::ios::binary)
            .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
    std::printf("made %d photos of %dx%d in %.1f s (%.0f ms each, JPEG included)\n", count, scenario.camera.width,
                scenario.camera.height, secondsSince(start), 1000.0 * secondsSince(start) / count);
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

int benchmark(int count, int memoryCount, const std::string& dir)
{
    const photo_model::Scenario scenario =
        photo_model::withPhotoWidth(photo_model::standardScenarios().front(), PHOTO_WIDTH);
    const std::vector<std::string> photos = makePhotos(scenario, std::max(count, memoryCount), dir);
    const std::vector<std::string> timed(photos.begin(), photos.begin() + count);

    // Both read the files from the page cache: decode once untimed first.
    decodeAll(timed);
    const double decodeBefore = decodeAll(timed);
    long peakKb = 0;
    const Clock::time_point start = Clock::now();
    const int status = runChild(readerCommand(scenario, timed), &peakKb);
    const double reading = secondsSince(start);
    const double decodeAfter = decodeAll(timed);
    if (status != 0) {
        (void)std::fprintf(stderr, "vesmira-read ended with status %d\n", status);
        return 1;
    }
    const double decoding = (decodeBefore + decodeAfter) / 2.0;
    std::printf("%d photos of %dx%d, %u cores\n", count, scenario.camera.width, scenario.camera.height,
                std::thread::hardware_concurrency());
    std::printf("cv::imread, all photos:   %.2f s and %.2f s (%.0f ms a photo)\n", decodeBefore, decodeAfter,
                1000.0 * decoding / count);
    std::printf("vesmira-read, all photos: %.2f s (%.0f ms a photo)\n", reading, 1000.0 * reading / count);
    std::printf("reader / imread: %.2f (the reader's peak resident memory %.1f MB)\n", reading / decoding,
                megabytes(peakKb));

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

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 20;         // NOLINT(cert-err34-c): checked below
    const int memoryCount = argc > 2 ? std::atoi(argv[2]) : 100;  // NOLINT(cert-err34-c)
    if (argc > 3 || count < 2 || memoryCount < 2) {
        (void)std::fputs("usage: vesmira-read-benchmark [PHOTOS [MEMORY_PHOTOS]]  (each at least 2)\n", stderr);
        return 2;
    }
    photo_model::keepFreedMemory();
    char dir[] = "/tmp/vesmira-read-benchmark-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        (void)std::fputs("vesmira-read-benchmark: cannot create a temporary folder\n", stderr);
        return 1;
    }
    int status = 1;
    try {
        status = benchmark(count, memoryCount, dir);
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "vesmira-read-benchmark: %s\n", error.what());
    }
    std::filesystem::remove_all(dir);
    return status;
}
