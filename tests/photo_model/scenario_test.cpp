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
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>

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
// HEIC photos, and how near their set's mean comes to that of the same
// photos as JPEG: both codecs blur the bar's edges a little differently.
constexpr int HEIC_PHOTO_COUNT = 8;
constexpr double HEIC_TWIN_MS = 0.5;
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

// How the camera stores its photos.
enum class Format { Jpeg, Heic };

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Writes the photos and their truth; returns the paths.
std::vector<std::string> writePhotos(const photo_model::Scenario& scenario, const std::string& dir, Format format)
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
        (void)std::snprintf(name, sizeof name, "/photo-%02d.%s", i + 1, format == Format::Heic ? "heic" : "jpg");
        const std::string path = dir + name;
        const photo_model::CameraModel& camera = scenario.camera;
        writeBytes(path, format == Format::Heic
                             ? photo_model::encodeHeic(photo.image, camera.heicQuality, camera.exposureMs)
                             : photo_model::encodeJpeg(photo.image, camera.jpegQuality, camera.exposureMs));
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

// What a set's reading came to.
struct SetResult {
    int read = 0;
    double meanErrorMs = 0.0;
    // The reader's summary, as JSON text.
    std::string summary;
};

const char* lightName(const photo_model::DisplayModel& display)
{
    switch (display.light) {
        case photo_model::Light::Scanning:
            return display.scanFraction > 0.0 ? "scanning" : "all-rows";
        case photo_model::Light::AllRows:
            return "all-rows";
        case photo_model::Light::Strobed:
            return "strobed";
        case photo_model::Light::Impulse:
            return "impulse";
    }
    return "";
}

// Reads a scenario's set of photos with the real vesmira-read and checks
// it against the truth; at least leastRead photos must be read. A photo
// may be refused for its screens' light only where lightRefusals, and then
// the refusal must name the exposure that would do.
void checkSet(const photo_model::Scenario& scenario, int leastRead, Format format = Format::Jpeg,
              SetResult* outcome = nullptr, bool lightRefusals = false)
{
    const std::string dir = std::string(SCENARIO_OUTPUT_DIR) + "/" + scenario.name;
    const std::vector<std::string> paths = writePhotos(scenario, dir, format);
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
    // Both screens scan their rows out and hold them: the sub-frame
    // reading's goal.
    const auto scans = [](const photo_model::DisplayModel& display) {
        return display.light == photo_model::Light::Scanning && display.scanFraction > 0.0;
    };
    const bool bothScan = scans(scenario.reference) && scans(scenario.device);
    const bool strobed = scenario.device.light == photo_model::Light::Strobed;
    int refusedForLight = 0;
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
            if (lightRefusals && error.find("expose for") != std::string::npos) {
                ++refusedForLight;
                continue;
            }
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
        // The camera's exposure time, from the photo's EXIF block.
        EXPECT_NEAR(photo.at("exposure_ms").get<double>(), scenario.camera.exposureMs, 1e-3) << paths[i];
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
    EXPECT_EQ(read + hidden + refusedForLight, static_cast<int>(paths.size()));
    EXPECT_GE(read, leastRead);
    char line[700];
    (void)std::snprintf(line, sizeof line,
                        "scenario %s (%dx%d): truth %.2f ms = %.3f frames; read %d of %zu (%d refused: the overscan "
                        "hides the bar); whole columns: mean error %+.2f ms (%+.3f frames), %d of %d within a frame; "
                        "sub-frame (%d coarse): mean error %+.2f ms, %d of %d within 4 ms, %d within a frame; outlines "
                        "within %.1f px; %d refused for their light",
                        scenario.name.c_str(), scenario.camera.width, scenario.camera.height, truthMs, truthFrames,
                        read, paths.size(), hidden, columns.mean(), columns.mean() / period, columns.within(period),
                        read, coarse, subFrame.mean(), subFrame.within(4.0), read, subFrame.within(period),
                        worstOutline, refusedForLight);
    if (read > 0) {
        EXPECT_LE(std::abs(subFrame.mean()) / period, 0.35) << "the set's sub-frame mean is off the truth";
        // The brightest column is a pulse's or a flash's frame, not the
        // lag's: only held light keeps the columns' mean near the truth.
        if (columnsAccurate && !lightRefusals) {
            EXPECT_LE(std::abs(columns.mean()) / period, 0.35) << "the set's whole-column mean is off the truth";
        }
        if (bothScan) {
            EXPECT_LE(std::abs(subFrame.mean()), 2.0) << "both screens scan: the mean within 2 ms";
            EXPECT_GE(3 * subFrame.within(4.0), 2 * read) << "both screens scan: two photos in three within 4 ms";
        }
        if (strobed) {
            EXPECT_LE(std::abs(subFrame.mean()), 2.0) << "a strobed device: the mean within 2 ms";
        }
        const nlohmann::json& summary = result.at("summary");
        // Each screen's light as the series tells it.
        EXPECT_EQ(summary.at("screens").at("reference").at("light"), lightName(scenario.reference));
        EXPECT_EQ(summary.at("screens").at("device").at("light"), lightName(scenario.device));
        EXPECT_EQ(summary.at("photos_read").get<int>(), read);
        EXPECT_NEAR(summary.at("lag_ms_mean").get<double>(), truthMs + subFrame.mean(), 0.01);
    }
    std::printf("%s\n", line);
    std::ofstream(dir + "/result.txt") << line << "\n";
    if (outcome != nullptr) {
        *outcome = SetResult{read, subFrame.mean(), result.at("summary").dump()};
    }
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

// Phones save HEIC. The same photos read as HEIC as they do as JPEG, and a
// HEIC that cannot be read says why, in one run of the reader beside a
// GIF, which is said to be one.
TEST(Heic, PhotosReadAsTheirJpegTwinsAndBrokenOnesSayWhy)
{
    photo_model::Scenario scenario = scenarioNamed("monitor-pair-60");
    scenario.photoCount = HEIC_PHOTO_COUNT;
    const std::string name = scenario.name;
    SetResult jpeg;
    scenario.name = name + "-jpeg";
    checkSet(scenario, HEIC_PHOTO_COUNT, Format::Jpeg, &jpeg);
    SetResult heic;
    scenario.name = name + "-heic";
    checkSet(scenario, HEIC_PHOTO_COUNT, Format::Heic, &heic);
    EXPECT_EQ(heic.read, jpeg.read);
    EXPECT_NEAR(heic.meanErrorMs, jpeg.meanErrorMs, HEIC_TWIN_MS) << "the HEIC set's mean against the JPEG set's";

    const std::string dir = std::string(SCENARIO_OUTPUT_DIR) + "/" + scenario.name;
    const std::string first = dir + "/photo-01.heic";
    std::ifstream in(first, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 1000U);
    writeBytes(dir + "/empty.heic", {});
    writeBytes(dir + "/cut.heic", std::vector<unsigned char>(
                                      bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2)));
    // The image's declared size, in its ispe property: version and flags,
    // then width and height.
    std::vector<unsigned char> huge = bytes;
    const std::string ispe = "ispe";
    const auto at = std::search(huge.begin(), huge.end(), ispe.begin(), ispe.end());
    ASSERT_NE(at, huge.end());
    for (const int offset : {8, 12}) {
        const std::array<unsigned char, 4> size = {0x00, 0x00, 0x4E, 0x20};  // 20000
        std::copy(size.begin(), size.end(), at + offset);
    }
    writeBytes(dir + "/huge.heic", huge);
    const std::string gif("GIF89a\x10\x00\x10\x00\x80\x00\x00", 13);
    writeBytes(dir + "/anim.gif", std::vector<unsigned char>(gif.begin(), gif.end()));
    // The first photo stored turned a quarter anticlockwise, with the
    // property that turns it back upright when shown.
    const photo_model::PatternFrames frames =
        photo_model::loadPatternFrames(std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(scenario.mode));
    std::mt19937 random(scenario.seed);
    const photo_model::ModelPhoto photo = photo_model::makePhoto(frames, scenario, random);
    cv::Mat stored;
    cv::rotate(photo.image, stored, cv::ROTATE_90_COUNTERCLOCKWISE);
    constexpr int TURN_CLOCKWISE = 6;
    writeBytes(dir + "/turned.heic", photo_model::encodeHeic(stored, scenario.camera.heicQuality,
                                                             scenario.camera.exposureMs, TURN_CLOCKWISE));

    const ProcessResult run =
        runProcess(VESMIRA_READ_BINARY,
                   {"vesmira-read", "--json", "1920", "1080", "60", dir + "/empty.heic", dir + "/cut.heic",
                    dir + "/huge.heic", dir + "/anim.gif", dir + "/turned.heic"},
                   {}, READ_TIMEOUT_MS);
    ASSERT_TRUE(run.exited && run.exitStatus == 0) << run.err;
    const nlohmann::json photos = nlohmann::json::parse(run.out).at("photos");
    ASSERT_EQ(photos.size(), 5U) << run.out;
    EXPECT_EQ(photos[0].value("error", ""), "the file is empty");
    EXPECT_EQ(photos[1].value("error", "").rfind("truncated HEIC", 0), 0U) << photos[1];
    EXPECT_NE(photos[2].value("error", "").find("20000x20000 pixels"), std::string::npos) << photos[2];
    EXPECT_EQ(photos[3].value("error", ""),
              "the file is a GIF, which the reader does not read: photos must be JPEG, PNG or HEIC");
    ASSERT_TRUE(photos[4].value("ok", false)) << photos[4];
    const nlohmann::json truth = nlohmann::json::parse(std::ifstream(dir + "/truth.json")).at("photos").at(0);
    EXPECT_LE(outlineError(photos[4].at("screens"), truth.at("screens")), OUTLINE_TOLERANCE * scenario.camera.width)
        << photos[4].at("screens") << " against " << truth.at("screens");
    EXPECT_LE(std::abs(photos[4].at("lag_ms").get<double>() - photo_model::truthLagMs(scenario)),
              scenario.mode.periodMs());
    EXPECT_NEAR(photos[4].at("exposure_ms").get<double>(), scenario.camera.exposureMs, 1e-3);
}

// A screen whose light misses part of the exposure: a CRT reference at
// 1/250 s lights only the band of rows its beam passed, a strobed device is
// dark between its pulses. Photos whose screens show the grid are read;
// every other is refused naming the screen and the exposure that would
// show it. (How far a CRT's band or a strobe's pulse puts the screen's
// moment from the photo's is the series' work, checked with the sets.)
TEST(PartlyLit, ScreensAreReadOrRefusedNamingTheScreenAndTheExposure)
{
    for (const auto& [name, dim, exposure] :
         {std::tuple{"crt-reference-4ms", "the reference screen", "1/75 s at 75 Hz"},
          std::tuple{"strobed-144", "the device screen", "1/144 s at 144 Hz"}}) {
        photo_model::Scenario scenario;
        for (const photo_model::Scenario& light : photo_model::lightScenarios()) {
            if (light.name == name) {
                scenario = photo_model::withPhotoWidth(light, PHOTO_WIDTH);
            }
        }
        ASSERT_EQ(scenario.name, name);
        scenario.photoCount = PHOTO_COUNT;
        // Its own folder: the set of the same name may be written beside it.
        const std::string dir = std::string(SCENARIO_OUTPUT_DIR) + "/" + scenario.name + "-partly-lit";
        const std::vector<std::string> paths = writePhotos(scenario, dir, Format::Jpeg);
        std::vector<std::string> argv = {"vesmira-read", "--json", std::to_string(scenario.mode.width),
                                         std::to_string(scenario.mode.height), std::to_string(scenario.mode.rate)};
        argv.insert(argv.end(), paths.begin(), paths.end());
        const ProcessResult run = runProcess(VESMIRA_READ_BINARY, argv, {}, READ_TIMEOUT_MS);
        ASSERT_TRUE(run.exited && run.exitStatus == 0) << run.err;
        const nlohmann::json photos = nlohmann::json::parse(run.out).at("photos");
        ASSERT_EQ(photos.size(), paths.size());
        int read = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (!photos[i].value("ok", false)) {
                const std::string error = photos[i].value("error", "");
                EXPECT_NE(error.find(dim), std::string::npos) << paths[i] << ": " << error;
                EXPECT_NE(error.find(std::string("expose for at least one frame (") + exposure + ")"),
                          std::string::npos)
                    << paths[i] << ": " << error;
                continue;
            }
            ++read;
        }
        // Both sets have photos whose screens are lit where the pattern is read.
        EXPECT_GE(4 * read, PHOTO_COUNT) << name;
        std::printf("%s: %d of %zu read\n", name, read, paths.size());
    }
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

// Displays whose light is not held (a CRT, a strobed backlight, every row
// at once), a panel that scans out in half a frame, cameras that glare,
// shake and expose long: each set read within the same bounds, photos
// refused for their light told what exposure would do, and the light of
// each screen named.
class LightScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(LightScenario, IsReadWithinAFrameAndTheScreensLightIsNamed)
{
    const auto sets = photo_model::lightScenarios();
    const auto found =
        std::find_if(sets.begin(), sets.end(), [](const photo_model::Scenario& set) { return set.name == GetParam(); });
    ASSERT_NE(found, sets.end());
    // A colour wheel at 1/500 s shows no green in about half the photos,
    // and the series needs eight read without a split to tell a screen that
    // changes every row at once; outlined from its grid band alone, the
    // projection needs 1600 pixels across the photo to stay square to its
    // bar. So that set is always made as the release build makes it.
    const bool colourWheel = found->name == "dlp-colour-wheel";
    photo_model::Scenario scenario = photo_model::withPhotoWidth(*found, colourWheel ? 1600 : PHOTO_WIDTH);
    scenario.photoCount = colourWheel ? 16 : PHOTO_COUNT;
    SetResult outcome;
    // A CRT at 1/250 s lights a third of its rows, which cross the grid band
    // in about half the photos: only those can be read, and a short series
    // may have fewer than half.
    const int leastRead = scenario.photoCount / (scenario.name == "crt-reference-4ms" ? 3 : 2);
    checkSet(scenario, leastRead, Format::Jpeg, &outcome, true);
    if (scenario.name != "fast-scanning-tv") {
        return;
    }
    // The lag down a screen that scans out in half a frame.
    const nlohmann::json summary = nlohmann::json::parse(outcome.summary);
    const double period = scenario.mode.periodMs();
    ASSERT_TRUE(summary.at("screens").at("device").at("scan_out_ms").is_number()) << summary.dump();
    EXPECT_NEAR(summary["screens"]["device"]["scan_out_ms"].get<double>(), scenario.device.scanFraction * period, 1.5);
    ASSERT_TRUE(summary.at("lag_ms_bottom").is_number()) << summary.dump();
    EXPECT_NEAR(summary["lag_ms_bottom"].get<double>(), photo_model::truthLagAtRowMs(scenario, 1.0), 2.5);
    EXPECT_NEAR(summary["lag_ms_middle"].get<double>(), photo_model::truthLagAtRowMs(scenario, 0.5), 2.5);
}

std::vector<std::string> lightScenarioNames()
{
    return {"crt-reference-4ms", "crt-reference-frame",         "strobed-144",      "fast-scanning-tv",
            "long-exposure",     "glare-shake-small-reference", "dlp-colour-wheel", "pwm-phone"};
}

INSTANTIATE_TEST_SUITE_P(Light, LightScenario, ::testing::ValuesIn(lightScenarioNames()), testName);

}  // namespace
