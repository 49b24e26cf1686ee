#include "photo_model.h"

#include <libexif/exif-data.h>
#include <libheif/heif.h>
#include <malloc.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace photo_model {

namespace {

constexpr double LN2 = 0.69314718055994530942;
constexpr double PI = 3.14159265358979323846;
// Exposures start after this much signal, so every lag has its frames.
constexpr double START_MS = 2000.0;
// Past this many time constants a frame's light has faded to nothing.
constexpr double FADE_TAUS = 8.0;
constexpr double TABLE_STEP_MS = 0.002;
constexpr double GAMMA = 2.2;
// Frames are shrunk to about this many pixels per photo pixel before being
// mapped into the photo, so that one-pixel lines keep their share of light.
constexpr double OVERSAMPLING = 1.2;

double degrees(double angle)
{
    return angle * PI / 180.0;
}

int columnOf(long frame)
{
    return static_cast<int>(((frame % COLUMN_COUNT) + COLUMN_COUNT) % COLUMN_COUNT);
}

// Integral from 0 to x of the pixels' unit step response 1 - exp(-t / tau).
double stepIntegral(double x, double tauMs)
{
    if (x <= 0.0) {
        return 0.0;
    }
    if (tauMs <= 0.0) {
        return x;
    }
    return x + tauMs * std::expm1(-x / tauMs);
}

// Share of an exposure of length e that shows a frame, for x = exposure
// start - the moment that frame starts to change on the row: the row's
// response to that frame's step minus its response to the next one's.
double exposureShare(double x, double periodMs, double exposureMs, double tauMs)
{
    return (stepIntegral(x + exposureMs, tauMs) - stepIntegral(x, tauMs) -
            stepIntegral(x + exposureMs - periodMs, tauMs) + stepIntegral(x - periodMs, tauMs)) /
           exposureMs;
}

// exposureShare over the span where it is not zero, for per-pixel use.
struct ShareTable {
    double firstMs = 0.0;
    std::vector<float> values;

    float at(double x) const
    {
        const double position = (x - firstMs) / TABLE_STEP_MS;
        if (position <= 0.0 || position >= static_cast<double>(values.size() - 1)) {
            return 0.0F;
        }
        const auto index = static_cast<size_t>(position);
        const auto fraction = static_cast<float>(position - static_cast<double>(index));
        return values[index] + fraction * (values[index + 1] - values[index]);
    }
};

double fadeSpanMs(const DisplayModel& display)
{
    return FADE_TAUS * std::max(display.responseMs, 0.0);
}

ShareTable shareTable(const DisplayModel& display, double periodMs, double exposureMs)
{
    ShareTable table;
    table.firstMs = -exposureMs;
    const double lastMs = periodMs + fadeSpanMs(display) + TABLE_STEP_MS;
    const auto count = static_cast<size_t>((lastMs - table.firstMs) / TABLE_STEP_MS) + 2;
    table.values.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const double x = table.firstMs + static_cast<double>(i) * TABLE_STEP_MS;
        table.values[i] = static_cast<float>(exposureShare(x, periodMs, exposureMs, display.responseMs));
    }
    return table;
}

// The moment the row starts to change for frame 0.
double rowDelayMs(const DisplayModel& display, const Mode& mode, double rowFraction)
{
    const double scan = display.light == Light::AllRows ? 0.0 : display.scanFraction;
    return display.lagMs + scan * mode.periodMs() * rowFraction;
}

// ---- Light that is not simply held: pulses, flashes, a wheel.

// Whether the display holds each frame's light steadily: the fast path.
bool holdsSteadily(const DisplayModel& display)
{
    return (display.light == Light::Scanning || display.light == Light::AllRows) && display.pwmHz <= 0.0 &&
           display.wheelTurns <= 0.0;
}

// A span of time in which a channel's light is on, and how bright it is
// then: the gains keep a frame's light over a whole period what a steady
// display's would be.
struct LitSpan {
    double fromMs = 0.0;
    double toMs = 0.0;
    double gain = 1.0;
};
using LitSpans = std::vector<LitSpan>;

// Periodic on-spans, of length onMs every cycleMs from firstMs, within [from, to).
LitSpans periodicSpans(double firstMs, double cycleMs, double onMs, double gain, double fromMs, double toMs)
{
    LitSpans spans;
    const auto firstCycle = static_cast<long>(std::floor((fromMs - firstMs) / cycleMs));
    for (long cycle = firstCycle; firstMs + static_cast<double>(cycle) * cycleMs < toMs; ++cycle) {
        const double start = firstMs + static_cast<double>(cycle) * cycleMs;
        const double a = std::max(start, fromMs);
        const double b = std::min(start + onMs, toMs);
        if (a < b) {
            spans.push_back({a, b, gain});
        }
    }
    return spans;
}

LitSpans intersect(const LitSpans& first, const LitSpans& second)
{
    LitSpans both;
    for (const LitSpan& x : first) {
        for (const LitSpan& y : second) {
            const double a = std::max(x.fromMs, y.fromMs);
            const double b = std::min(x.toMs, y.toMs);
            if (a < b) {
                both.push_back({a, b, x.gain * y.gain});
            }
        }
    }
    return both;
}

// When channel c (B, G, R) of the display's light is on within [from, to).
LitSpans litSpans(const DisplayModel& display, const Mode& mode, int channel, double fromMs, double toMs)
{
    const double period = mode.periodMs();
    LitSpans spans = {{fromMs, toMs, 1.0}};
    if (display.light == Light::Strobed && display.pulseMs > 0.0) {
        spans = intersect(spans, periodicSpans(display.lagMs + display.pulsePhaseMs, period, display.pulseMs,
                                               period / display.pulseMs, fromMs, toMs));
    }
    if (display.pwmHz > 0.0 && display.pwmDuty > 0.0 && display.pwmDuty < 1.0) {
        const double cycle = 1000.0 / display.pwmHz;
        spans =
            intersect(spans, periodicSpans(0.0, cycle, display.pwmDuty * cycle, 1.0 / display.pwmDuty, fromMs, toMs));
    }
    if (display.wheelTurns > 0.0) {
        // Red, then green, then blue, from the moment the frame starts.
        const double turn = period / display.wheelTurns;
        const int segment = 2 - channel;
        spans =
            intersect(spans, periodicSpans(display.lagMs + segment * turn / 3.0, turn, turn / 3.0, 3.0, fromMs, toMs));
    }
    return spans;
}

// Light of the frame whose change on the row starts at changeMs, within
// [a, b), per unit of the frame's own level: a held frame's step response
// until the next frame's (period later) takes over, or a flash that fades.
double frameLight(const DisplayModel& display, double periodMs, double changeMs, double a, double b)
{
    const double tau = std::max(display.responseMs, 0.0);
    if (display.light == Light::Impulse) {
        if (tau <= 0.0) {
            return changeMs >= a && changeMs < b ? periodMs : 0.0;
        }
        return periodMs * (std::exp(-std::max(0.0, a - changeMs) / tau) - std::exp(-std::max(0.0, b - changeMs) / tau));
    }
    return stepIntegral(b - changeMs, tau) - stepIntegral(a - changeMs, tau) -
           stepIntegral(b - changeMs - periodMs, tau) + stepIntegral(a - changeMs - periodMs, tau);
}

// Share of an exposure that shows the frame, through the lit spans.
double litShare(const DisplayModel& display, double periodMs, double changeMs, const LitSpans& spans, double exposureMs)
{
    double sum = 0.0;
    for (const LitSpan& span : spans) {
        sum += span.gain * frameLight(display, periodMs, changeMs, span.fromMs, span.toMs);
    }
    return sum / exposureMs;
}

// Frames whose light a row can show in an exposure, for b = exposure start
// - the row's delay: those with b - k * period in (-exposure, period + fade].
void frameSpan(double lowMs, double highMs, double periodMs, double exposureMs, double fadeMs, long* first, long* last)
{
    *first = static_cast<long>(std::ceil((lowMs - periodMs - fadeMs) / periodMs));
    *last = static_cast<long>(std::floor((highMs + exposureMs) / periodMs));
}

// ---- Light: the frames in linear light, resampled to a smaller size.

float srgbToLinear(int value)
{
    return static_cast<float>(std::pow(value / 255.0, GAMMA));
}

// The frame in linear light, shrunk by a whole factor (a box filter). Done
// in bands, so no full-size float copy is made.
cv::Mat linearFrame(const cv::Mat& frame, int factor)
{
    cv::Mat table(1, 256, CV_32F);
    for (int i = 0; i < 256; ++i) {
        table.at<float>(i) = srgbToLinear(i);
    }
    const cv::Size small(frame.cols / factor, frame.rows / factor);
    cv::Mat linear(small, CV_32FC3);
    if (factor == 1) {
        cv::LUT(frame, table, linear);
        return linear;
    }
    const int bandRows = factor * 16;
    cv::Mat band;
    for (int y = 0; y < small.height * factor; y += bandRows) {
        const int rows = std::min(bandRows, small.height * factor - y);
        cv::LUT(frame(cv::Rect(0, y, small.width * factor, rows)), table, band);
        cv::Mat out = linear.rowRange(y / factor, (y + rows) / factor);
        cv::resize(band, out, out.size(), 0.0, 0.0, cv::INTER_AREA);
    }
    return linear;
}

// ---- Geometry.

struct ScreenGeometry {
    cv::Matx33d photoToPanel;  // ideal (undistorted) photo pixels to panel pixels
    Quad quad{};               // picture corners in (distorted) photo pixels
    cv::Rect box;              // photo pixels that the picture and its surround cover
    double margin = 0.0;       // bezel or wall around the picture, panel pixels
    double photoPerPanel = 1.0;
};

// The camera's lens: r_ideal = r (1 + k r^2), about the photo's centre.
struct Lens {
    cv::Point2d centre;
    double halfDiagonal = 1.0;
    double barrel = 0.0;

    cv::Point2d ideal(cv::Point2d photo) const
    {
        const cv::Point2d d = photo - centre;
        const double r2 = (d.x * d.x + d.y * d.y) / (halfDiagonal * halfDiagonal);
        return centre + d * (1.0 + barrel * r2);
    }

    cv::Point2d photo(cv::Point2d ideal) const
    {
        const cv::Point2d d = ideal - centre;
        cv::Point2d p = d;
        for (int i = 0; i < 30; ++i) {
            const double r2 = (p.x * p.x + p.y * p.y) / (halfDiagonal * halfDiagonal);
            p = d * (1.0 / (1.0 + barrel * r2));
        }
        return centre + p;
    }
};

Lens lensOf(const CameraModel& camera)
{
    Lens lens;
    lens.centre = cv::Point2d(camera.width / 2.0, camera.height / 2.0);
    lens.halfDiagonal = std::hypot(camera.width, camera.height) / 2.0;
    lens.barrel = camera.barrel;
    return lens;
}

cv::Point2d applyHomography(const cv::Matx33d& h, cv::Point2d p)
{
    const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
    return {q[0] / q[2], q[1] / q[2]};
}

// The picture as a flat rectangle turned in space and seen through a
// pinhole, centred on centre (ideal photo pixels).
ScreenGeometry screenGeometry(const DisplayModel& display, const Mode& mode, const CameraModel& camera,
                              cv::Point2d centre, double rollJitterDeg)
{
    const double width = display.widthFraction * camera.width;
    const double height = width * mode.height / mode.width;
    const double focal = 1.2 * camera.width;
    const double yaw = degrees(display.yawDeg);
    const double pitch = degrees(display.pitchDeg);
    const double roll = degrees(display.rollDeg + rollJitterDeg);
    const cv::Matx33d turnYaw(std::cos(yaw), 0, std::sin(yaw), 0, 1, 0, -std::sin(yaw), 0, std::cos(yaw));
    const cv::Matx33d turnPitch(1, 0, 0, 0, std::cos(pitch), -std::sin(pitch), 0, std::sin(pitch), std::cos(pitch));
    const cv::Matx33d turnRoll(std::cos(roll), -std::sin(roll), 0, std::sin(roll), std::cos(roll), 0, 0, 0, 1);
    const cv::Matx33d turn = turnRoll * turnPitch * turnYaw;

    const auto project = [&](double u, double v) {
        // u, v in 0..1 across the picture.
        const cv::Vec3d p = turn * cv::Vec3d((u - 0.5) * width, (v - 0.5) * height, 0.0) + cv::Vec3d(0, 0, focal);
        return cv::Point2f(static_cast<float>(centre.x + focal * p[0] / p[2]),
                           static_cast<float>(centre.y + focal * p[1] / p[2]));
    };
    const std::array<cv::Point2f, 4> panel = {
        cv::Point2f(0, 0), cv::Point2f(static_cast<float>(mode.width), 0),
        cv::Point2f(static_cast<float>(mode.width), static_cast<float>(mode.height)),
        cv::Point2f(0, static_cast<float>(mode.height))};
    const std::array<cv::Point2f, 4> seen = {project(0, 0), project(1, 0), project(1, 1), project(0, 1)};
    const cv::Matx33d panelToPhoto = cv::getPerspectiveTransform(panel.data(), seen.data());

    ScreenGeometry geometry;
    geometry.photoToPanel = panelToPhoto.inv();
    geometry.margin = display.bezelFraction * mode.width;
    const Lens lens = lensOf(camera);
    for (size_t i = 0; i < 4; ++i) {
        geometry.quad[i] = lens.photo(cv::Point2d(seen[i].x, seen[i].y));
    }
    const double top = cv::norm(seen[1] - seen[0]);
    const double left = cv::norm(seen[3] - seen[0]);
    geometry.photoPerPanel = std::max({top / mode.width, cv::norm(seen[2] - seen[3]) / mode.width, left / mode.height,
                                       cv::norm(seen[2] - seen[1]) / mode.height});
    // The surround's outline, bent by the lens, bounds what is drawn.
    double x0 = camera.width;
    double y0 = camera.height;
    double x1 = 0.0;
    double y1 = 0.0;
    const double m = geometry.margin;
    for (int i = 0; i <= 16; ++i) {
        const double s = i / 16.0;
        for (const cv::Point2d p : {cv::Point2d(-m + s * (mode.width + 2 * m), -m),
                                    cv::Point2d(-m + s * (mode.width + 2 * m), mode.height + m),
                                    cv::Point2d(-m, -m + s * (mode.height + 2 * m)),
                                    cv::Point2d(mode.width + m, -m + s * (mode.height + 2 * m))}) {
            const cv::Point2d q = lens.photo(applyHomography(panelToPhoto, p));
            x0 = std::min(x0, q.x);
            y0 = std::min(y0, q.y);
            x1 = std::max(x1, q.x);
            y1 = std::max(y1, q.y);
        }
    }
    const cv::Rect all(0, 0, camera.width, camera.height);
    geometry.box = cv::Rect(cv::Point(static_cast<int>(std::floor(x0)) - 2, static_cast<int>(std::floor(y0)) - 2),
                            cv::Point(static_cast<int>(std::ceil(x1)) + 3, static_cast<int>(std::ceil(y1)) + 3)) &
                   all;
    return geometry;
}

// Where each screen stands: side by side or stacked, the reference first.
std::array<cv::Point2d, 2> screenCentres(const Scenario& scenario)
{
    const double w = scenario.camera.width;
    const double h = scenario.camera.height;
    cv::Point2d first;
    cv::Point2d second;
    switch (scenario.placement) {
        case Placement::Left:
            first = {0.27 * w, 0.5 * h};
            second = {0.73 * w, 0.5 * h};
            break;
        case Placement::Right:
            first = {0.73 * w, 0.5 * h};
            second = {0.27 * w, 0.5 * h};
            break;
        case Placement::Top:
            first = {0.5 * w, 0.26 * h};
            second = {0.5 * w, 0.74 * h};
            break;
        case Placement::Bottom:
            first = {0.5 * w, 0.74 * h};
            second = {0.5 * w, 0.26 * h};
            break;
    }
    return {first + cv::Point2d(scenario.reference.offset.x * w, scenario.reference.offset.y * h),
            second + cv::Point2d(scenario.device.offset.x * w, scenario.device.offset.y * h)};
}

// ---- The room.

cv::Scalar linearColour(std::mt19937& random, double level, double saturation, int hue)
{
    // hue: 0 blue, 1 green, 2 red, 3 any.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    cv::Scalar colour(level * (0.5 + 0.5 * unit(random)), level * (0.5 + 0.5 * unit(random)),
                      level * (0.5 + 0.5 * unit(random)));
    if (hue < 3) {
        for (int c = 0; c < 3; ++c) {
            if (c != hue) {
                colour[c] *= 1.0 - saturation;
            }
        }
    }
    return colour;
}

// A wall lit from above, a desk, and things on them, some of them blue or
// green like the pattern. The layout is the scenario's; shift moves it
// with the camera.
cv::Mat roomBackground(const CameraModel& camera, unsigned seed, cv::Point2d shift,
                       const std::vector<cv::Rect>& bareWall)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double a = camera.ambient;
    cv::Mat room(camera.height, camera.width, CV_32FC3);
    const cv::Vec3f wall(static_cast<float>(a * (0.75 + 0.1 * unit(random))),
                         static_cast<float>(a * (0.8 + 0.1 * unit(random))),
                         static_cast<float>(a * (0.85 + 0.15 * unit(random))));
    const double deskTop = 0.82 + 0.08 * unit(random);
    const cv::Vec3f desk(static_cast<float>(a * 0.18), static_cast<float>(a * 0.3), static_cast<float>(a * 0.45));
    for (int y = 0; y < camera.height; ++y) {
        const double v = (y - shift.y) / camera.height;
        const auto light = static_cast<float>(1.15 - 0.35 * v);
        const cv::Vec3f colour = v > deskTop ? desk * light : wall * light;
        auto* row = room.ptr<cv::Vec3f>(y);
        for (int x = 0; x < camera.width; ++x) {
            row[x] = colour;
        }
    }
    const auto w = static_cast<double>(camera.width);
    const auto h = static_cast<double>(camera.height);
    // Two blue and two green things, then others.
    for (int i = 0; i < 12; ++i) {
        const int hue = i < 2 ? 0 : (i < 4 ? 1 : 3);
        const double level = a * (0.4 + 1.6 * unit(random));
        const cv::Scalar colour = linearColour(random, level, 0.6 + 0.35 * unit(random), hue);
        const cv::Point2d centre(w * unit(random) + shift.x, h * (0.05 + 0.9 * unit(random)) + shift.y);
        const double size = w * (0.03 + 0.09 * unit(random));
        const double aspect = 0.3 + 1.4 * unit(random);
        const bool rectangle = unit(random) < 0.6;
        const double angle = unit(random);
        const double extent = size * std::max(1.0, aspect);
        const cv::Rect bounds(cvRound(centre.x - extent), cvRound(centre.y - extent), cvRound(2 * extent),
                              cvRound(2 * extent));
        // Nothing hangs where a projector shines.
        if (std::any_of(bareWall.begin(), bareWall.end(), [&](const cv::Rect& r) { return !(r & bounds).empty(); })) {
            continue;
        }
        if (rectangle) {
            const cv::RotatedRect shape(cv::Point2f(static_cast<float>(centre.x), static_cast<float>(centre.y)),
                                        cv::Size2f(static_cast<float>(size), static_cast<float>(size * aspect)),
                                        static_cast<float>(20.0 * (angle - 0.5)));
            cv::Point2f corners[4];
            shape.points(corners);
            std::vector<cv::Point> polygon;
            for (const cv::Point2f& p : corners) {
                polygon.emplace_back(cvRound(p.x), cvRound(p.y));
            }
            cv::fillConvexPoly(room, polygon, colour, cv::LINE_AA);
        } else {
            cv::ellipse(room, cv::Point(cvRound(centre.x), cvRound(centre.y)),
                        cv::Size(cvRound(size / 2), cvRound(size * aspect / 2)), 180.0 * angle, 0, 360, colour,
                        cv::FILLED, cv::LINE_AA);
        }
    }
    return room;
}

// ---- One screen in the photo.

// Adds one frame's light, seen through the display's pulses, flashes or
// wheel, to the picture: per pixel, start holds the photo row's exposure
// start minus the display row's delay.
void addLitFrame(const DisplayModel& display, double periodMs, double frameStartMs, const cv::Mat& seen,
                 const cv::Mat& start, const cv::Mat& where, const std::vector<double>& rowStarts,
                 const std::vector<std::array<LitSpans, 3>>& spans, double exposureMs, cv::Mat* light)
{
    for (int y = 0; y < seen.rows; ++y) {
        const auto* b = start.ptr<float>(y);
        const auto* w = where.ptr<unsigned char>(y);
        const auto* s = seen.ptr<cv::Vec3f>(y);
        auto* l = light->ptr<cv::Vec3f>(y);
        const double rowStart = rowStarts[static_cast<size_t>(y)];
        const std::array<LitSpans, 3>& row = spans[static_cast<size_t>(y)];
        for (int x = 0; x < seen.cols; ++x) {
            if (w[x] != 2) {
                continue;
            }
            // The display row's change for this frame.
            const double changeMs = rowStart - static_cast<double>(b[x]) + frameStartMs;
            for (size_t c = 0; c < 3; ++c) {
                l[x][static_cast<int>(c)] +=
                    s[x][static_cast<int>(c)] *
                    static_cast<float>(litShare(display, periodMs, changeMs, row[c], exposureMs));
            }
        }
    }
}

struct ScreenView {
    const DisplayModel* display = nullptr;
    ScreenGeometry geometry;
};

// Frames in linear light, by column and shrink factor, for one photo.
using ShrunkFrames = std::map<std::pair<int, int>, cv::Mat>;

void drawScreen(cv::Mat* photo, const PatternFrames& frames, const Scenario& scenario, const ScreenView& view,
                double exposureStartMs, ShrunkFrames* shrunk)
{
    const DisplayModel& display = *view.display;
    const ScreenGeometry& geometry = view.geometry;
    const Mode& mode = scenario.mode;
    const CameraModel& camera = scenario.camera;
    const cv::Rect box = geometry.box;
    if (box.empty()) {
        return;
    }
    const Lens lens = lensOf(camera);
    const double crop = display.overscan;
    const double shown = 1.0 - 2.0 * crop;
    // Frames shrunk to what the photo resolves, by a whole factor: a box
    // filter, fast, and shared by both screens when they are alike.
    const int factor = std::clamp(cvRound(shown / (OVERSAMPLING * geometry.photoPerPanel)), 1, 16);
    const cv::Size small(mode.width / factor, mode.height / factor);
    const double shrink = 1.0 / factor;

    // Per photo pixel: where it looks in the shrunk frames, and when the
    // display row it sees changes relative to the exposure (b).
    cv::Mat mapX(box.size(), CV_32F, cv::Scalar(-10));
    cv::Mat mapY(box.size(), CV_32F, cv::Scalar(-10));
    cv::Mat start(box.size(), CV_32F, cv::Scalar(0));
    cv::Mat where(box.size(), CV_8U, cv::Scalar(0));  // 0 outside, 1 surround, 2 picture
    std::vector<double> rowStarts(static_cast<size_t>(box.height));
    double lowMs = 1e300;
    double highMs = -1e300;
    const double m = geometry.margin;
    for (int y = 0; y < box.height; ++y) {
        const int photoY = box.y + y;
        const double rowStart = exposureStartMs + camera.readoutMs * photoY / camera.height;
        rowStarts[static_cast<size_t>(y)] = rowStart;
        auto* mx = mapX.ptr<float>(y);
        auto* my = mapY.ptr<float>(y);
        auto* b = start.ptr<float>(y);
        auto* w = where.ptr<unsigned char>(y);
        for (int x = 0; x < box.width; ++x) {
            const cv::Point2d p = applyHomography(geometry.photoToPanel, lens.ideal(cv::Point2d(box.x + x, photoY)));
            if (p.x < -m || p.y < -m || p.x > mode.width + m || p.y > mode.height + m) {
                continue;
            }
            if (p.x < 0 || p.y < 0 || p.x >= mode.width || p.y >= mode.height) {
                w[x] = 1;
                continue;
            }
            w[x] = 2;
            const double u = crop * mode.width + p.x * shown;
            const double v = crop * mode.height + p.y * shown;
            mx[x] = static_cast<float>(u * shrink - 0.5);
            my[x] = static_cast<float>(v * shrink - 0.5);
            const double bMs = rowStart - rowDelayMs(display, mode, p.y / mode.height);
            b[x] = static_cast<float>(bMs);
            lowMs = std::min(lowMs, bMs);
            highMs = std::max(highMs, bMs);
        }
    }

    // The light of the picture: each frame the exposure saw, by its share.
    const double period = mode.periodMs();
    cv::Mat light(box.size(), CV_32FC3, cv::Scalar::all(0));
    if (lowMs <= highMs) {
        long first = 0;
        long last = 0;
        frameSpan(lowMs, highMs, period, camera.exposureMs, fadeSpanMs(display), &first, &last);
        const ShareTable table = holdsSteadily(display) ? shareTable(display, period, camera.exposureMs) : ShareTable{};
        // Of light that pulses or flashes, each photo row's lit spans.
        std::vector<std::array<LitSpans, 3>> spans;
        if (!holdsSteadily(display)) {
            for (const double rowStart : rowStarts) {
                std::array<LitSpans, 3> row;
                for (int c = 0; c < 3; ++c) {
                    row[static_cast<size_t>(c)] = litSpans(display, mode, c, rowStart, rowStart + camera.exposureMs);
                }
                spans.push_back(row);
            }
        }
        cv::Mat seen;
        for (long k = first; k <= last; ++k) {
            const std::pair<int, int> key(columnOf(k), factor);
            if (shrunk->count(key) == 0) {
                (*shrunk)[key] = linearFrame(frames.frames.at(static_cast<size_t>(key.first)), factor);
            }
            cv::remap((*shrunk)[key], seen, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            const double frameStart = static_cast<double>(k) * period;
            if (!holdsSteadily(display)) {
                addLitFrame(display, period, frameStart, seen, start, where, rowStarts, spans, camera.exposureMs,
                            &light);
                continue;
            }
            for (int y = 0; y < box.height; ++y) {
                const auto* b = start.ptr<float>(y);
                const auto* w = where.ptr<unsigned char>(y);
                const auto* s = seen.ptr<cv::Vec3f>(y);
                auto* l = light.ptr<cv::Vec3f>(y);
                for (int x = 0; x < box.width; ++x) {
                    if (w[x] == 2) {
                        l[x] += s[x] * table.at(static_cast<double>(b[x]) - frameStart);
                    }
                }
            }
        }
    }

    // Into the photo: the picture as the display emits it, and its bezel;
    // a projection adds its light to the wall's.
    const cv::Vec3f cast(static_cast<float>(display.colourCast[0]), static_cast<float>(display.colourCast[1]),
                         static_cast<float>(display.colourCast[2]));
    const auto gain = static_cast<float>(display.brightness);
    const auto black = static_cast<float>(display.blackLevel);
    const auto ambient = static_cast<float>(camera.ambient);
    // A dark bezel with a faint sheen; a panel reflects a little room light.
    const cv::Vec3f bezel = cv::Vec3f::all(0.01F + 0.06F * ambient);
    const cv::Vec3f sheen = cv::Vec3f::all(0.02F * ambient);
    for (int y = 0; y < box.height; ++y) {
        const auto* w = where.ptr<unsigned char>(y);
        const auto* l = light.ptr<cv::Vec3f>(y);
        auto* out = photo->ptr<cv::Vec3f>(box.y + y) + box.x;
        for (int x = 0; x < box.width; ++x) {
            if (w[x] == 1 && display.bezel) {
                out[x] = bezel;
            }
            if (w[x] != 2) {
                continue;
            }
            const cv::Vec3f emitted = (cv::Vec3f::all(black) + l[x] * (1.0F - black)) * gain;
            const cv::Vec3f picture = cv::Vec3f(emitted[0] * cast[0], emitted[1] * cast[1], emitted[2] * cast[2]);
            out[x] = picture + (display.bezel ? sheen : out[x]);
        }
    }
}

ScreenTruth screenTruth(const DisplayModel& display, const ScreenGeometry& geometry, const Mode& mode, double momentMs)
{
    ScreenTruth truth;
    truth.quad = geometry.quad;
    truth.clockFrames = screenClockFrames(display, mode, momentMs);
    const int step = mode.width / COLUMN_COUNT;  // the pattern's whole-pixel column step
    const double left = truth.column() * step;
    const double shownLeft = display.overscan * mode.width;
    const double shownRight = (1.0 - display.overscan) * mode.width;
    truth.barShown = std::min(left + step, shownRight) - std::max(left, shownLeft) >= step / 2.0;
    return truth;
}

// A lamp's reflection on the device's glass: a soft spot of light added
// over the screen and its bezel.
void addGlare(cv::Mat* linear, const CameraModel& camera, const ScreenGeometry& screen)
{
    const Quad& q = screen.quad;
    const double u = camera.glareAt.x;
    const double v = camera.glareAt.y;
    const cv::Point2d centre =
        q[0] * ((1 - u) * (1 - v)) + q[1] * (u * (1 - v)) + q[2] * (u * v) + q[3] * ((1 - u) * v);
    const double sigma = camera.glareRadius * camera.width;
    for (int y = screen.box.y; y < screen.box.y + screen.box.height; ++y) {
        auto* row = linear->ptr<cv::Vec3f>(y);
        for (int x = screen.box.x; x < screen.box.x + screen.box.width; ++x) {
            const double d2 = (x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y);
            row[x] += cv::Vec3f::all(static_cast<float>(camera.glare * std::exp(-d2 / (2.0 * sigma * sigma))));
        }
    }
}

// The camera moving during the exposure: every point smeared along a line.
void shake(cv::Mat* linear, const CameraModel& camera)
{
    const int size = 2 * static_cast<int>(std::ceil(camera.shakePx / 2.0)) + 1;
    cv::Mat kernel(size, size, CV_32F, cv::Scalar(0));
    const cv::Point2d direction(std::cos(degrees(camera.shakeAngleDeg)), std::sin(degrees(camera.shakeAngleDeg)));
    const int half = size / 2;
    const cv::Point2d middle(half, half);
    constexpr int STEPS = 64;
    for (int i = 0; i <= STEPS; ++i) {
        const cv::Point2d p = middle + direction * (camera.shakePx * (static_cast<double>(i) / STEPS - 0.5));
        kernel.at<float>(cvRound(p.y), cvRound(p.x)) += 1.0F;
    }
    kernel /= cv::sum(kernel)[0];
    cv::filter2D(*linear, *linear, -1, kernel);
}

// Linear light to the camera's 8-bit output: its tone curve, then sensor
// noise (drawn from a table of normal deviates by a fast generator: the
// photo has millions of pixels).
cv::Mat develop(const cv::Mat& linear, const CameraModel& camera, std::mt19937& random)
{
    constexpr int STEPS = 4096;
    std::vector<float> curve(STEPS + 1);
    for (int i = 0; i <= STEPS; ++i) {
        curve[static_cast<size_t>(i)] =
            static_cast<float>(255.0 * std::pow(static_cast<double>(i) / STEPS, 1.0 / GAMMA));
    }
    constexpr size_t DEVIATES = 1U << 16U;
    std::vector<float> deviates(DEVIATES);
    std::normal_distribution<float> normal(0.0F, static_cast<float>(camera.noiseSigma));
    for (float& d : deviates) {
        d = normal(random);
    }
    uint64_t state = (static_cast<uint64_t>(random()) << 32U) | random() | 1U;
    cv::Mat out(linear.size(), CV_8UC3);
    for (int y = 0; y < linear.rows; ++y) {
        const auto* in = linear.ptr<float>(y);
        auto* o = out.ptr<unsigned char>(y);
        for (int i = 0; i < linear.cols * 3; ++i) {
            state ^= state << 13U;
            state ^= state >> 7U;
            state ^= state << 17U;
            const float v = std::clamp(in[i], 0.0F, 1.0F);
            const float encoded = curve[static_cast<size_t>(std::lround(v * STEPS))] + deviates[state & (DEVIATES - 1)];
            o[i] = static_cast<unsigned char>(std::clamp(encoded + 0.5F, 0.0F, 255.0F));
        }
    }
    return out;
}

}  // namespace

std::string modeName(const Mode& mode)
{
    return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "x" + std::to_string(mode.rate);
}

PatternFrames loadPatternFrames(const std::string& dir)
{
    PatternFrames frames;
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        char name[32];
        (void)std::snprintf(name, sizeof name, "/column-%02d.png", column);
        cv::Mat frame = cv::imread(dir + name, cv::IMREAD_COLOR);
        if (frame.empty()) {
            throw std::runtime_error("cannot read the pattern frame " + dir + name);
        }
        if (!frames.frames.empty() && frame.size() != frames.frames.front().size()) {
            throw std::runtime_error("the pattern frame " + dir + name + " is of another size");
        }
        frames.frames.push_back(frame);
    }
    return frames;
}

const char* placementName(Placement placement)
{
    switch (placement) {
        case Placement::Left:
            return "left";
        case Placement::Right:
            return "right";
        case Placement::Top:
            return "top";
        case Placement::Bottom:
            return "bottom";
    }
    return "left";
}

double halfwayMs(const DisplayModel& display)
{
    if (display.light == Light::Strobed) {
        return display.lagMs + display.pulsePhaseMs + display.pulseMs / 2.0;
    }
    return display.lagMs + std::max(display.responseMs, 0.0) * LN2;
}

double truthLagMs(const Scenario& scenario)
{
    return halfwayMs(scenario.device) - halfwayMs(scenario.reference);
}

double truthLagAtRowMs(const Scenario& scenario, double rowFraction)
{
    const double period = scenario.mode.periodMs();
    const auto halfwayAtRow = [&](const DisplayModel& d) {
        const double rowHalf = rowDelayMs(d, scenario.mode, rowFraction) + std::max(d.responseMs, 0.0) * LN2;
        if (d.light != Light::Strobed) {
            return rowHalf;
        }
        // The first pulse whose middle finds the row past half of the frame.
        const double firstMiddle = d.lagMs + d.pulsePhaseMs + d.pulseMs / 2.0;
        return firstMiddle + std::ceil(std::max(0.0, rowHalf - firstMiddle) / period) * period;
    };
    return halfwayAtRow(scenario.device) - halfwayAtRow(scenario.reference);
}

double truthLagFrames(const Scenario& scenario)
{
    return truthLagMs(scenario) / scenario.mode.periodMs();
}

int ScreenTruth::column() const
{
    return columnOf(static_cast<long>(std::floor(clockFrames)));
}

double screenClockFrames(const DisplayModel& display, const Mode& mode, double timeMs)
{
    return (timeMs - halfwayMs(display)) / mode.periodMs();
}

std::vector<FrameWeight> frameWeights(const DisplayModel& display, const Mode& mode, double rowFraction,
                                      double exposureStartMs, double exposureMs)
{
    const double period = mode.periodMs();
    const double b = exposureStartMs - rowDelayMs(display, mode, rowFraction);
    long first = 0;
    long last = 0;
    frameSpan(b, b, period, exposureMs, fadeSpanMs(display), &first, &last);
    std::vector<FrameWeight> weights;
    // Of light that pulses or flashes, the bar's green.
    const LitSpans spans =
        holdsSteadily(display) ? LitSpans{} : litSpans(display, mode, 1, exposureStartMs, exposureStartMs + exposureMs);
    for (long k = first; k <= last; ++k) {
        const double changeMs = exposureStartMs - b + static_cast<double>(k) * period;
        const double share = holdsSteadily(display) ? exposureShare(b - static_cast<double>(k) * period, period,
                                                                    exposureMs, display.responseMs)
                                                    : litShare(display, period, changeMs, spans, exposureMs);
        if (share > 1e-6) {
            weights.push_back({k, share});
        }
    }
    return weights;
}

ModelPhoto makePhoto(const PatternFrames& frames, const Scenario& scenario, std::mt19937& random)
{
    std::uniform_real_distribution<double> moment(START_MS, START_MS + COLUMN_COUNT * scenario.mode.periodMs());
    return makePhotoAt(frames, scenario, moment(random), random);
}

ModelPhoto makePhotoAt(const PatternFrames& frames, const Scenario& scenario, double exposureStartMs,
                       std::mt19937& random)
{
    if (frames.frames.size() != COLUMN_COUNT ||
        frames.frames.front().size() != cv::Size(scenario.mode.width, scenario.mode.height)) {
        throw std::invalid_argument("the pattern frames are not of the scenario's mode");
    }
    const CameraModel& camera = scenario.camera;
    std::normal_distribution<double> jitter(0.0, camera.jitterPx);
    std::normal_distribution<double> turn(0.0, 0.3);
    const cv::Point2d shift(jitter(random), jitter(random));
    const double roll = camera.jitterPx > 0.0 ? turn(random) : 0.0;

    const std::array<cv::Point2d, 2> centres = screenCentres(scenario);
    const ScreenView reference{&scenario.reference,
                               screenGeometry(scenario.reference, scenario.mode, camera, centres[0] + shift, roll)};
    const ScreenView device{&scenario.device,
                            screenGeometry(scenario.device, scenario.mode, camera, centres[1] + shift, roll)};
    std::vector<cv::Rect> bareWall;
    for (const ScreenView* view : {&reference, &device}) {
        if (!view->display->bezel) {
            bareWall.push_back(view->geometry.box);
        }
    }
    cv::Mat linear = roomBackground(camera, scenario.seed, shift, bareWall);
    ShrunkFrames shrunk;
    drawScreen(&linear, frames, scenario, reference, exposureStartMs, &shrunk);
    drawScreen(&linear, frames, scenario, device, exposureStartMs, &shrunk);
    // The lens blurs everything, but only the screens have edges sharp
    // enough to show it.
    if (camera.blurSigmaPx > 0.0) {
        const int reach = static_cast<int>(std::ceil(4.0 * camera.blurSigmaPx));
        const cv::Rect all(0, 0, camera.width, camera.height);
        for (const ScreenView* view : {&reference, &device}) {
            const cv::Rect box = view->geometry.box;
            const cv::Rect around =
                cv::Rect(box.x - reach, box.y - reach, box.width + 2 * reach, box.height + 2 * reach) & all;
            cv::Mat part = linear(around);
            cv::GaussianBlur(part, part, cv::Size(), camera.blurSigmaPx);
        }
    }

    if (camera.glare > 0.0) {
        addGlare(&linear, camera, device.geometry);
    }
    if (camera.shakePx > 0.0) {
        shake(&linear, camera);
    }

    ModelPhoto photo;
    photo.image = develop(linear, camera, random);
    if (camera.sharpen > 0.0) {
        // A phone's unsharp mask, on what its sensor gave.
        cv::Mat soft;
        cv::GaussianBlur(photo.image, soft, cv::Size(), camera.sharpenRadiusPx);
        cv::addWeighted(photo.image, 1.0 + camera.sharpen, soft, -camera.sharpen, 0.0, photo.image);
    }
    photo.exposureStartMs = exposureStartMs;
    photo.momentMs = exposureStartMs + camera.exposureMs / 2.0;
    photo.reference = screenTruth(scenario.reference, reference.geometry, scenario.mode, photo.momentMs);
    photo.device = screenTruth(scenario.device, device.geometry, scenario.mode, photo.momentMs);
    photo.truthLagMs = truthLagMs(scenario);
    return photo;
}

std::vector<VideoFrameTruth> writeVideo(const PatternFrames& frames, const Scenario& scenario,
                                        const VideoSettings& settings, const std::string& path, std::mt19937& random)
{
    const bool mp4 = path.size() >= 4 && path.compare(path.size() - 4, 4, ".mp4") == 0;
    const int codec = mp4 ? cv::VideoWriter::fourcc('m', 'p', '4', 'v') : cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    cv::VideoWriter writer(path, codec, settings.fps, cv::Size(scenario.camera.width, scenario.camera.height));
    if (!writer.isOpened()) {
        throw std::runtime_error("OpenCV cannot write the video " + path);
    }
    Scenario steady = scenario;
    steady.camera.jitterPx = 0.0;
    Scenario changed = steady;
    changed.device.lagMs += settings.lagChangeMs;
    std::uniform_real_distribution<double> moment(START_MS, START_MS + COLUMN_COUNT * scenario.mode.periodMs());
    const double firstMs = moment(random);
    std::vector<VideoFrameTruth> truths;
    for (int i = 0; i < settings.frameCount; ++i) {
        const Scenario& now = i < settings.frameCount / 2 ? steady : changed;
        const ModelPhoto photo = makePhotoAt(frames, now, firstMs + 1000.0 * i / settings.fps, random);
        writer.write(photo.image);
        truths.push_back({photo.momentMs, photo.truthLagMs, photo.reference, photo.device});
    }
    return truths;
}

void keepFreedMemory()
{
    constexpr int LIMIT = 1 << 30;
    (void)mallopt(M_MMAP_THRESHOLD, LIMIT);
    (void)mallopt(M_TRIM_THRESHOLD, LIMIT);
}

std::vector<unsigned char> exifBlock(double exposureMs)
{
    const std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(exif_data_new(), &exif_data_unref);
    if (!exif) {
        throw std::runtime_error("libexif: out of memory");
    }
    exif_data_set_byte_order(exif.get(), EXIF_BYTE_ORDER_INTEL);
    ExifEntry* entry = exif_entry_new();
    exif_content_add_entry(exif->ifd[EXIF_IFD_EXIF], entry);
    exif_entry_initialize(entry, EXIF_TAG_EXPOSURE_TIME);
    exif_entry_unref(entry);
    // Microseconds over a second, reduced as cameras store it.
    const auto micros = static_cast<ExifLong>(std::lround(exposureMs * 1000.0));
    const ExifLong common = std::gcd(micros, ExifLong{1000000});
    exif_set_rational(entry->data, EXIF_BYTE_ORDER_INTEL, ExifRational{micros / common, 1000000 / common});
    unsigned char* data = nullptr;
    unsigned int size = 0;
    exif_data_save_data(exif.get(), &data, &size);
    if (data == nullptr) {
        throw std::runtime_error("libexif: cannot write the block");
    }
    std::vector<unsigned char> block(data, data + size);
    std::free(data);  // NOLINT(cppcoreguidelines-no-malloc): libexif's allocation
    return block;
}

std::vector<unsigned char> encodeJpeg(const cv::Mat& image, int quality, double exposureMs)
{
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    // The EXIF block in its APP1 segment, right after the start of image.
    const std::vector<unsigned char> exif = exifBlock(exposureMs);
    const std::size_t length = exif.size() + 2;
    std::vector<unsigned char> app1 = {0xFF, 0xE1, static_cast<unsigned char>(length >> 8U),
                                       static_cast<unsigned char>(length & 0xFFU)};
    app1.insert(app1.end(), exif.begin(), exif.end());
    bytes.insert(bytes.begin() + 2, app1.begin(), app1.end());
    return bytes;
}

namespace {

void check(const heif_error& error, const char* what)
{
    if (error.code != heif_error_Ok) {
        throw std::runtime_error(std::string("libheif cannot ") + what + ": " + error.message);
    }
}

heif_error appendBytes(heif_context* /*context*/, const void* data, std::size_t size, void* bytes)
{
    const auto* begin = static_cast<const unsigned char*>(data);
    static_cast<std::vector<unsigned char>*>(bytes)->insert(static_cast<std::vector<unsigned char>*>(bytes)->end(),
                                                            begin, begin + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

}  // namespace

std::vector<unsigned char> encodeHeic(const cv::Mat& image, int quality, double exposureMs, int orientation)
{
    const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), &heif_context_free);
    heif_encoder* encoderPointer = nullptr;
    check(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &encoderPointer),
          "find a HEVC encoder");
    const std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(encoderPointer, &heif_encoder_release);
    check(heif_encoder_set_lossy_quality(encoder.get(), quality), "set the quality");
    // A phone's hardware encoder spends little on each photo; x265's own
    // default would take seconds a photo.
    check(heif_encoder_set_parameter(encoder.get(), "preset", "ultrafast"), "set the preset");

    heif_image* picturePointer = nullptr;
    check(heif_image_create(image.cols, image.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &picturePointer),
          "make an image");
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> picture(picturePointer, &heif_image_release);
    check(heif_image_add_plane(picture.get(), heif_channel_interleaved, image.cols, image.rows, 8), "add a plane");
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(picture.get(), heif_channel_interleaved, &stride);
    cv::Mat rgb(image.rows, image.cols, CV_8UC3, plane, static_cast<std::size_t>(stride));
    cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);

    const std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(
        heif_encoding_options_alloc(), &heif_encoding_options_free);
    options->image_orientation = static_cast<heif_orientation>(orientation);
    heif_image_handle* handlePointer = nullptr;
    check(heif_context_encode_image(context.get(), picture.get(), encoder.get(), options.get(), &handlePointer),
          "encode");
    const std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(handlePointer,
                                                                                          &heif_image_handle_release);
    const std::vector<unsigned char> exif = exifBlock(exposureMs);
    check(heif_context_add_exif_metadata(context.get(), handle.get(), exif.data(), static_cast<int>(exif.size())),
          "add the EXIF block");

    std::vector<unsigned char> bytes;
    heif_writer writer{1, appendBytes};
    check(heif_context_write(context.get(), &writer, &bytes), "write");
    return bytes;
}

std::vector<Scenario> lightScenarios()
{
    const Scenario pair = standardScenarios().front();
    std::vector<Scenario> scenarios;

    // A CRT as the reference, at 75 Hz: each row glows for about a
    // millisecond after the beam passes. At 1/250 s only a band shows.
    Scenario crt = pair;
    crt.name = "crt-reference-4ms";
    crt.mode = {1024, 768, 75};
    crt.reference.light = Light::Impulse;
    crt.reference.scanFraction = 0.95;  // the rest is vertical blanking
    crt.reference.responseMs = 0.4;
    crt.reference.brightness = 0.35;
    crt.reference.widthFraction = 0.34;
    crt.reference.blackLevel = 0.002;
    crt.device.lagMs = 30.0;
    crt.device.responseMs = 3.0;
    crt.camera.exposureMs = 4.0;
    crt.seed = 201;
    scenarios.push_back(crt);
    // The same exposed for one frame: all of the CRT lit, evenly.
    Scenario crtFrame = crt;
    crtFrame.name = "crt-reference-frame";
    crtFrame.camera.exposureMs = crt.mode.periodMs();
    crtFrame.seed = 202;
    scenarios.push_back(crtFrame);

    // A gaming monitor with black frame insertion at 144 Hz: scanned out
    // in 60 % of the period, then lit by a 1.5 ms pulse.
    Scenario strobed = pair;
    strobed.name = "strobed-144";
    strobed.mode = {1920, 1080, 144};
    strobed.reference.responseMs = 1.0;
    strobed.device.light = Light::Strobed;
    strobed.device.lagMs = 8.0;
    strobed.device.scanFraction = 0.6;
    strobed.device.responseMs = 0.8;
    strobed.device.pulsePhaseMs = 5.0;
    strobed.device.pulseMs = 1.5;
    strobed.camera.exposureMs = 2.0;
    strobed.seed = 203;
    scenarios.push_back(strobed);

    // A laptop dimmed by PWM at 240 Hz, 35 % on, photographed by a phone:
    // its rolling shutter sees dark bands across the screen.
    Scenario pwm = pair;
    pwm.name = "pwm-phone";
    pwm.device.pwmHz = 240.0;
    pwm.device.pwmDuty = 0.35;
    pwm.device.lagMs = 28.0;
    pwm.device.responseMs = 4.0;
    pwm.camera.readoutMs = 16.0;
    pwm.camera.exposureMs = 1.0;
    pwm.camera.noiseSigma = 3.0;
    pwm.camera.jpegQuality = 82;
    pwm.seed = 204;
    scenarios.push_back(pwm);

    // A single-chip DLP projector: every row at once, and a colour wheel
    // turning twice a frame, at 1/500 s.
    Scenario dlp = standardScenarios().at(2);
    dlp.name = "dlp-colour-wheel";
    dlp.device.light = Light::AllRows;
    dlp.device.wheelTurns = 2.0;
    dlp.device.brightness = 0.8;
    dlp.camera.exposureMs = 2.0;
    dlp.seed = 205;
    scenarios.push_back(dlp);

    // A small reference beside a large TV with a lamp's glare on it; a
    // hand that shakes a little, and a phone that sharpens and compresses.
    Scenario glare = pair;
    glare.name = "glare-shake-small-reference";
    glare.reference.widthFraction = 0.18;
    glare.reference.offset = {0.06, 0.0};
    glare.device.widthFraction = 0.5;
    glare.device.offset = {-0.03, 0.0};
    glare.device.lagMs = 40.0;
    glare.camera.glare = 0.6;
    glare.camera.shakePx = 4.0;
    glare.camera.shakeAngleDeg = 20.0;
    glare.camera.sharpen = 0.8;
    glare.camera.jpegQuality = 75;
    glare.seed = 206;
    scenarios.push_back(glare);

    // A 120 Hz TV fed 60 Hz: each frame drawn top to bottom in half the period.
    Scenario fast = pair;
    fast.name = "fast-scanning-tv";
    fast.device.lagMs = 30.0;
    fast.device.scanFraction = 0.5;
    fast.device.responseMs = 3.0;
    fast.device.widthFraction = 0.44;
    fast.seed = 207;
    scenarios.push_back(fast);

    // A long exposure: 40 ms, more than two frames.
    Scenario longExposure = pair;
    longExposure.name = "long-exposure";
    longExposure.camera.exposureMs = 40.0;
    longExposure.seed = 208;
    scenarios.push_back(longExposure);

    for (Scenario& scenario : scenarios) {
        scenario.photoCount = 16;
    }
    return scenarios;
}

Scenario withPhotoWidth(const Scenario& scenario, int width)
{
    Scenario scaled = scenario;
    const double factor = static_cast<double>(width) / scenario.camera.width;
    scaled.camera.width = width;
    scaled.camera.height = cvRound(scenario.camera.height * factor);
    scaled.camera.jitterPx *= factor;
    scaled.camera.blurSigmaPx *= factor;
    scaled.camera.shakePx *= factor;
    scaled.camera.sharpenRadiusPx *= factor;
    return scaled;
}

std::vector<Scenario> standardScenarios()
{
    std::vector<Scenario> scenarios;

    // Two monitors side by side at 60 Hz, a little turned towards the camera.
    Scenario pair;
    pair.name = "monitor-pair-60";
    pair.mode = {1920, 1080, 60};
    pair.reference.responseMs = 1.5;
    pair.reference.yawDeg = 12.0;
    pair.reference.rollDeg = 2.0;
    pair.device.lagMs = 22.0;
    pair.device.responseMs = 5.0;
    pair.device.yawDeg = -14.0;
    pair.device.rollDeg = -3.0;
    pair.device.widthFraction = 0.38;
    pair.photoCount = 16;
    pair.seed = 101;
    scenarios.push_back(pair);

    // 4:3 at 75 Hz; screens of different sizes, tilted and rotated.
    Scenario old = pair;
    old.name = "1024x768-75";
    old.mode = {1024, 768, 75};
    old.reference.responseMs = 1.0;
    old.reference.widthFraction = 0.34;
    old.reference.rollDeg = 5.0;
    old.reference.pitchDeg = 8.0;
    old.device.lagMs = 35.0;
    old.device.responseMs = 3.0;
    old.device.widthFraction = 0.44;
    old.device.rollDeg = -4.0;
    old.device.pitchDeg = -6.0;
    old.seed = 102;
    scenarios.push_back(old);

    // A projector on a wall: no bezel, dim, washed out, warm; changes all
    // rows at once, like a DLP projector.
    Scenario projector = pair;
    projector.name = "projector";
    projector.mode = {1280, 720, 60};
    projector.reference.widthFraction = 0.34;
    projector.reference.offset = {0.0, 0.1};
    projector.device.lagMs = 48.0;
    projector.device.scanFraction = 0.0;
    projector.device.responseMs = 0.3;
    projector.device.bezel = false;
    projector.device.bezelFraction = 0.08;
    projector.device.brightness = 0.6;
    projector.device.blackLevel = 0.04;
    projector.device.colourCast = {0.75, 0.95, 1.15};
    projector.device.widthFraction = 0.48;
    projector.device.yawDeg = -8.0;
    projector.device.pitchDeg = 6.0;
    projector.device.rollDeg = 1.0;
    projector.device.offset = {0.0, -0.05};
    projector.camera.exposureMs = 4.0;
    projector.camera.ambient = 0.08;
    projector.seed = 103;
    scenarios.push_back(projector);

    // A TV that crops 3.5 % on each edge and scales the rest up.
    Scenario tv = pair;
    tv.name = "tv-overscan";
    tv.device.lagMs = 85.0;
    tv.device.responseMs = 6.0;
    tv.device.overscan = 0.035;
    tv.device.bezelFraction = 0.015;
    tv.device.widthFraction = 0.44;
    tv.device.blackLevel = 0.005;
    tv.device.colourCast = {1.05, 1.0, 0.95};
    tv.seed = 104;
    scenarios.push_back(tv);

    // A phone: rolling shutter, barrel distortion, more noise and blur,
    // stronger JPEG; the reference on the right.
    Scenario phone = pair;
    phone.name = "phone-rolling-shutter";
    phone.placement = Placement::Right;
    phone.device.lagMs = 30.0;
    phone.camera.exposureMs = 1000.0 / 240.0;
    phone.camera.readoutMs = 16.0;
    phone.camera.barrel = 0.05;
    phone.camera.blurSigmaPx = 1.1;
    phone.camera.noiseSigma = 4.0;
    phone.camera.jpegQuality = 82;
    phone.camera.jitterPx = 12.0;
    phone.seed = 105;
    scenarios.push_back(phone);

    // 144 Hz: a period of 6.9 ms, so a short exposure.
    Scenario fast = pair;
    fast.name = "144hz";
    fast.mode = {1920, 1080, 144};
    fast.reference.responseMs = 1.0;
    fast.device.lagMs = 11.0;
    fast.device.responseMs = 2.5;
    fast.camera.exposureMs = 1.0;
    fast.seed = 106;
    scenarios.push_back(fast);

    // Stacked screens, the reference above and below.
    for (const Placement placement : {Placement::Top, Placement::Bottom}) {
        Scenario stacked = pair;
        stacked.name = std::string("stacked-reference-") + placementName(placement);
        stacked.placement = placement;
        stacked.reference.widthFraction = 0.42;
        stacked.reference.yawDeg = 4.0;
        stacked.reference.pitchDeg = placement == Placement::Top ? -6.0 : 6.0;
        stacked.device.lagMs = 40.0;
        stacked.device.widthFraction = 0.44;
        stacked.device.yawDeg = -3.0;
        stacked.device.pitchDeg = placement == Placement::Top ? 5.0 : -5.0;
        stacked.seed = placement == Placement::Top ? 107 : 108;
        scenarios.push_back(stacked);
    }

    // A phone photographing stacked screens: its rolling shutter reads the
    // lower screen about half its readout later, which only the readout
    // time given to the reader takes back.
    Scenario phoneStacked = pair;
    phoneStacked.name = "phone-stacked";
    phoneStacked.placement = Placement::Top;
    phoneStacked.reference.widthFraction = 0.42;
    phoneStacked.reference.pitchDeg = -5.0;
    phoneStacked.device.lagMs = 27.0;
    phoneStacked.device.widthFraction = 0.44;
    phoneStacked.device.pitchDeg = 4.0;
    phoneStacked.camera.exposureMs = 1000.0 / 500.0;
    phoneStacked.camera.readoutMs = 18.0;
    phoneStacked.camera.barrel = 0.03;
    phoneStacked.camera.noiseSigma = 3.5;
    phoneStacked.camera.jpegQuality = 85;
    phoneStacked.seed = 110;
    scenarios.push_back(phoneStacked);

    // A slow TV as the reference: the device is ahead, the lag negative.
    Scenario slow = pair;
    slow.name = "slow-reference";
    slow.reference.lagMs = 45.0;
    slow.reference.responseMs = 8.0;
    slow.reference.bezelFraction = 0.015;
    slow.device.lagMs = 4.0;
    slow.device.responseMs = 2.0;
    slow.seed = 109;
    scenarios.push_back(slow);

    return scenarios;
}

}  // namespace photo_model
