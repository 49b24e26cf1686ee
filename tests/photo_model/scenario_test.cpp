// The real vesmira-read on photos made by the photo model, scenario by
// scenario: every photo must be read (but for those where an overscanning
// screen hides the bar, which must be refused as such), each within one
// frame of the truth, and the set's mean within 0.35 frame of it, in whole
// columns and in the sub-frame reading; where both screens scan their rows
// out, the sub-frame mean within 2 ms and two photos in three within 4 ms. The photos (JPEG), their
// truth (truth.json) and the result line stay in the build folder, under
// scenarios/NAME, for a look when a scenario fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "photo_model.h"
#include "process.h"

namespace {

constexpr int READ_TIMEOUT_MS = 600000;

#ifdef SANITIZER_BUILD
// Every scenario, with the fewest photos allowed and smaller ones: the
// instrumented reader is several times slower.
constexpr int PHOTO_COUNT = 12;
constexpr int PHOTO_WIDTH = 1200;
constexpr int LARGE_PHOTO_COUNT = 3;
#else
constexpr int PHOTO_COUNT = 16;
constexpr int PHOTO_WIDTH = 1600;
constexpr int LARGE_PHOTO_COUNT = 12;
#endif
// 4000x3000, a phone's 12 megapixels.
constexpr int LARGE_PHOTO_WIDTH = 4000;
// The screens' outlines within this share of the photo's width.
constexpr double OUTLINE_TOLERANCE = 0.01;

photo_model::Scenario scenarioNamed(const std::string& name)
{
    for (const photo_model::Scenario& scenario : photo_model::standardScenarios()) {
        if (scenario.name == name) {
            photo_model::Scenario adapted = photo_model::withPhotoWidth(scenario, PHOTO_WIDTH);
            adapted.photoCount = PHOTO_COUNT;
            // An overscanning screen hides its outer columns from some
            // photos; more are taken so that enough show the bar.
            if (adapted.reference.overscan > 0.0 || adapted.device.overscan > 0.0) {
                adapted.photoCount += PHOTO_COUNT / 2;
            }
            return adapted;
        }
    }
    throw std::invalid_argument("no scenario " + name);
}

std::vector<std::string> scenarioNames()
{
    std::vector<std::string> names;
    for (const photo_model::Scenario& scenario : photo_model::standardScenarios()) {
        names.push_back(scenario.name);
    }
    return names;
}

nlohmann::json quadJson(const photo_model::Quad& quad)
{
    nlohmann::json corners = nlohmann::json::array();
    for (const cv::Point2d& p : quad) {
        corners.push_back({p.x, p.y});
    }
    return corners;
}

// Writes the photos and their truth; returns the paths.
std::vector<std::string> writePhotos(const photo_model::Scenario& scenario, const std::string& dir)
{
    const photo_model::PatternFrames frames =
        photo_model::loadPatternFrames(std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(scenario.mode));
    photo_model::keepFreedMemory();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::mt19937 random(scenario.seed);
    std::vector<std::string> paths;
    nlohmann::json truth = {{"scenario", scenario.name},
                            {"truth_lag_ms", photo_model::truthLagMs(scenario)},
                            {"truth_lag_frames", photo_model::truthLagFrames(scenario)},
                            {"photos", nlohmann::json::array()}};
    for (int i = 0; i < scenario.photoCount; ++i) {
        const photo_model::ModelPhoto photo = photo_model::makePhoto(frames, scenario, random);
        char name[32];
        (void)std::snprintf(name, sizeof name, "/photo-%02d.jpg", i + 1);
        const std::string path = dir + name;
        const std::vector<unsigned char> jpeg = photo_model::encodeJpeg(photo.image, scenario.camera.jpegQuality);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
        paths.push_back(path);
        truth["photos"].push_back({{"file", path},
                                   {"moment_ms", photo.momentMs},
                                   {"reference_clock", photo.reference.clockFrames},
                                   {"reference_column", photo.reference.column()},
                                   {"device_clock", photo.device.clockFrames},
                                   {"device_column", photo.device.column()},
                                   {"screens", {quadJson(photo.reference.quad), quadJson(photo.device.quad)}}});
    }
    std::ofstream(dir + "/truth.json") << truth.dump(2) << "\n";
    return paths;
}

// Whether a screen that overscans shows all of a column: a bar in a column
// it hides, or only shows a sliver of, cannot be read, and the reader must
// say so rather than guess.
bool columnShown(const photo_model::DisplayModel& display, const photo_model::Mode& mode, int column)
{
    // The pattern's columns are whole pixels wide.
    const int step = mode.width / photo_model::COLUMN_COUNT;
    const double cut = display.overscan * mode.width;
    return column * step >= cut && (column + 1) * step <= mode.width - cut;
}

// The bar is readable when the newest frame's column and the one before
// are both shown (the photo may catch the screen between the two).
bool barShown(const photo_model::DisplayModel& display, const photo_model::Mode& mode, int newest)
{
    const int previous = (newest + photo_model::COLUMN_COUNT - 1) % photo_model::COLUMN_COUNT;
    return columnShown(display, mode, newest) && columnShown(display, mode, previous);
}

// Errors of a set's readings against the truth, in ms.
struct Errors {
    std::vector<double> values;
    void add(double error) { values.push_back(error); }
    double mean() const
    {
        double sum = 0.0;
        for (const double v : values) {
            sum += v;
        }
        return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
    }
    int within(double limit) const
    {
        return static_cast<int>(
            std::count_if(values.begin(), values.end(), [limit](double v) { return std::abs(v) <= limit; }));
    }
};

// How far the screens' outlines that a photo's reading gives lie from the
// true ones, at the worst corner, in photo pixels.
double outlineError(const nlohmann::json& readScreens, const nlohmann::json& trueScreens)
{
    double worst = 0.0;
    for (size_t screen = 0; screen < 2; ++screen) {
        for (size_t corner = 0; corner < 4; ++corner) {
            const nlohmann::json& read = readScreens.at(screen).at(corner);
            const nlohmann::json& truth = trueScreens.at(screen).at(corner);
            worst = std::max(worst, std::hypot(read.at(0).get<double>() - truth.at(0).get<double>(),
                                               read.at(1).get<double>() - truth.at(1).get<double>()));
        }
    }
    return worst;
}

// Reads a scenario's set of photos with the real vesmira-read and checks
// it against the truth; at least leastRead photos must be read.
void checkSet(const photo_model::Scenario& scenario, int leastRead)
{
    const std::string dir = std::string(SCENARIO_OUTPUT_DIR) + "/" + scenario.name;
    const std::vector<std::string> paths = writePhotos(scenario, dir);
    const double truthFrames = photo_model::truthLagFrames(scenario);
    const double truthMs = photo_model::truthLagMs(scenario);
    const double period = scenario.mode.periodMs();

    std::vector<std::string> argv = {"vesmira-read", "--json", "--reference",
                                     photo_model::placementName(scenario.placement)};
    // The camera's readout time, as its user would have measured it.
    if (scenario.camera.readoutMs > 0.0) {
        argv.insert(argv.end(), {"--readout", std::to_string(scenario.camera.readoutMs)});
    }
    argv.insert(argv.end(), {std::to_string(scenario.mode.width), std::to_string(scenario.mode.height),
                             std::to_string(scenario.mode.rate)});
    argv.insert(argv.end(), paths.begin(), paths.end());
    const ProcessResult run = runProcess(VESMIRA_READ_BINARY, argv, {}, READ_TIMEOUT_MS);
    ASSERT_FALSE(run.timedOut) << "vesmira-read took longer than " << READ_TIMEOUT_MS / 1000 << " s";
    ASSERT_TRUE(run.exited) << "vesmira-read ended by signal " << run.termSignal << ": " << run.err;
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    nlohmann::json result;
    try {
        result = nlohmann::json::parse(run.out);
    } catch (const nlohmann::json::exception& error) {
        FAIL() << "the output is not JSON (" << error.what() << "): " << run.out.substr(0, 400);
    }
    ASSERT_TRUE(result.contains("photos") && result["photos"].is_array()) << run.out.substr(0, 400);
    ASSERT_EQ(result["photos"].size(), paths.size());

    const nlohmann::json truth = nlohmann::json::parse(std::ifstream(dir + "/truth.json"));
    // Whole columns: every photo within a frame, the set's mean within a
    // third. Not for stacked screens under a rolling shutter, which shows
    // the lower screen later: only the readout time takes that back, and
    // the column reading does not use it.
    const bool columnsAccurate =
        scenario.camera.readoutMs <= 0.0 ||
        (scenario.placement != photo_model::Placement::Top && scenario.placement != photo_model::Placement::Bottom);
    // Both screens scan their rows out: the sub-frame reading's goal.
    const bool bothScan = scenario.reference.scanFraction > 0.0 && scenario.device.scanFraction > 0.0;
    int read = 0;
    int hidden = 0;
    int coarse = 0;
    double worstOutline = 0.0;
    Errors columns;
    Errors subFrame;
    for (size_t i = 0; i < paths.size(); ++i) {
        const nlohmann::json& photo = result["photos"][i];
        const nlohmann::json& expected = truth["photos"][i];
        EXPECT_EQ(photo.value("file", ""), paths[i]);
        const bool ok = photo.value("ok", false);
        const bool readable = barShown(scenario.reference, scenario.mode, expected["reference_column"].get<int>()) &&
                              barShown(scenario.device, scenario.mode, expected["device_column"].get<int>());
        if (!ok) {
            const std::string error = photo.value("error", std::string("no error given"));
            EXPECT_FALSE(readable) << paths[i] << ": " << error;
            if (!readable) {
                ++hidden;
                EXPECT_NE(error.find("overscan"), std::string::npos) << paths[i] << ": " << error;
            }
            continue;
        }
        ++read;
        const double lagFrames = photo.at("lag_frames").get<double>();
        const double lagMs = photo.at("lag_ms").get<double>();
        const double columnsMs = photo.at("lag_ms_columns").get<double>();
        EXPECT_NEAR(lagMs, lagFrames * period, 0.05) << paths[i];
        EXPECT_NEAR(columnsMs / period, std::round(columnsMs / period), 1e-3) << paths[i] << ": whole frames";
        coarse += photo.at("coarse").get<bool>() ? 1 : 0;
        const std::string detail = " (reference column " + std::to_string(photo.value("reference_column", -1)) +
                                   ", device column " + std::to_string(photo.value("device_column", -1)) +
                                   "; newest at the photo's moment: reference " + expected["reference_column"].dump() +
                                   ", device " + expected["device_column"].dump() + ")";
        // The outlines come from a copy of at most 1024 pixels: a few
        // photo pixels off, in the photo's own pixels however it was decoded.
        const double outlineMiss = outlineError(photo.at("screens"), expected.at("screens"));
        worstOutline = std::max(worstOutline, outlineMiss);
        EXPECT_LE(outlineMiss, OUTLINE_TOLERANCE * scenario.camera.width)
            << paths[i] << ": the screens' outlines, " << photo.at("screens").dump() << ", against the truth, "
            << expected.at("screens").dump();
        subFrame.add(lagMs - truthMs);
        EXPECT_LE(std::abs(lagMs - truthMs), period) << paths[i] << ": sub-frame lag " << lagMs << " ms" << detail;
        columns.add(columnsMs - truthMs);
        if (columnsAccurate) {
            EXPECT_LE(std::abs(columnsMs - truthMs), period)
                << paths[i] << ": whole-column lag " << columnsMs << " ms" << detail;
        }
    }

    // Every photo that shows both bars, and no fewer than a set needs.
    EXPECT_EQ(read + hidden, static_cast<int>(paths.size()));
    EXPECT_GE(read, leastRead);
    char line[700];
    (void)std::snprintf(line, sizeof line,
                        "scenario %s (%dx%d): truth %.2f ms = %.3f frames; read %d of %zu (%d refused: the overscan "
                        "hides the bar); whole columns: mean error %+.2f ms (%+.3f frames), %d of %d within a frame; "
                        "sub-frame (%d coarse): mean error %+.2f ms, %d of %d within 4 ms, %d within a frame; outlines "
                        "within %.1f px",
                        scenario.name.c_str(), scenario.camera.width, scenario.camera.height, truthMs, truthFrames,
                        read, paths.size(), hidden, columns.mean(), columns.mean() / period, columns.within(period),
                        read, coarse, subFrame.mean(), subFrame.within(4.0), read, subFrame.within(period),
                        worstOutline);
    if (read > 0) {
        EXPECT_LE(std::abs(subFrame.mean()) / period, 0.35) << "the set's sub-frame mean is off the truth";
        if (columnsAccurate) {
            EXPECT_LE(std::abs(columns.mean()) / period, 0.35) << "the set's whole-column mean is off the truth";
        }
        if (bothScan) {
            EXPECT_LE(std::abs(subFrame.mean()), 2.0) << "both screens scan: the mean within 2 ms";
            EXPECT_GE(3 * subFrame.within(4.0), 2 * read) << "both screens scan: two photos in three within 4 ms";
        }
        const nlohmann::json& summary = result.at("summary");
        EXPECT_EQ(summary.at("photos_read").get<int>(), read);
        EXPECT_NEAR(summary.at("lag_ms_mean").get<double>(), truthMs + subFrame.mean(), 0.01);
    }
    std::printf("%s\n", line);
    std::ofstream(dir + "/result.txt") << line << "\n";
}

class Scenario : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenario, EveryPhotoIsReadWithinAFrameOfTheTruthAndTheMeanWithinAThird)
{
    checkSet(scenarioNamed(GetParam()), PHOTO_COUNT);
}

// A phone's 12-megapixel photos are decoded at half their size: the
// reading is as accurate, and its outlines are in the photo's own pixels.
TEST(LargePhotos, AreReadAsAccuratelyInTheirOwnPixels)
{
    photo_model::Scenario scenario =
        photo_model::withPhotoWidth(photo_model::standardScenarios().front(), LARGE_PHOTO_WIDTH);
    scenario.name += "-" + std::to_string(LARGE_PHOTO_WIDTH) + "px";
    scenario.photoCount = LARGE_PHOTO_COUNT;
    checkSet(scenario, LARGE_PHOTO_COUNT);
}

// Test names take letters, digits and underscores only.
std::string testName(const ::testing::TestParamInfo<std::string>& scenario)
{
    std::string name = scenario.param;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Standard, Scenario, ::testing::ValuesIn(scenarioNames()), testName);

}  // namespace
