#include "reader/series.h"

#include <algorithm>
#include <cmath>

#include "reader/clock.h"
#include "reader/combine.h"
#include "reader/statistics.h"

namespace reader {

namespace {

using Split = ScanObservation::Split;

// A held screen spreads its change over the rows its scan passed in the
// exposure; a split sharper than this share of that spread is a flash's.
constexpr double SHARP_SHARE = 0.25;
// Below this many rows of spread (a short exposure) a held screen's split
// is as sharp as a flash's: it tells nothing.
constexpr double LEAST_TELLING_SPREAD = 40.0;
// A screen that scans shows its split within the bar in most photos (in
// about the bar's share of the height times the scan's share of the
// period, at least a third for any panel that scans out in half a frame):
// none in this many photos read is no scanning screen.
constexpr int PHOTOS_WITHOUT_SPLIT = 8;
constexpr int STROBED_PHOTOS_WITHOUT_SPLIT = 4;
// The moments of a series spread over the frame when no stretch of it this
// long went unseen.
constexpr double WIDEST_UNSEEN = 2.0 / 3.0;
// Share of the height next to the rows read's ends where a split tells
// nothing of the light.
constexpr double EDGE_ROWS = 0.03;
// How long a flashed row still gives light after the beam passed: a CRT's
// phosphor fades within about a millisecond; twice that, for the slower
// ones and for the band's blur.
constexpr double GLOW_MS = 2.0;
// The scan-out fit: least photos, the least spread of their split rows
// (share of the height), and the shares of the period it may come to.
constexpr int FIT_LEAST_PHOTOS = 3;
constexpr double FIT_LEAST_SPREAD = 0.2;
constexpr double FIT_LEAST_SHARE = 0.2;
constexpr double FIT_MOST_SHARE = 1.3;
// A photo's point off the fit by more than this (frames) is not its scan.
constexpr double FIT_OUTLIER = 0.15;
// Photos whose ranges of lags must meet, at the least and as a share of
// all: fewer tell the lag no better than their middles' mean.
constexpr size_t MEETING_LEAST = 3;
constexpr double MEETING_SHARE = 2.0 / 3.0;

const ScreenReading& screenOf(const PhotoReading& reading, size_t i)
{
    return i == 0 ? reading.reference : reading.device;
}

struct LightEvidence {
    int read = 0;
    int splits = 0;
    int sharpSplits = 0;
    int heldSplits = 0;
    int bands = 0;
};

// Whether a lit band of rows is as tall as a screen whose rows flash as
// its beam passes could light in the exposure: the rows the beam passed
// while the camera looked, and those still glowing. Taller, it is the dark
// bands of a backlight's PWM under a rolling shutter that left it.
bool fitsAFlash(const ScanObservation& seen, std::optional<double> exposureMs, const Mode& mode)
{
    if (!exposureMs || !seen.litStart || !seen.litEnd) {
        return true;
    }
    const double periodMs = 1000.0 / mode.rate;
    const double rows = (*exposureMs + GLOW_MS) / (SIGNAL_SCAN_SHARE * periodMs) * mode.height;
    return *seen.litEnd - *seen.litStart <= rows;
}

LightEvidence evidenceOf(const std::vector<const PhotoReading*>& readings, size_t screen, const Mode& mode)
{
    LightEvidence evidence;
    for (const PhotoReading* reading : readings) {
        if (!reading->ok) {
            continue;
        }
        const ScanObservation& seen = screenOf(*reading, screen).scan;
        ++evidence.read;
        evidence.bands += seen.litStart && seen.litEnd && fitsAFlash(seen, reading->exposureMs, mode) ? 1 : 0;
        // A split in the rows next to the screen's edge may be its outline's
        // blur with the bezel rather than a scan.
        const double margin = EDGE_ROWS * mode.height;
        if (seen.split != Split::Found || seen.splitRow < seen.firstRow + margin ||
            seen.splitRow > seen.endRow - margin) {
            continue;
        }
        ++evidence.splits;
        const std::optional<double> exposure = exposureFrames(reading->exposureMs, mode.rate);
        if (!exposure || !seen.rampRows) {
            continue;
        }
        // Rows a screen that scans at the signal's pace passes between a
        // quarter and three quarters of the exposure; a slower scan, or
        // the pixels' response, only widens it.
        const double spread = 0.5 * std::min(1.0, *exposure) * mode.height;
        if (spread < LEAST_TELLING_SPREAD) {
            continue;
        }
        if (*seen.rampRows < SHARP_SHARE * spread) {
            ++evidence.sharpSplits;
        } else {
            ++evidence.heldSplits;
        }
    }
    return evidence;
}

// Whether the photos caught the screens at moments spread over the frame,
// as photos taken by hand are: the other screen's clock falls in most parts
// of its frame. A video whose frame rate is locked to the display's
// catches it at one moment again and again, and then a screen that never
// shows its split only had it below the rows read each time.
bool momentsVary(const std::vector<const PhotoReading*>& readings, size_t other)
{
    std::vector<double> phases;
    for (const PhotoReading* reading : readings) {
        if (reading->ok) {
            const double clock = screenOf(*reading, other).clock;
            phases.push_back(clock - std::floor(clock));
        }
    }
    if (phases.size() < 2) {
        return false;
    }
    // The widest stretch of the frame that no photo's moment fell in.
    std::sort(phases.begin(), phases.end());
    double widestGap = phases.front() + 1.0 - phases.back();
    for (size_t i = 1; i < phases.size(); ++i) {
        widestGap = std::max(widestGap, phases[i] - phases[i - 1]);
    }
    return widestGap < WIDEST_UNSEEN;
}

Light kindOf(const LightEvidence& evidence, int darkPhotos, bool varied)
{
    // Only a band of rows lit, the rest dark, in photos whose exposure was
    // shorter than a frame; or a sharp split where a held screen's would
    // be spread over many rows: rows that flash and fade.
    // Held light spreads its splits over the rows its scan passed: a screen
    // that showed such splits more often than bands holds its rows.
    if (evidence.bands > 0 && 3 * evidence.bands >= evidence.read && evidence.bands > evidence.heldSplits) {
        return Light::Impulse;
    }
    if (evidence.sharpSplits >= 2 && evidence.sharpSplits > evidence.heldSplits) {
        return Light::Impulse;
    }
    if (evidence.splits == 0) {
        // Every row at once: dark in some photos, it is lit by a pulse.
        if (darkPhotos > 0 && evidence.read >= STROBED_PHOTOS_WITHOUT_SPLIT) {
            return Light::Strobed;
        }
        if (evidence.read >= PHOTOS_WITHOUT_SPLIT && varied) {
            return darkPhotos > 0 ? Light::Strobed : Light::AllRows;
        }
    }
    return Light::Scanning;
}

// The device's scan-out share of the period: its clock at the top row
// against the row its split was at, over the photos where both screens'
// clocks are sharp. The reference's clock is the time base.
std::optional<double> fitScanShare(const std::vector<const PhotoReading*>& readings, const Mode& mode)
{
    std::vector<double> xs;
    std::vector<double> ys;
    for (const PhotoReading* reading : readings) {
        if (!reading->ok || reading->reference.coarse || reading->device.coarse ||
            reading->device.scan.split != Split::Found) {
            continue;
        }
        const ScreenReading& device = reading->device;
        xs.push_back(device.scan.splitRow / mode.height);
        ys.push_back(wrappedClockLag(reading->reference.clock, device.scan.newestColumn - device.shutterFrames));
    }
    // The lag at the top row is one number, whole frames apart at most:
    // every point is taken to the frame of the first.
    for (double& y : ys) {
        y -= COLUMN_COUNT * std::round((y - ys.front()) / COLUMN_COUNT);
    }
    std::vector<bool> kept(xs.size(), true);
    double slope = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        double n = 0.0;
        double sx = 0.0;
        double sy = 0.0;
        double sxx = 0.0;
        double sxy = 0.0;
        double low = 1.0;
        double high = 0.0;
        for (size_t i = 0; i < xs.size(); ++i) {
            if (!kept[i]) {
                continue;
            }
            n += 1.0;
            sx += xs[i];
            sy += ys[i];
            sxx += xs[i] * xs[i];
            sxy += xs[i] * ys[i];
            low = std::min(low, xs[i]);
            high = std::max(high, xs[i]);
        }
        if (n < FIT_LEAST_PHOTOS || high - low < FIT_LEAST_SPREAD) {
            return std::nullopt;
        }
        // y = lag + share * x.
        slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        const double intercept = (sy - slope * sx) / n;
        for (size_t i = 0; i < xs.size(); ++i) {
            kept[i] = std::abs(ys[i] - intercept - slope * xs[i]) <= FIT_OUTLIER;
        }
    }
    if (slope < FIT_LEAST_SHARE || slope > FIT_MOST_SHARE) {
        return std::nullopt;
    }
    return slope;
}

std::string rateText(int rate)
{
    return std::to_string(rate) + " Hz";
}

// Why a photo missing one screen missed it, by that screen's light.
std::string missingScreenError(const char* name, const ScreenFindings& screen, bool shownInPart, int rate)
{
    const std::string exposure = oneFrameExposure(rate);
    switch (screen.light.kind) {
        case Light::Strobed:
            return std::string("the ") + name +
                   " screen is dark in this photo: its backlight strobes (black frame insertion) and was off "
                   "for all of the exposure; expose for at least one frame (" +
                   exposure + "), or turn the strobing off, or take more photos";
        case Light::Impulse:
            return std::string("the ") + name +
                   " screen is dark, or only a band of it lit, in this photo: its rows glow only briefly after "
                   "the beam passes (a CRT); expose for at least one frame (" +
                   exposure + ")";
        case Light::Scanning:
        case Light::AllRows:
            break;
    }
    // A held screen lit in a band of rows only: its light flickered while a
    // rolling shutter read the photo's rows one after another.
    if (shownInPart && screen.light.kind == Light::Scanning) {
        return std::string("the ") + name +
               " screen is lit only in a band of its rows in this photo: its backlight flickers (dimmed by pulse "
               "width modulation) and the camera's rolling shutter read its other rows while it was off; set it to "
               "full brightness, or expose for at least one frame (" +
               exposure + ")";
    }
    return std::string("the ") + name +
           " screen does not show the pattern in this photo: it was dark or too dim in this exposure (a strobed "
           "or flickering backlight, or glare over it); expose for at least one frame (" +
           exposure + "), or take the photo again";
}

// The ranges of lags the photos leave, each read with the series' light.
std::vector<Span> lagRanges(const std::vector<const PhotoReading*>& readings, const ReadSettings& settings)
{
    std::vector<Span> ranges;
    for (const PhotoReading* reading : readings) {
        if (!reading->ok) {
            continue;
        }
        PhotoReading again = *reading;
        clockPhoto(&again, settings);
        if (const std::optional<Span> range = lagRange(again)) {
            ranges.push_back(*range);
        }
    }
    return ranges;
}

// The lag most of these ranges hold, when a clear majority of them meet in
// one stretch: its middle. None where they scatter (a lag that changed, a
// misread photo or two too many).
std::optional<double> meetingOf(std::vector<Span> ranges)
{
    if (ranges.size() < MEETING_LEAST) {
        return std::nullopt;
    }
    // Each within half a sweep of the first: a lag is one number.
    const double first = 0.5 * (ranges.front().low + ranges.front().high);
    for (Span& range : ranges) {
        const double shift = COLUMN_COUNT * std::round((0.5 * (range.low + range.high) - first) / COLUMN_COUNT);
        range.low -= shift;
        range.high -= shift;
    }
    // Along the ends, in order, an end that opens a range before one that
    // closes another at the same lag: how many ranges hold each stretch.
    std::vector<std::pair<double, int>> ends;
    for (const Span& range : ranges) {
        ends.emplace_back(range.low, -1);
        ends.emplace_back(range.high, 1);
    }
    std::sort(ends.begin(), ends.end());
    int held = 0;
    int most = 0;
    int stretches = 0;
    Span best;
    for (size_t i = 0; i < ends.size(); ++i) {
        held -= ends[i].second;
        if (ends[i].second < 0 && held > most) {
            most = held;
            stretches = 1;
            best = Span{ends[i].first, ends[i + 1].first};
        } else if (ends[i].second < 0 && held == most) {
            ++stretches;
        }
    }
    // Two stretches as well held: the photos do not tell which.
    if (stretches != 1 || most < static_cast<int>(MEETING_LEAST) ||
        most < MEETING_SHARE * static_cast<double>(ranges.size())) {
        return std::nullopt;
    }
    return 0.5 * (best.low + best.high);
}

}  // namespace

std::string oneFrameExposure(int rate)
{
    return "1/" + std::to_string(rate) + " s at " + rateText(rate);
}

SeriesFindings describeScreens(const std::vector<const PhotoReading*>& readings, const ReadSettings& settings)
{
    const Mode& mode = settings.mode;
    SeriesFindings findings;
    const double period = 1000.0 / mode.rate;
    for (size_t i = 0; i < findings.screens.size(); ++i) {
        std::vector<double> xs;
        std::vector<double> ys;
        for (const PhotoReading* reading : readings) {
            if (reading->ok) {
                const cv::Point2d centre = centreOf(screenOf(*reading, i).corners);
                xs.push_back(centre.x);
                ys.push_back(centre.y);
            }
        }
        if (!xs.empty()) {
            findings.screens[i].where = cv::Point2d(middleValue(xs), middleValue(ys));
        }
    }
    // A photo with one screen only: the screen nearer to where that one
    // stands in the others was found, the other not.
    if (findings.screens[0].where && findings.screens[1].where) {
        for (const PhotoReading* reading : readings) {
            if (reading->ok || !reading->onlyScreen) {
                continue;
            }
            const cv::Point2d centre = centreOf(*reading->onlyScreen);
            const double toReference = cv::norm(centre - *findings.screens[0].where);
            const double toDevice = cv::norm(centre - *findings.screens[1].where);
            ++findings.screens[toReference <= toDevice ? 1 : 0].darkPhotos;
        }
    }
    for (size_t i = 0; i < findings.screens.size(); ++i) {
        ScreenFindings& screen = findings.screens[i];
        const LightEvidence evidence = evidenceOf(readings, i, mode);
        screen.photosRead = evidence.read;
        screen.splitsSeen = evidence.splits;
        screen.light.kind = kindOf(evidence, screen.darkPhotos, momentsVary(readings, 1 - i));
        const bool rowsAtOnce = screen.light.kind == Light::AllRows || screen.light.kind == Light::Strobed;
        screen.light.scanShare = rowsAtOnce ? 0.0 : SIGNAL_SCAN_SHARE;
        if (rowsAtOnce) {
            screen.scanOutMs = 0.0;
        } else if (i == 0) {
            // The reference is the time base: it scans at the signal's pace.
            screen.scanOutMs = SIGNAL_SCAN_SHARE * period;
        }
    }
    ScreenFindings& device = findings.screens[1];
    if (device.light.kind == Light::Scanning) {
        const std::optional<double> share = fitScanShare(readings, mode);
        if (share) {
            device.light.scanShare = *share;
            device.scanOutMs = *share * period;
        }
    }
    findings.agreedLagFrames = meetingOf(lagRanges(readings, withFindings(settings, findings)));
    return findings;
}

ReadSettings withFindings(const ReadSettings& settings, const SeriesFindings& findings)
{
    ReadSettings found = settings;
    for (size_t i = 0; i < found.light.size(); ++i) {
        found.light[i] = findings.screens[i].light;
    }
    found.agreedLagFrames = findings.agreedLagFrames;
    return found;
}

void readAgain(PhotoReading* reading, const SeriesFindings& findings, const ReadSettings& settings)
{
    if (reading->ok) {
        // The first reading took both screens to scan at the signal's pace.
        const bool asFirst = std::all_of(settings.light.begin(), settings.light.end(), [](const ScreenLight& light) {
            return light.kind == Light::Scanning && light.scanShare == SIGNAL_SCAN_SHARE;
        });
        if (!asFirst) {
            clockPhoto(reading, settings);
        }
        return;
    }
    if (!reading->onlyScreen || !findings.screens[0].where || !findings.screens[1].where) {
        return;
    }
    const cv::Point2d centre = centreOf(*reading->onlyScreen);
    const bool referenceFound =
        cv::norm(centre - *findings.screens[0].where) <= cv::norm(centre - *findings.screens[1].where);
    const size_t missing = referenceFound ? 1 : 0;
    reading->error = missingScreenError(missing == 0 ? "reference" : "device", findings.screens[missing],
                                        reading->otherShownInPart, settings.mode.rate);
}

LagDownTheScreen lagDownTheScreen(std::optional<double> topMs, const SeriesFindings& findings)
{
    LagDownTheScreen lag;
    lag.top = topMs;
    const std::optional<double>& reference = findings.screens[0].scanOutMs;
    const std::optional<double>& device = findings.screens[1].scanOutMs;
    if (topMs && reference && device) {
        // A row lower down is later on each screen by its share of that
        // screen's scan-out.
        lag.middle = *topMs + 0.5 * (*device - *reference);
        lag.bottom = *topMs + (*device - *reference);
    }
    return lag;
}

}  // namespace reader
