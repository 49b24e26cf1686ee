#pragma once

// A physical model of a photo of two screens showing vesmira's pattern,
// with its truth known: the reader's tests and tools make their photos with
// it. It starts from real frames of the program (one per bar column) and
// simulates the displays' timing and pixel response, the camera's exposure
// and rolling shutter, the geometry and optics, noise and JPEG.
//
// Time is in ms. The signal sends frame k (bar column k mod 60) from
// k * period; a display's lag is when its top row starts to change.

#include <opencv2/core.hpp>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace photo_model {

constexpr int COLUMN_COUNT = 60;

// The mode the pattern runs in.
struct Mode {
    int width = 1920;
    int height = 1080;
    int rate = 60;
    double periodMs() const { return 1000.0 / rate; }
};

// "1920x1080x60": the folder name of that mode's frames.
std::string modeName(const Mode& mode);

// Real frames of vesmira: frames[c] shows the bar in column c, BGR, 8 bits,
// the mode's size.
struct PatternFrames {
    std::vector<cv::Mat> frames;
};

// Reads DIR/column-00.png .. column-59.png; throws std::runtime_error when
// one is missing or of another size.
PatternFrames loadPatternFrames(const std::string& dir);

enum class Placement { Left, Right, Top, Bottom };

// "left", "right", "top", "bottom": as vesmira-read's --reference takes it.
const char* placementName(Placement placement);

// How a display's light shows its frames over time.
enum class Light {
    // Rows take the new frame top to bottom and hold it (LCD, OLED).
    Scanning,
    // Every row changes at once (DLP, some projectors): scanFraction is 0.
    AllRows,
    // Rows scan and hold, but the backlight is dark except for one pulse a
    // frame (black frame insertion): the light, and so the lag, is the pulse.
    Strobed,
    // Each row flashes as the beam passes and fades (CRT phosphor), with
    // responseMs as its decay time constant.
    Impulse,
};

// One display: its timing, its picture, and where it stands in the photo.
struct DisplayModel {
    // Timing.
    double lagMs = 0.0;          // after the signal's frame starts, its top row starts to change
    double scanFraction = 0.95;  // rows change top to bottom over this share of the period; 0: all at once
    double responseMs = 1.0;     // time constant of the pixels' exponential approach to a new frame
    Light light = Light::Scanning;
    // Strobed: the pulse starts this long after the top row starts to
    // change, and lasts this long.
    double pulsePhaseMs = 12.0;
    double pulseMs = 2.0;
    // A backlight dimmed by pulse-width modulation: on for pwmDuty of each
    // cycle of pwmHz (not locked to the frames); 0 Hz: steady.
    double pwmHz = 0.0;
    double pwmDuty = 1.0;
    // A single-chip DLP's colour wheel: red, green and blue segments, a
    // third of a turn each, wheelTurns turns a frame; 0: no wheel.
    double wheelTurns = 0.0;
    // Picture.
    double overscan = 0.0;          // share of the picture cut off on each edge, the rest scaled up
    double brightness = 1.0;        // full white, in the camera's full scale
    double blackLevel = 0.01;       // light of black, as a share of white
    cv::Vec3d colourCast{1, 1, 1};  // B, G, R factors
    // A dark bezel (monitor, TV); or none: a projection, whose light adds
    // to the room's on a bare wall, and so is washed out by it.
    bool bezel = true;
    double bezelFraction = 0.03;  // bezel width, or bare wall kept clear around a projection, of the width
    // Place in the photo.
    double widthFraction = 0.4;  // picture width, of the photo's width, seen straight on
    double yawDeg = 0.0;         // turned about its vertical axis (perspective)
    double pitchDeg = 0.0;       // tilted about its horizontal axis (perspective)
    double rollDeg = 0.0;        // rotated in the photo
    cv::Point2d offset{0, 0};    // shift from its place, of the photo's size
};

struct CameraModel {
    int width = 1600;
    int height = 1200;
    double exposureMs = 2.0;
    double readoutMs = 0.0;    // rolling shutter: the bottom row starts this much after the top; 0: global
    double blurSigmaPx = 0.8;  // lens blur
    double barrel = 0.0;       // barrel distortion, k of r_ideal = r (1 + k r^2), r of the half diagonal
    double noiseSigma = 2.0;   // sensor noise, 8-bit levels
    int jpegQuality = 90;
    int heicQuality = 60;   // libheif's lossy quality, about what phones save
    double ambient = 0.25;  // room light, of full scale
    double jitterPx = 6.0;  // a hand-held camera moves between photos
    // Hand shake within the exposure: the image smeared along a line this
    // long, at this angle.
    double shakePx = 0.0;
    double shakeAngleDeg = 0.0;
    // A lamp's reflection on the device screen: a soft spot of this light
    // (of full scale), this radius (of the photo's width), at this point of
    // the device's picture (0..1 across and down).
    double glare = 0.0;
    double glareRadius = 0.08;
    cv::Point2d glareAt{0.35, 0.4};
    // A phone's sharpening: an unsharp mask of this amount, this radius in px.
    double sharpen = 0.0;
    double sharpenRadiusPx = 1.5;
};

struct Scenario {
    std::string name;
    Mode mode;
    DisplayModel reference;
    DisplayModel device;
    CameraModel camera;
    Placement placement = Placement::Left;  // where the reference is
    int photoCount = 12;
    unsigned seed = 1;
};

// The lag a light sensor on each screen would measure: the difference of
// the moments the screens' top rows reach half of a transition,
// (device lag + its time to 50 %) - (reference lag + its time to 50 %).
double truthLagMs(const Scenario& scenario);
double truthLagFrames(const Scenario& scenario);
// The same for the rows at rowFraction down both screens (0 top, 1
// bottom): a screen that scans out faster than the signal gains on the
// reference lower down; a strobed or all-rows screen lights every row at once.
double truthLagAtRowMs(const Scenario& scenario, double rowFraction);
// When a display's top row reaches half of a new frame's light, after the
// signal sends that frame.
double halfwayMs(const DisplayModel& display);

// A screen's picture corners in photo pixels: top-left, top-right,
// bottom-right, bottom-left as the picture shows.
using Quad = std::array<cv::Point2d, 4>;

struct ScreenTruth {
    Quad quad{};
    // At the photo's moment: frames since frame 0 reached 50 % on the top
    // row. The integer part is the newest frame there, the fraction the
    // phase (time since that frame's 50 % / period).
    double clockFrames = 0.0;
    int column() const;  // the newest frame's bar column
    // Whether at least half of that column is in the picture: a TV's
    // overscan hides the outermost columns, and a photo of one of them
    // shows no bar there (a user would take it again).
    bool barShown = true;
};

struct ModelPhoto {
    cv::Mat image;                 // BGR, 8 bits, before JPEG
    double exposureStartMs = 0.0;  // of the top photo row
    double momentMs = 0.0;         // middle of the top photo row's exposure: the clocks' moment
    ScreenTruth reference;
    ScreenTruth device;
    double truthLagMs = 0.0;
};

// A screen's clock (as in ScreenTruth) at any moment.
double screenClockFrames(const DisplayModel& display, const Mode& mode, double timeMs);

// How much of each signal frame a screen row shows, averaged over an
// exposure: rowFraction 0 is the top row, 1 the bottom.
struct FrameWeight {
    long frame = 0;  // signal frame; its column is frame mod 60
    double weight = 0.0;
};
std::vector<FrameWeight> frameWeights(const DisplayModel& display, const Mode& mode, double rowFraction,
                                      double exposureStartMs, double exposureMs);

// A photo at a random moment, with the hand-held jitter drawn from random.
ModelPhoto makePhoto(const PatternFrames& frames, const Scenario& scenario, std::mt19937& random);
// The same with the top photo row's exposure starting at exposureStartMs.
ModelPhoto makePhotoAt(const PatternFrames& frames, const Scenario& scenario, double exposureStartMs,
                       std::mt19937& random);

// A slow-motion video: successive camera frames, fps apart, from a random
// moment; from the middle frame on, the device lags lagChangeMs more. The
// camera stands still (no jitter). MJPG in .avi, MPEG-4 part 2 in .mp4.
struct VideoSettings {
    double fps = 240.0;
    int frameCount = 240;
    double lagChangeMs = 0.0;
};

struct VideoFrameTruth {
    double momentMs = 0.0;  // as ModelPhoto's
    double truthLagMs = 0.0;
    ScreenTruth reference;
    ScreenTruth device;
};

// Writes the video to path; throws std::runtime_error if OpenCV cannot.
std::vector<VideoFrameTruth> writeVideo(const PatternFrames& frames, const Scenario& scenario,
                                        const VideoSettings& settings, const std::string& path, std::mt19937& random);

// Keeps freed memory in the process for the next photo: the model's large
// buffers, mapped afresh for every photo, cost more in page faults than in
// drawing. For the mains of the programs that use the model.
void keepFreedMemory();

// The photo as a camera stores it: a JPEG, or a HEIC as phones save them,
// with the exposure time in its EXIF block, as every camera writes it.
std::vector<unsigned char> encodeJpeg(const cv::Mat& image, int quality, double exposureMs);
// A HEIC's quality is libheif's lossy quality (0 to 100); its orientation
// is the EXIF orientation its rotation and mirror properties give (1: as
// stored). Throws std::runtime_error where libheif cannot encode.
std::vector<unsigned char> encodeHeic(const cv::Mat& image, int quality, double exposureMs, int orientation = 1);
// The EXIF block a camera writes, "Exif\0\0" first, with the exposure time
// as the rational it stores (1/500 s for 2 ms).
std::vector<unsigned char> exifBlock(double exposureMs);

// The reader's test scenarios: monitor pairs, 75 and 144 Hz, a projector, a
// TV with overscan, a phone, stacked screens, a slow reference.
std::vector<Scenario> standardScenarios();

// Displays whose light is not simply held, and hard conditions: a CRT
// reference at 1/250 s and at one frame, a strobed monitor, a PWM-dimmed
// laptop under a phone's rolling shutter, a DLP colour wheel, glare with
// shake and a small reference, a fast-scanning TV, a long exposure.
std::vector<Scenario> lightScenarios();

// The same scene photographed with a camera of another width (same aspect).
Scenario withPhotoWidth(const Scenario& scenario, int width);

}  // namespace photo_model
