#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "reader/types.h"

namespace reader {

// What the whole series tells of one screen that a single photo cannot.
struct ScreenFindings {
    ScreenLight light;
    // The time its rows take from the top to the bottom, in ms: measured
    // for the device, the signal's own pace for a reference that scans, 0
    // for light that shows every row at once; none where it cannot be told.
    std::optional<double> scanOutMs;
    // Photos in which the other screen was found and this one not.
    int darkPhotos = 0;
    // Photos read, and in how many the rows showed where its scan stood.
    int photosRead = 0;
    int splitsSeen = 0;
    // Where it stands in the photos read: the middle of its outlines.
    std::optional<cv::Point2d> where;
};

// Of the reference and the device, in that order.
struct SeriesFindings {
    std::array<ScreenFindings, 2> screens;
    // Where one screen shows every row at once: the lag (frames) its
    // photos' ranges of lags meet at; none where they do not meet.
    std::optional<double> agreedLagFrames;
};

// Reads each screen's kind of light, and the device's scan-out, from the
// readings of a series (every result, read or not: a screen dark in some
// photos tells of its light as much as a lit one).
SeriesFindings describeScreens(const std::vector<const PhotoReading*>& readings, const ReadSettings& settings);

// The settings the series' second reading takes: the first's, with each
// screen's light, and the lag its photos agree on, as the series found them.
ReadSettings withFindings(const ReadSettings& settings, const SeriesFindings& findings);

// The second reading of one photo: its clocks read again with what the
// series found, and a photo refused for a missing screen told why, when
// the series knows which screen it was and what its light does.
void readAgain(PhotoReading* reading, const SeriesFindings& findings, const ReadSettings& settings);

// The lag at the top, middle and bottom rows, in ms, from the lag at the
// top row and the two screens' scan-out; none where a scan-out is unknown.
struct LagDownTheScreen {
    std::optional<double> top;
    std::optional<double> middle;
    std::optional<double> bottom;
};
LagDownTheScreen lagDownTheScreen(std::optional<double> topMs, const SeriesFindings& findings);

// "1/120 s at 120 Hz": one frame's exposure, as a camera sets it.
std::string oneFrameExposure(int rate);

}  // namespace reader
