// vesmira-model-photos FRAMES OUTDIR [--count N] [--width W]
//                      [--video FRAMES_240FPS [--lag-change MS]] [SCENARIO...]
//
// Writes photos made by the photo model, as JPEG, for a look or for the
// README's samples: N photos (default 2) of each named scenario, standard
// or of the displays' light (default all), W pixels wide (default the scenario's camera). FRAMES is
// the folder with one folder of captured frames per mode (vesmira-frames).
// Prints the truth of each photo. With --video, writes instead a 240 fps
// video (MJPG, .avi) of that many frames per scenario, the device lagging
// MS more from its middle frame on.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "photo_model.h"

namespace {

int usage()
{
    (void)std::fputs(
        "usage: vesmira-model-photos FRAMES OUTDIR [--count N] [--width W] [--video FRAMES [--lag-change MS]] "
        "[SCENARIO...]\n",
        stderr);
    return 2;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        return usage();
    }
    int count = 2;
    int width = 0;
    int videoFrames = 0;
    double lagChange = 0.0;
    std::vector<std::string> names;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--lag-change" && i + 1 < args.size()) {
            lagChange = std::atof(args[i + 1].c_str());  // NOLINT(cert-err34-c): any number will do
            ++i;
        } else if ((args[i] == "--count" || args[i] == "--width" || args[i] == "--video") && i + 1 < args.size()) {
            const int value = std::atoi(args[i + 1].c_str());  // NOLINT(cert-err34-c): checked below
            if (value <= 0) {
                return usage();
            }
            (args[i] == "--count" ? count : (args[i] == "--width" ? width : videoFrames)) = value;
            ++i;
        } else {
            names.push_back(args[i]);
        }
    }
    photo_model::keepFreedMemory();
    std::map<std::string, photo_model::PatternFrames> framesOfMode;
    int written = 0;
    double renderSeconds = 0.0;
    // The frames cannot be loaded, the model or OpenCV cannot write: said, not
    // an abort.
    try {
        std::vector<photo_model::Scenario> scenarios = photo_model::standardScenarios();
        const std::vector<photo_model::Scenario> light = photo_model::lightScenarios();
        scenarios.insert(scenarios.end(), light.begin(), light.end());
        for (photo_model::Scenario scenario : scenarios) {
            if (!names.empty() && std::find(names.begin(), names.end(), scenario.name) == names.end()) {
                continue;
            }
            if (width > 0) {
                scenario = photo_model::withPhotoWidth(scenario, width);
            }
            const std::string mode = photo_model::modeName(scenario.mode);
            if (framesOfMode.count(mode) == 0) {
                framesOfMode[mode] = photo_model::loadPatternFrames(args[0] + "/" + mode);
            }
            std::mt19937 random(scenario.seed);
            std::printf("%s: %s, reference %s, truth %.2f ms = %.3f frames\n", scenario.name.c_str(), mode.c_str(),
                        photo_model::placementName(scenario.placement), photo_model::truthLagMs(scenario),
                        photo_model::truthLagFrames(scenario));
            if (videoFrames > 0) {
                photo_model::VideoSettings settings;
                settings.frameCount = videoFrames;
                settings.lagChangeMs = lagChange;
                const std::string path = args[1] + "/" + scenario.name + ".avi";
                const auto begin = std::chrono::steady_clock::now();
                const std::vector<photo_model::VideoFrameTruth> truths =
                    photo_model::writeVideo(framesOfMode[mode], scenario, settings, path, random);
                renderSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                written += videoFrames;
                std::printf("  %s: %d frames at 240 fps, truth %.2f ms, from frame %d %.2f ms\n", path.c_str(),
                            videoFrames, truths.front().truthLagMs, videoFrames / 2, truths.back().truthLagMs);
                continue;
            }
            for (int i = 0; i < count; ++i) {
                const auto begin = std::chrono::steady_clock::now();
                const photo_model::ModelPhoto photo = photo_model::makePhoto(framesOfMode[mode], scenario, random);
                renderSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                char name[64];
                (void)std::snprintf(name, sizeof name, "/%s-%02d.jpg", scenario.name.c_str(), i + 1);
                const std::string path = args[1] + name;
                if (!writeFile(path, photo_model::encodeJpeg(photo.image, scenario.camera.jpegQuality,
                                                             scenario.camera.exposureMs))) {
                    (void)std::fprintf(stderr, "vesmira-model-photos: cannot write %s\n", path.c_str());
                    return 1;
                }
                ++written;
                std::printf("  %s  reference clock %.3f (column %d), device clock %.3f (column %d)\n", path.c_str(),
                            photo.reference.clockFrames, photo.reference.column(), photo.device.clockFrames,
                            photo.device.column());
            }
        }
        if (written == 0) {
            return usage();
        }
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "vesmira-model-photos: %s\n", error.what());
        return 1;
    }
    std::printf("%d %s, %.1f ms each to render\n", written, videoFrames > 0 ? "video frames" : "photos",
                1000.0 * renderSeconds / written);
    return 0;
}
