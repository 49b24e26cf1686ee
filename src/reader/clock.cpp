#include "reader/clock.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "reader/combine.h"
#include "reader/rectify.h"

namespace reader {

namespace {

using Split = ScanObservation::Split;

int following(int column)
{
    return (column + 1) % COLUMN_COUNT;
}
int preceding(int column)
{
    return (column + COLUMN_COUNT - 1) % COLUMN_COUNT;
}

// The integral of floor(u) from 0 to x.
double floorIntegral(double x)
{
    const double n = std::floor(x);
    return n * (n - 1.0) / 2.0 + n * (x - n);
}

// The mean frame a held row shows over an exposure of `exposure` frames
// whose middle is u frames after the row took frame 0: the frames' light
// shares weigh them. It rises with u wherever the exposure spans a change.
double meanFrame(double u, double exposure)
{
    return (floorIntegral(u + exposure / 2.0) - floorIntegral(u - exposure / 2.0)) / exposure;
}

// The u at which the mean frame is `mean`, within a frame each way of
// where the newest frame is; by bisection, the mean being monotone in u.
double momentOfMeanFrame(double mean, double exposure)
{
    double low = -2.0 - exposure;
    double high = 2.0 + exposure;
    for (int i = 0; i < 60; ++i) {
        const double middle = 0.5 * (low + high);
        (meanFrame(middle, exposure) < mean ? low : high) = middle;
    }
    return 0.5 * (low + high);
}

// A long exposure: each band of rows, by the columns' shares of its light,
// gives the moment its rows were at; the row's scan delay takes that back
// to the top row.
std::optional<ClockReading> spreadBarClock(const ScanObservation& seen, double share, double exposure, int height)
{
    if (seen.centroidBands == 0) {
        return std::nullopt;
    }
    double sum = 0.0;
    double rows = 0.0;
    for (int b = 0; b < seen.centroidBands; ++b) {
        const auto i = static_cast<size_t>(b);
        const double y = seen.centroidRow[i] / height;
        sum += momentOfMeanFrame(seen.centroid[i], exposure) + share * y;
        rows += seen.centroidRow[i];
    }
    ClockReading reading;
    reading.clock = seen.newestColumn + sum / seen.centroidBands;
    reading.row = rows / seen.centroidBands;
    reading.coarse = false;
    return reading;
}

// Unlit rows around a split wider than this share of the height hide it:
// narrower, their middle is as good as the crossing.
constexpr double HIDDEN_SPLIT_SHARE = 0.01;

// What the lit rows alone tell of a held screen's scan, when its crossing
// was not seen in rows lit on both sides of it: where the next frame was
// rising in the first rows, its crossing above them; else the crossing lies
// in the unlit rows between the newest frame's rows and the previous one's,
// or, with only the newest frame's rows lit, the scan had passed the last
// of them and the next frame had not reached the first. The middle of
// that, at the middle row (where a rolling shutter's time is taken). None
// where the rows were lit throughout: the split's own reading then holds.
std::optional<ClockReading> litRowsClock(const ScanObservation& seen, double share, int height)
{
    const double h = height;
    ClockReading reading;
    // The next frame on its way in the first rows, the one before nowhere:
    // the scan had just begun it.
    if (seen.nextRisingRow && !seen.previousSeenStart) {
        reading.row = *seen.nextRisingRow;
        reading.clock = seen.newestColumn + 1.0 + share * *seen.nextRisingRow / h;
        return reading;
    }
    // A split at the rows' very ends (all of them the newest frame's, or
    // all the one before's) is read as the split's own reading reads it.
    if (seen.split == Split::AllNew || seen.split == Split::AllOld) {
        return std::nullopt;
    }
    if (seen.newestSeenEnd && seen.previousSeenStart) {
        const double low = *seen.newestSeenEnd;
        const double high = *seen.previousSeenStart;
        if (high - low > HIDDEN_SPLIT_SHARE * h) {
            reading.row = 0.5 * (low + high);
            reading.clock = seen.newestColumn + share * reading.row / h;
            return reading;
        }
        if (seen.split == Split::Found) {
            return std::nullopt;
        }
        // Seen within a band of lit rows too short for the split's own test.
        reading.row = seen.splitRow;
        reading.scanRow = seen.splitRow;
        reading.clock = seen.newestColumn + share * seen.splitRow / h;
        reading.coarse = false;
        return reading;
    }
    if (!seen.newestSeenEnd || !seen.firstLit) {
        return std::nullopt;
    }
    const double margin = HIDDEN_SPLIT_SHARE * h;
    const bool litToTheEnds = *seen.newestSeenEnd >= seen.endRow - margin && *seen.firstLit <= seen.firstRow + margin;
    if (litToTheEnds) {
        return std::nullopt;
    }
    reading.row = 0.5 * (*seen.firstLit + *seen.newestSeenEnd);
    reading.clock = seen.newestColumn + 0.5 * (share * *seen.newestSeenEnd / h + 1.0 + share * *seen.firstLit / h);
    return reading;
}

ClockReading scanningClock(const ScanObservation& seen, double share, int height)
{
    if (const std::optional<ClockReading> lit = litRowsClock(seen, share, height)) {
        return *lit;
    }
    ClockReading reading;
    const double h = height;
    reading.row = 0.5 * (seen.firstRow + seen.endRow);
    double phase = 0.5;
    switch (seen.split) {
        case Split::Found:
            // A held row shows the new frame for the part of the exposure
            // after it changed: half of it where it changed at the middle.
            phase = share * seen.splitRow / h;
            reading.coarse = false;
            reading.scanRow = seen.splitRow;
            reading.row = seen.splitRow;
            break;
        case Split::AllOld:
            phase = 0.5 * share * seen.firstRow / h;
            break;
        case Split::AllNew:
        case Split::None:
            // The scan had passed the last row read: it was below it, or
            // done and holding.
            phase = seen.endRow >= height - 1 ? 0.5 : 0.5 * (share * seen.endRow / h + 1.0);
            break;
    }
    reading.clock = seen.newestColumn + phase;
    return reading;
}

// Every row at once: one photo tells which frame was shown, and where two
// bars show, that the frame changed during the exposure (the newer one's
// share of the light then being the part of the exposure after the change).
ClockReading allRowsClock(const ScreenReading& screen, std::optional<double> exposure)
{
    ClockReading reading;
    reading.row = 0.5 * (screen.scan.firstRow + screen.scan.endRow);
    reading.clock = screen.column + 0.5;
    if (!exposure || *exposure >= 1.0) {
        return reading;
    }
    const double half = *exposure / 2.0;
    // The exposure overlapped the frame whose bar it shows; no more: a
    // colour wheel may have shown the next frame in another colour only.
    reading.range = Span{screen.column - half, screen.column + 1.0 + half};
    if (!screen.secondColumn) {
        return reading;
    }
    int newer = screen.column;
    double newerShare = screen.barShare;
    if (*screen.secondColumn == following(screen.column)) {
        newer = *screen.secondColumn;
        newerShare = 1.0 - screen.barShare;
    } else if (*screen.secondColumn != preceding(screen.column)) {
        return reading;
    }
    reading.range = Span{newer - half, newer + half};
    reading.clock = newer + *exposure * (newerShare - 0.5);
    reading.coarse = false;
    return reading;
}

// Dark but for a pulse a frame: the light, and the clock, are the pulse's.
// One bar is one pulse within the exposure; two are two pulses, a frame
// apart, on either side of its middle.
ClockReading strobedClock(const ScreenReading& screen, std::optional<double> exposure)
{
    ClockReading reading;
    reading.row = 0.5 * (screen.scan.firstRow + screen.scan.endRow);
    reading.clock = screen.column;
    if (screen.secondColumn) {
        const bool secondNewer = *screen.secondColumn == following(screen.column);
        reading.clock = (secondNewer ? *screen.secondColumn : screen.column) - 0.5;
    }
    // The pulse lies somewhere in the exposure: as sharp as it is short.
    reading.coarse = !exposure || *exposure > 0.5;
    return reading;
}

// Each row flashes as the beam passes and fades: the newest frame's light
// ends at the row the beam had reached when the exposure ended, and its
// 50 % edge marks the row whose half-light moment that was (the fade
// shifts both edges of the band alike).
ClockReading impulseClock(const ScanObservation& seen, double share, std::optional<double> exposure, int height)
{
    const double h = height;
    // Where the newest frame's light ends; at a long exposure, where it
    // gives way to the frame before.
    std::optional<double> end = seen.newestEnd;
    if (!end && seen.split == Split::Found) {
        end = seen.splitRow;
    }
    if (exposure && end) {
        ClockReading reading;
        reading.row = *end;
        reading.scanRow = *end;
        reading.clock = seen.newestColumn + share * *end / h - *exposure / 2.0;
        reading.coarse = false;
        return reading;
    }
    if (exposure) {
        // Lit to the last row read: the beam was below it at the end.
        ClockReading reading;
        reading.row = seen.endRow;
        const double last = seen.endRow >= height - 1 ? 1.0 : 0.5 * (share * seen.endRow / h + 1.0);
        reading.clock = seen.newestColumn + share * last - *exposure / 2.0;
        return reading;
    }
    if (seen.litStart && end && *seen.litStart > seen.firstRow + 1) {
        // Without the exposure: the middle of the band it drew.
        ClockReading reading;
        reading.row = 0.5 * (*seen.litStart + *end);
        reading.clock = seen.newestColumn + share * reading.row / h;
        reading.coarse = false;
        return reading;
    }
    ClockReading reading = scanningClock(seen, share, height);
    reading.coarse = true;
    return reading;
}

}  // namespace

const char* lightName(Light light)
{
    switch (light) {
        case Light::Scanning:
            return "scanning";
        case Light::AllRows:
            return "all-rows";
        case Light::Strobed:
            return "strobed";
        case Light::Impulse:
            return "impulse";
    }
    return "scanning";
}

ClockReading readClock(const ScreenReading& screen, const ScreenLight& light, std::optional<double> exposureFrames,
                       const Mode& mode)
{
    const bool held = light.kind == Light::Scanning || light.kind == Light::AllRows;
    if (held && exposureFrames) {
        const double share = light.kind == Light::Scanning ? light.scanShare : 0.0;
        if (const std::optional<ClockReading> spread =
                spreadBarClock(screen.scan, share, *exposureFrames, mode.height)) {
            return *spread;
        }
    }
    switch (light.kind) {
        case Light::Scanning:
            return scanningClock(screen.scan, light.scanShare, mode.height);
        case Light::AllRows:
            return allRowsClock(screen, exposureFrames);
        case Light::Strobed:
            return strobedClock(screen, exposureFrames);
        case Light::Impulse:
            return impulseClock(screen.scan, light.scanShare, exposureFrames, mode.height);
    }
    return scanningClock(screen.scan, light.scanShare, mode.height);
}

std::optional<Span> lagRange(const PhotoReading& reading)
{
    const ScreenReading& reference = reading.reference;
    const ScreenReading& device = reading.device;
    if (device.clockRange && !reference.clockRange && !reference.coarse) {
        const double low = wrappedClockLag(reference.clock, device.clockRange->high);
        return Span{low, low + device.clockRange->high - device.clockRange->low};
    }
    if (reference.clockRange && !device.clockRange && !device.coarse) {
        const double low = wrappedClockLag(reference.clockRange->low, device.clock);
        return Span{low, low + reference.clockRange->high - reference.clockRange->low};
    }
    return std::nullopt;
}

namespace {

// The series' lag, where this photo's own range of lags holds it: the
// screen that showed every row at once is read at it. A photo that does
// not fit it keeps what it shows alone, and says so.
void takeAgreedLag(PhotoReading* reading, double agreed, int rate)
{
    const std::optional<Span> range = lagRange(*reading);
    if (!range) {
        return;
    }
    const double middle = 0.5 * (range->low + range->high);
    const double lag = agreed - COLUMN_COUNT * std::round((agreed - middle) / COLUMN_COUNT);
    const bool deviceHeld = reading->device.clockRange.has_value();
    ScreenReading& held = deviceHeld ? reading->device : reading->reference;
    if (lag < range->low || lag > range->high) {
        held.coarse = true;
        const std::string name = deviceHeld ? "device" : "reference";
        reading->warnings.push_back("the frame the " + name +
                                    " screen shows does not fit the lag the series' other photos agree on (" +
                                    std::to_string(std::lround(framesToMs(agreed, rate))) +
                                    " ms): the lag changed, or this photo was misread; read from this photo alone");
        return;
    }
    held.clock = deviceHeld ? reading->reference.clock - lag : reading->device.clock + lag;
    held.clock -= COLUMN_COUNT * std::floor(held.clock / COLUMN_COUNT);
    held.coarse = false;
}

}  // namespace

void clockPhoto(PhotoReading* reading, const ReadSettings& settings)
{
    const Mode& mode = settings.mode;
    const std::optional<double> exposure = exposureFrames(reading->exposureMs, mode.rate);
    const std::array<ScreenReading*, 2> screens{&reading->reference, &reading->device};
    for (size_t i = 0; i < screens.size(); ++i) {
        ScreenReading& screen = *screens[i];
        const ClockReading clock = readClock(screen, settings.light[i], exposure, mode);
        screen.coarse = clock.coarse;
        screen.scanRow = clock.scanRow;
        screen.clockPoint = mapPoint(screen.toPattern.inv(), {screen.scan.columnX, clock.row});
        screen.clock = clock.clock;
        screen.shutterFrames = 0.0;
        if (settings.readoutMs && reading->photoRows > 0) {
            const double cleared =
                clockAtFirstRow(clock.clock, screen.clockPoint.y, reading->photoRows, *settings.readoutMs, mode.rate);
            screen.shutterFrames = clock.clock - cleared;
            screen.clock = cleared;
        }
        screen.clock -= COLUMN_COUNT * std::floor(screen.clock / COLUMN_COUNT);
        screen.clockRange.reset();
        if (clock.range) {
            // Moved as the clock was.
            const double moved = screen.clock - clock.clock;
            screen.clockRange = Span{clock.range->low + moved, clock.range->high + moved};
        }
    }
    if (settings.agreedLagFrames) {
        takeAgreedLag(reading, *settings.agreedLagFrames, mode.rate);
    }
    reading->subFrameLagFrames = wrappedClockLag(reading->reference.clock, reading->device.clock);
    reading->subFrameLagMs = framesToMs(reading->subFrameLagFrames, mode.rate);
    reading->coarse = reading->reference.coarse || reading->device.coarse;
}

}  // namespace reader
