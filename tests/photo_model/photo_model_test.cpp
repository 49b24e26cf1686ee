// The photo model's physics and geometry, checked where a fault would
// change what the reader's tests take for the truth: the frame each screen
// shows at a given moment, the light of a frame change within the exposure,
// the rolling shutter, the truth values and the screens' outlines.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>

#include <opencv2/videoio.hpp>

#include "photo_model.h"

namespace {

using photo_model::DisplayModel;
using photo_model::FrameWeight;
using photo_model::Mode;
using photo_model::ModelPhoto;
using photo_model::Scenario;

const Mode MODE{1024, 768, 75};
const double PERIOD = 1000.0 / 75.0;
constexpr double LN2 = 0.69314718055994530942;

const photo_model::PatternFrames& frames()
{
    static const photo_model::PatternFrames loaded =
        photo_model::loadPatternFrames(std::string(PATTERN_FRAMES_DIR) + "/" + photo_model::modeName(MODE));
    return loaded;
}

// Two displays straight on, side by side; a camera without blur, noise,
// distortion or movement, so pixels can be read back exactly.
Scenario plainScenario()
{
    Scenario scenario;
    scenario.name = "plain";
    scenario.mode = MODE;
    for (DisplayModel* display : {&scenario.reference, &scenario.device}) {
        display->scanFraction = 0.0;
        display->responseMs = 0.0;
        display->brightness = 0.8;
    }
    scenario.camera.width = 1200;
    scenario.camera.height = 900;
    scenario.camera.exposureMs = 0.2;
    scenario.camera.blurSigmaPx = 0.0;
    scenario.camera.noiseSigma = 0.0;
    scenario.camera.jitterPx = 0.0;
    return scenario;
}

// Fixed seeds: the tests see the same photos on every run.
std::mt19937 seeded(unsigned seed)
{
    return std::mt19937(seed);
}

// A display that changes all its rows at once, and each in full at once.
DisplayModel instantDisplay(double lagMs)
{
    DisplayModel display;
    display.lagMs = lagMs;
    display.scanFraction = 0.0;
    display.responseMs = 0.0;
    return display;
}

// Pattern pixel (u, v) of a screen, in the photo (no lens distortion).
cv::Point photoPoint(const photo_model::ScreenTruth& screen, double u, double v)
{
    const std::array<cv::Point2f, 4> pattern = {
        cv::Point2f(0, 0), cv::Point2f(static_cast<float>(MODE.width), 0),
        cv::Point2f(static_cast<float>(MODE.width), static_cast<float>(MODE.height)),
        cv::Point2f(0, static_cast<float>(MODE.height))};
    std::array<cv::Point2f, 4> quad;
    for (size_t i = 0; i < 4; ++i) {
        quad[i] = cv::Point2f(static_cast<float>(screen.quad[i].x), static_cast<float>(screen.quad[i].y));
    }
    const cv::Matx33d toPhoto = cv::getPerspectiveTransform(pattern.data(), quad.data());
    const cv::Vec3d p = toPhoto * cv::Vec3d(u, v, 1.0);
    return {cvFloor(p[0] / p[2]), cvFloor(p[1] / p[2])};
}

// Green light (linear, background taken off) of a column's middle at row v.
double barGreen(const cv::Mat& image, const photo_model::ScreenTruth& screen, int column, double v)
{
    const int step = MODE.width / 60;  // the pattern's whole-pixel column step
    const auto linearGreen = [&](int c) {
        const cv::Point p = photoPoint(screen, (c + 0.5) * step, v);
        return std::pow(image.at<cv::Vec3b>(p)[1] / 255.0, 2.2);
    };
    return linearGreen(column) - linearGreen((column + 30) % 60);
}

// The columns whose bar shows at row v, with at least a tenth of a full
// bar's light (0.8 at the scenario's brightness).
std::vector<int> barColumns(const cv::Mat& image, const photo_model::ScreenTruth& screen, double v)
{
    std::vector<int> columns;
    for (int c = 0; c < 60; ++c) {
        if (barGreen(image, screen, c, v) > 0.08) {
            columns.push_back(c);
        }
    }
    return columns;
}

TEST(FrameWeights, ADisplayShowsFrameKFromItsLagOn)
{
    DisplayModel display = instantDisplay(30.0);
    const long k = 500;
    const double change = k * PERIOD + 30.0;

    const std::vector<FrameWeight> after = photo_model::frameWeights(display, MODE, 0.0, change + 0.1, 0.2);
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0].frame, k);
    EXPECT_NEAR(after[0].weight, 1.0, 1e-9);

    const std::vector<FrameWeight> before = photo_model::frameWeights(display, MODE, 0.0, change - 0.3, 0.2);
    ASSERT_EQ(before.size(), 1U);
    EXPECT_EQ(before[0].frame, k - 1);
}

TEST(FrameWeights, AScanningDisplayChangesLowerRowsLater)
{
    DisplayModel display = instantDisplay(10.0);
    display.scanFraction = 0.9;
    const long k = 300;
    // Half-way down, the row changes 0.45 periods after the top row.
    const double rowChange = k * PERIOD + 10.0 + 0.45 * PERIOD;
    EXPECT_EQ(photo_model::frameWeights(display, MODE, 0.5, rowChange - 0.2, 0.1).at(0).frame, k - 1);
    EXPECT_EQ(photo_model::frameWeights(display, MODE, 0.5, rowChange + 0.1, 0.1).at(0).frame, k);
    // The top row has long changed by then.
    EXPECT_EQ(photo_model::frameWeights(display, MODE, 0.0, rowChange - 0.2, 0.1).at(0).frame, k);
}

TEST(FrameWeights, AChangeWithinTheExposureSplitsItsLight)
{
    DisplayModel display = instantDisplay(5.0);
    const long k = 200;
    // 1 ms of a 4 ms exposure before the change, 3 ms after.
    const std::vector<FrameWeight> instant = photo_model::frameWeights(display, MODE, 0.0, k * PERIOD + 5.0 - 1.0, 4.0);
    ASSERT_EQ(instant.size(), 2U);
    EXPECT_EQ(instant[0].frame, k - 1);
    EXPECT_NEAR(instant[0].weight, 0.25, 1e-9);
    EXPECT_NEAR(instant[1].weight, 0.75, 1e-9);

    // Pixels with a 2 ms time constant: the new frame's share over the 3 ms
    // is (3 - 2 (1 - e^(-3/2))) / 4, the rest still the old frame's.
    display.responseMs = 2.0;
    const std::vector<FrameWeight> slow = photo_model::frameWeights(display, MODE, 0.0, k * PERIOD + 5.0 - 1.0, 4.0);
    double total = 0.0;
    double newest = 0.0;
    for (const FrameWeight& w : slow) {
        total += w.weight;
        if (w.frame == k) {
            newest = w.weight;
        }
    }
    EXPECT_NEAR(total, 1.0, 1e-4);  // the faded tail of older frames is left out
    EXPECT_NEAR(newest, (3.0 - 2.0 * (1.0 - std::exp(-1.5))) / 4.0, 1e-9);
}

// Light that is not held: whatever its timing, an exposure of whole
// periods sees each row's frames at their held level, and a short one sees
// the light where and when it is: a CRT's band, a strobe's pulse, a wheel's
// colour.
TEST(FrameWeights, PulsesFlashesAndWheelsKeepTheLightOfAHeldFrame)
{
    const auto total = [](const DisplayModel& display, double row, double startMs, double exposureMs) {
        double sum = 0.0;
        for (const FrameWeight& w : photo_model::frameWeights(display, MODE, row, startMs, exposureMs)) {
            sum += w.weight;
        }
        return sum;
    };
    const double frameStart = 400 * PERIOD;
    DisplayModel crt;
    crt.light = photo_model::Light::Impulse;
    crt.scanFraction = 0.95;
    crt.responseMs = 0.5;
    DisplayModel strobed;
    strobed.light = photo_model::Light::Strobed;
    strobed.pulsePhaseMs = 10.0;
    strobed.pulseMs = 2.0;
    DisplayModel pwm;
    pwm.pwmHz = 240.0;
    pwm.pwmDuty = 0.3;
    DisplayModel dlp = instantDisplay(0.0);
    dlp.wheelTurns = 2.0;
    const double pwmCycle = 1000.0 / 240.0;
    for (const double row : {0.1, 0.5, 0.9}) {
        for (const DisplayModel* display : {&crt, &strobed, &dlp}) {
            EXPECT_NEAR(total(*display, row, frameStart + 3.3, 2 * PERIOD), 1.0, 1e-6) << row;
        }
        EXPECT_NEAR(total(pwm, row, frameStart + 3.3, 8 * pwmCycle), 1.0, 1e-5) << row;
    }
    // A CRT at 4 ms: the rows the beam passed during the exposure glow at
    // period / exposure of their held level, the rest are dark.
    const double beamAtMiddle = frameStart + 0.95 * PERIOD * 0.5;
    EXPECT_NEAR(total(crt, 0.5, beamAtMiddle - 1.0, 4.0), PERIOD / 4.0 * (1.0 - std::exp(-3.0 / 0.5)), 1e-6);
    EXPECT_LT(total(crt, 0.9, beamAtMiddle - 1.0, 4.0), 1e-4);
    // A strobed panel is dark between its pulses, and bright in one.
    EXPECT_LT(total(strobed, 0.5, frameStart + 1.0, 2.0), 1e-9);
    EXPECT_NEAR(total(strobed, 0.5, frameStart + 9.0, 4.0), PERIOD / 4.0, 1e-6);
    // A PWM cycle, whole, is the held level; its dark part is dark.
    EXPECT_NEAR(total(pwm, 0.5, frameStart, pwmCycle), 1.0, 1e-6);
    EXPECT_LT(total(pwm, 0.5, std::ceil(frameStart / pwmCycle) * pwmCycle + 1.5, 1.0), 1e-9);
    // The wheel's green third of a turn holds all of a frame's green.
    const double turn = PERIOD / 2.0;
    EXPECT_NEAR(total(dlp, 0.5, frameStart + turn / 3.0, turn / 3.0), 3.0, 1e-6);
    EXPECT_LT(total(dlp, 0.5, frameStart, turn / 3.0), 1e-9);
}

// The lag down the screen: a panel that scans out in half the period gains
// on the reference lower down; a strobed one lights every row at its pulse.
TEST(Truth, LagDownTheScreenFollowsEachScreensScanOut)
{
    Scenario scenario = plainScenario();
    scenario.reference = instantDisplay(0.0);
    scenario.reference.scanFraction = 1.0;
    scenario.reference.responseMs = 1.0;
    scenario.device = scenario.reference;
    scenario.device.lagMs = 20.0;
    scenario.device.scanFraction = 0.5;
    EXPECT_NEAR(photo_model::truthLagAtRowMs(scenario, 0.0), photo_model::truthLagMs(scenario), 1e-9);
    EXPECT_NEAR(photo_model::truthLagAtRowMs(scenario, 0.0), 20.0, 1e-9);
    EXPECT_NEAR(photo_model::truthLagAtRowMs(scenario, 1.0), 20.0 - 0.5 * PERIOD, 1e-9);
    scenario.device.light = photo_model::Light::Strobed;
    scenario.device.pulsePhaseMs = 10.0;
    scenario.device.pulseMs = 2.0;
    const double strobedTop = 20.0 + 11.0 - LN2;
    EXPECT_NEAR(photo_model::truthLagMs(scenario), strobedTop, 1e-9);
    EXPECT_NEAR(photo_model::truthLagAtRowMs(scenario, 1.0), strobedTop - PERIOD, 1e-9);
}

TEST(Truth, IsTheDifferenceOfTheMomentsOfHalfATransition)
{
    Scenario scenario = plainScenario();
    scenario.reference.lagMs = 3.0;
    scenario.reference.responseMs = 1.0;
    scenario.device.lagMs = 25.0;
    scenario.device.responseMs = 4.0;
    EXPECT_NEAR(photo_model::truthLagMs(scenario), 25.0 + 4.0 * LN2 - 3.0 - 1.0 * LN2, 1e-9);
    EXPECT_NEAR(photo_model::truthLagFrames(scenario), photo_model::truthLagMs(scenario) / PERIOD, 1e-9);

    // A screen's clock is a whole frame where its top row is half-way
    // through the change to that frame.
    const double halfway = 100 * PERIOD + 25.0 + 4.0 * LN2;
    EXPECT_NEAR(photo_model::screenClockFrames(scenario.device, MODE, halfway), 100.0, 1e-9);
    DisplayModel display = scenario.device;
    display.scanFraction = 0.0;
    double newest = 0.0;
    for (const FrameWeight& w : photo_model::frameWeights(display, MODE, 0.0, halfway - 1e-4, 2e-4)) {
        newest = w.frame == 100 ? w.weight : newest;
    }
    EXPECT_NEAR(newest, 0.5, 1e-3);
}

TEST(Standard, ScenariosCoverTheCasesTheReaderMustRead)
{
    const std::vector<Scenario> scenarios = photo_model::standardScenarios();
    ASSERT_GE(scenarios.size(), 8U);
    bool negative = false;
    bool projector = false;
    bool overscan = false;
    bool rollingShutter = false;
    bool stacked = false;
    bool fast = false;
    for (const Scenario& s : scenarios) {
        EXPECT_GE(s.photoCount, 12) << s.name;
        // Within the reader's wrap-around of -30..29 frames, with room.
        EXPECT_LT(std::abs(photo_model::truthLagFrames(s)), 20.0) << s.name;
        negative = negative || photo_model::truthLagMs(s) < 0.0;
        projector = projector || (!s.device.bezel && s.device.scanFraction == 0.0);
        overscan = overscan || s.device.overscan >= 0.02;
        rollingShutter = rollingShutter || (s.camera.readoutMs > 0.0 && s.camera.barrel > 0.0);
        stacked = stacked || s.placement == photo_model::Placement::Top;
        fast = fast || s.mode.rate == 144;
    }
    EXPECT_TRUE(negative && projector && overscan && rollingShutter && stacked && fast);
}

TEST(Photo, ShowsTheColumnOfTheFrameOnScreenAtTheExposure)
{
    Scenario scenario = plainScenario();
    scenario.reference.lagMs = 0.0;
    scenario.device.lagMs = 40.0;  // three frames and a bit
    std::mt19937 random = seeded(1);
    const long k = 250;
    // Just after the device changes to frame k.
    const ModelPhoto photo = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 40.0 + 0.5, random);
    EXPECT_EQ(barColumns(photo.image, photo.device, 125), std::vector<int>{static_cast<int>(k % 60)});
    EXPECT_EQ(photo.device.column(), k % 60);
    // The reference changed to frame k + 3 at 40 ms - 3 periods.
    EXPECT_EQ(barColumns(photo.image, photo.reference, 125), std::vector<int>{static_cast<int>((k + 3) % 60)});
    EXPECT_EQ(photo.reference.column(), (k + 3) % 60);
    EXPECT_NEAR(photo.reference.clockFrames - photo.device.clockFrames, 40.0 / PERIOD, 1e-9);

    // Just before it, the device still shows frame k - 1.
    const ModelPhoto before = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 40.0 - 0.5, random);
    EXPECT_EQ(barColumns(before.image, before.device, 125), std::vector<int>{static_cast<int>((k - 1) % 60)});
    EXPECT_EQ(before.device.column(), (k - 1) % 60);
}

TEST(Photo, AFrameChangeWithinTheExposureShowsTwoBarsByTheirShareOfTheLight)
{
    Scenario scenario = plainScenario();
    scenario.device.lagMs = 7.0;
    scenario.camera.exposureMs = 4.0;
    std::mt19937 random = seeded(2);
    const long k = 130;
    // 1 ms of the exposure before the change, 3 ms after.
    const ModelPhoto photo = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 7.0 - 1.0, random);
    const int column = static_cast<int>(k % 60);
    const double older = barGreen(photo.image, photo.device, column - 1, 125);
    const double newer = barGreen(photo.image, photo.device, column, 125);
    EXPECT_NEAR(older / (older + newer), 0.25, 0.03);
    EXPECT_EQ(barColumns(photo.image, photo.device, 125), (std::vector<int>{column - 1, column}));
}

TEST(Photo, AScanningPanelCaughtMidScanShowsTheNewColumnAboveTheOldOne)
{
    Scenario scenario = plainScenario();
    scenario.device.scanFraction = 1.0;
    std::mt19937 random = seeded(3);
    const long k = 140;
    // Two fifths of a period after the top row changed: rows above 0.4 of
    // the height show frame k, those below still k - 1.
    const ModelPhoto photo = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 0.4 * PERIOD, random);
    const int column = static_cast<int>(k % 60);
    EXPECT_EQ(barColumns(photo.image, photo.device, 0.3 * MODE.height), std::vector<int>{column});
    EXPECT_EQ(barColumns(photo.image, photo.device, 0.5 * MODE.height), std::vector<int>{column - 1});
}

// At a short exposure a CRT shows only the band its beam drew, brighter
// than its held light by period / exposure; a strobed panel between its
// pulses shows nothing, and in one, all of it.
TEST(Photo, ACrtShowsTheBandItsBeamDrewAndAStrobedPanelItsPulse)
{
    Scenario scenario = plainScenario();
    scenario.reference = instantDisplay(0.0);
    scenario.reference.light = photo_model::Light::Impulse;
    scenario.reference.scanFraction = 1.0;
    scenario.reference.responseMs = 0.3;
    scenario.reference.brightness = 0.1;
    scenario.device = instantDisplay(0.0);
    scenario.device.light = photo_model::Light::Strobed;
    // Scanned out fast, settled, then lit: as strobed monitors do.
    scenario.device.scanFraction = 0.5;
    scenario.device.responseMs = 1.0;
    scenario.device.pulsePhaseMs = 11.0;
    scenario.device.pulseMs = 1.0;
    scenario.device.brightness = 0.1;
    scenario.camera.exposureMs = 2.0;
    const long k = 300;
    std::mt19937 random = seeded(3);
    // The exposure from a third of the way down the CRT's scan: dark above
    // and below the band; the strobe not yet lit.
    const ModelPhoto early = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + PERIOD / 3.0, random);
    const int band = static_cast<int>(MODE.height * (1.0 / 3.0 + 1.0 / PERIOD));
    const int column = static_cast<int>(k % 60);
    EXPECT_GT(barGreen(early.image, early.reference, column, band), 0.1 * PERIOD / 2.0 * 0.5);
    EXPECT_LT(barGreen(early.image, early.reference, column, band - 200), 0.01);
    EXPECT_LT(barGreen(early.image, early.reference, column, band + 200), 0.01);
    EXPECT_TRUE(barColumns(early.image, early.device, 400).empty());
    // In the pulse: every row of the strobed panel lit by the same frame.
    const ModelPhoto lit = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 10.5, random);
    for (const double v : {100.0, 400.0, 700.0}) {
        EXPECT_EQ(barColumns(lit.image, lit.device, v), std::vector<int>{column}) << v;
    }
}

TEST(Photo, ARollingShutterSeesLowerScreensLater)
{
    Scenario scenario = plainScenario();
    scenario.placement = photo_model::Placement::Top;
    scenario.reference.widthFraction = 0.35;
    scenario.device.widthFraction = 0.35;
    scenario.camera.readoutMs = 20.0;
    std::mt19937 random = seeded(4);
    const long k = 160;
    // The same display above and below; the top rows of the upper one are
    // read out about 10 ms before those of the lower one: row 125 of the
    // upper one about 3.5 ms after the top photo row, of the lower one 13
    // ms after. Start the exposure 8 ms before both change.
    const ModelPhoto photo = photo_model::makePhotoAt(frames(), scenario, k * PERIOD - 8.0, random);
    const int column = static_cast<int>(k % 60);
    EXPECT_EQ(barColumns(photo.image, photo.reference, 125), std::vector<int>{column - 1});
    EXPECT_EQ(barColumns(photo.image, photo.device, 125), std::vector<int>{column});
    scenario.camera.readoutMs = 0.0;
    const ModelPhoto global = photo_model::makePhotoAt(frames(), scenario, k * PERIOD - 8.0, random);
    EXPECT_EQ(barColumns(global.image, global.device, 125), std::vector<int>{column - 1});
}

TEST(Photo, TheQuadIsWhereTheScreenIs)
{
    Scenario scenario = photo_model::standardScenarios().at(1);  // tilted and rotated 4:3 screens
    ASSERT_EQ(scenario.mode.width, MODE.width);
    scenario.camera.noiseSigma = 0.0;
    std::mt19937 random = seeded(5);
    const ModelPhoto photo = photo_model::makePhoto(frames(), scenario, random);
    for (const photo_model::ScreenTruth* screen : {&photo.reference, &photo.device}) {
        const cv::Point2d centre = (screen->quad[0] + screen->quad[1] + screen->quad[2] + screen->quad[3]) / 4.0;
        for (const cv::Point2d& corner : screen->quad) {
            // Just inside each corner: the pattern's dark blue; just
            // outside: the dark bezel.
            const cv::Point2d inward = corner + (centre - corner) * (4.0 / cv::norm(centre - corner));
            const cv::Point2d outward = corner - (centre - corner) * (6.0 / cv::norm(centre - corner));
            const cv::Vec3b in = photo.image.at<cv::Vec3b>(cv::Point(cvRound(inward.x), cvRound(inward.y)));
            const cv::Vec3b out = photo.image.at<cv::Vec3b>(cv::Point(cvRound(outward.x), cvRound(outward.y)));
            EXPECT_GT(in[0], 90);
            EXPECT_GT(in[0], in[2] + 50);
            EXPECT_LT(out[0], 70);
        }
    }
}

TEST(Photo, ATvsOverscanHidesTheOutermostColumns)
{
    Scenario scenario = plainScenario();
    scenario.device.overscan = 0.035;  // 36 of 1024 pixels, two columns of 17, on each edge
    std::mt19937 random = seeded(8);
    for (const int column : {0, 1, 2, 57, 58, 59}) {
        const int k = 600 + column;  // frame 600 shows column 0
        const ModelPhoto photo = photo_model::makePhotoAt(frames(), scenario, k * PERIOD + 1.0, random);
        ASSERT_EQ(photo.device.column(), column);
        const bool shown = column == 2 || column == 57;
        EXPECT_EQ(photo.device.barShown, shown) << column;
        EXPECT_TRUE(photo.reference.barShown) << column;
        // The rest scaled up: pattern x lands at (x - 36) / 0.93 on the
        // panel, whose columns barColumns reads. Column 2 lands in the
        // panel's first, 57 in its last; the others are cut off.
        const double panelX = ((column + 0.5) * 17 - 0.035 * MODE.width) / 0.93;
        const std::vector<int> expected = shown ? std::vector<int>{cvFloor(panelX / 17)} : std::vector<int>{};
        EXPECT_EQ(barColumns(photo.image, photo.device, 125 / 0.93), expected) << column;
    }
}

TEST(Photo, IsDrawnAtTheCameraSizeAndEncodes)
{
    const Scenario scenario = photo_model::withPhotoWidth(photo_model::standardScenarios().at(1), 800);
    std::mt19937 random = seeded(6);
    const ModelPhoto photo = photo_model::makePhoto(frames(), scenario, random);
    EXPECT_EQ(photo.image.size(), cv::Size(800, 600));
    EXPECT_EQ(photo.image.type(), CV_8UC3);
    const std::vector<unsigned char> jpeg = photo_model::encodeJpeg(photo.image, 90, scenario.camera.exposureMs);
    ASSERT_GT(jpeg.size(), 1000U);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
}

TEST(Video, ShowsEachFramesColumnAndTheLagChangeHalfway)
{
    Scenario scenario = plainScenario();
    scenario.camera.width = 800;
    scenario.camera.height = 600;
    scenario.device.lagMs = 10.0;
    photo_model::VideoSettings settings;
    settings.fps = 240.0;
    settings.frameCount = 24;
    settings.lagChangeMs = 40.0;
    const std::string path = (std::filesystem::temp_directory_path() / "photo_model_test_video.avi").string();
    std::mt19937 random = seeded(7);
    const std::vector<photo_model::VideoFrameTruth> truths =
        photo_model::writeVideo(frames(), scenario, settings, path, random);
    ASSERT_EQ(truths.size(), 24U);
    EXPECT_NEAR(truths[11].truthLagMs, 10.0, 1e-9);
    EXPECT_NEAR(truths[12].truthLagMs, 50.0, 1e-9);
    EXPECT_NEAR(truths[12].momentMs - truths[11].momentMs, 1000.0 / 240.0, 1e-9);

    cv::VideoCapture video(path);
    ASSERT_TRUE(video.isOpened());
    int index = 0;
    for (cv::Mat frame; video.read(frame); ++index) {
        ASSERT_LT(index, 24);
        ASSERT_EQ(frame.size(), cv::Size(800, 600));
        const photo_model::VideoFrameTruth& truth = truths[static_cast<size_t>(index)];
        EXPECT_EQ(barColumns(frame, truth.device, 125), std::vector<int>{truth.device.column()}) << index;
        EXPECT_EQ(barColumns(frame, truth.reference, 125), std::vector<int>{truth.reference.column()}) << index;
    }
    EXPECT_EQ(index, 24);
    // The device fell three frames (40 ms at 75 Hz) behind at the change.
    const int jump = (truths[11].device.column() - truths[12].device.column() + 60) % 60;
    EXPECT_TRUE(jump == 2 || jump == 3) << jump;
    std::filesystem::remove(path);
}

}  // namespace
