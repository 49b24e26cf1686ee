#include "reader/read_photo.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "reader/bar.h"
#include "reader/clock.h"
#include "reader/combine.h"
#include "reader/find_screens.h"
#include "reader/grid.h"
#include "reader/lit_band.h"
#include "reader/rectify.h"
#include "reader/scan_phase.h"

namespace reader {

namespace {

// Outlines tried, largest first, before giving up on finding two screens.
constexpr size_t MAX_CANDIDATES = 8;
// Crops beyond these are not overscan but a wrong WIDTH or a bad outline.
constexpr double MAX_CROP = 0.12;
constexpr double MIN_CROP = -0.05;
// Overscan worth a warning, per edge.
constexpr double NOTABLE_CROP = 0.01;

struct Screen {
    Quad outline;
    GridReading grid;
    BarReading bar;
    ScanReading scan;
    OutlineSource source = OutlineSource::Colour;
};

std::string format(const char* pattern, double a)
{
    char text[160];
    (void)std::snprintf(text, sizeof text, pattern, a);
    return text;
}

// What the screen showed; its clock comes from clockPhoto.
ScreenReading toReading(const Screen& screen, const Mode& mode)
{
    ScreenReading reading;
    reading.corners = screen.outline;
    reading.toPattern = patternHomography(screen.outline, mode);
    reading.gridLineX = screen.grid.lineX;
    reading.gridLineNumber = screen.grid.lineNumber;
    reading.crop = screen.grid.crop;
    reading.column = screen.bar.column;
    reading.secondColumn = screen.bar.secondColumn;
    reading.barShare = screen.bar.share;
    reading.scan = screen.scan.observation;
    return reading;
}

void warnAbout(const ScreenReading& screen, const char* name, std::vector<std::string>* warnings)
{
    if (screen.crop > NOTABLE_CROP) {
        warnings->push_back(std::string("the ") + name +
                            format(" screen overscans: about %.1f %% of the picture is cut off on each edge; its "
                                   "columns are numbered from the grid's spacing",
                                   screen.crop * 100.0));
    }
    if (screen.secondColumn) {
        char text[200];
        (void)std::snprintf(text, sizeof text,
                            "the %s screen shows two bars, columns %d and %d, as it changed frames during the "
                            "exposure; read the brighter, column %d",
                            name, std::min(screen.column, *screen.secondColumn),
                            std::max(screen.column, *screen.secondColumn), screen.column);
        warnings->push_back(text);
    }
}

// Why an outline is not taken as a screen.
enum class Verdict { Screen, NoGrid, WrongSpacing };

Verdict readScreen(const cv::Mat& photo, const Quad& outline, const Mode& mode, Screen* screen,
                   TrackedScreens* tracked = nullptr)
{
    screen->outline = outline;
    const cv::Matx33d toPattern = patternHomography(outline, mode);
    StripMaps* maps = tracked != nullptr ? &tracked->maps : nullptr;
    screen->grid = tracked != nullptr ? followGrid(photo, toPattern, mode, maps, &tracked->grids)
                                      : findGrid(photo, toPattern, mode);
    if (!screen->grid.found) {
        return Verdict::NoGrid;
    }
    if (screen->grid.crop > MAX_CROP || screen->grid.crop < MIN_CROP) {
        return Verdict::WrongSpacing;
    }
    screen->bar = findBar(photo, toPattern, screen->grid, mode, maps);
    return Verdict::Screen;
}

// An outline that also takes in some of the room shows fewer of the grid's
// lines, and fainter, than the screen's own outline.
double quality(const Screen& screen)
{
    return static_cast<double>(screen.grid.evenLines) + (screen.bar.found ? COLUMN_COUNT : 0);
}

bool overlap(const Quad& a, const Quad& b)
{
    const auto inside = [](const Quad& quad, cv::Point2d point) {
        const std::vector<cv::Point2f> polygon(quad.begin(), quad.end());
        return cv::pointPolygonTest(polygon, cv::Point2f(point), false) >= 0;
    };
    return inside(a, centreOf(b)) || inside(b, centreOf(a));
}

// The two best screens that are not outlines of the same one.
std::vector<Screen> bestTwo(std::vector<Screen> candidates)
{
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Screen& a, const Screen& b) { return quality(a) > quality(b); });
    // A screen carried on from a band of its rows is a guess beyond them:
    // an outline of its colours seen whole that reads its bar is taken
    // before it, however many lines each found.
    const auto seenWhole = [&candidates](const Screen& band) {
        return std::any_of(candidates.begin(), candidates.end(), [&band](const Screen& other) {
            return other.source == OutlineSource::Colour && other.bar.found && overlap(other.outline, band.outline);
        });
    };
    std::vector<Screen> chosen;
    for (const Screen& candidate : candidates) {
        if (candidate.source == OutlineSource::LitBand && seenWhole(candidate)) {
            continue;
        }
        const bool seen = std::any_of(chosen.begin(), chosen.end(), [&candidate](const Screen& other) {
            return overlap(candidate.outline, other.outline);
        });
        if (!seen) {
            chosen.push_back(candidate);
        }
        if (chosen.size() == 2) {
            break;
        }
    }
    return chosen;
}

// What to change when a screen's light left too little of the pattern in
// the photo: an exposure of a frame or more takes in every row's light and
// a colour wheel's every colour.
std::string exposureRemedy(const Mode& mode)
{
    char text[120];
    (void)std::snprintf(text, sizeof text, "expose for at least one frame (1/%d s at %d Hz), or take more photos",
                        mode.rate, mode.rate);
    return text;
}

// The other screen's role, when one was found: by where the photo's
// screens stand, the half of the photo it is not in.
const char* otherScreen(const Quad& found, cv::Size photoSize, Placement reference)
{
    const cv::Point2d centre = centreOf(found);
    const bool firstHalf = (reference == Placement::Left || reference == Placement::Right)
                               ? centre.x < 0.5 * photoSize.width
                               : centre.y < 0.5 * photoSize.height;
    const bool referenceFirst = reference == Placement::Left || reference == Placement::Top;
    return firstHalf == referenceFirst ? "device" : "reference";
}

double outlineArea(const Quad& quad)
{
    const std::vector<cv::Point2f> polygon(quad.begin(), quad.end());
    return std::abs(cv::contourArea(polygon));
}

// A region coloured like the pattern beside the screen found, without a
// grid read in it: part of the other screen, lit in some rows only or in
// some colours only. None when nothing of it shows.
const Quad* partOfOther(const Quad& found, const std::vector<Quad>& gridless)
{
    // Smaller than this share of the screen found is of the room, not a band
    // of a screen.
    constexpr double LEAST_PART = 0.12;
    const Quad* part = nullptr;
    for (const Quad& outline : gridless) {
        if (!overlap(outline, found) && outlineArea(outline) >= LEAST_PART * outlineArea(found) &&
            (part == nullptr || outlineArea(outline) > outlineArea(*part))) {
            part = &outline;
        }
    }
    return part;
}

// Why the second screen was not read, when one was: a screen shown in part
// (a band of its rows, or some colours only), or none at all, a screen dark
// for the exposure.
std::string whyNotSeen(const Quad& found, const Quad* part, cv::Size photoSize, const ReadSettings& settings)
{
    if (part != nullptr) {
        const std::array<int, 2> order = assignScreens(found, *part, settings.reference);
        return std::string("the ") + (order[0] == 1 ? "reference" : "device") +
               " screen shows the pattern only in part: a band of its rows lit (a CRT lights only the rows its beam "
               "passes during the exposure, a flickering backlight under a rolling shutter only the rows read while "
               "it was on) or some of its colours missing (a DLP's colour wheel); " +
               exposureRemedy(settings.mode);
    }
    return std::string("the ") + otherScreen(found, photoSize, settings.reference) +
           " screen, if in the photo, is dark: its backlight strobes (black frame insertion) or it flickers, or a "
           "colour wheel showed it in colours the pattern lacks; " +
           exposureRemedy(settings.mode);
}

// Both screens where they were in the previous frame, if they still show
// the pattern there and a bar each: no search needed.
bool readKnownScreens(const cv::Mat& photo, const std::array<Quad, 2>& known, const Mode& mode,
                      std::vector<Screen>* screens, TrackedScreens* tracked)
{
    for (const Quad& outline : known) {
        Screen screen;
        if (readScreen(photo, outline, mode, &screen, tracked) != Verdict::Screen || !screen.bar.found) {
            screens->clear();
            return false;
        }
        screens->push_back(screen);
    }
    return true;
}

PhotoReading readBgrPhoto(const cv::Mat& photo, const ReadSettings& settings, const KnownScreens* known,
                          TrackedScreens* trackedScreens)
{
    PhotoReading reading;
    const Mode& mode = settings.mode;
    std::vector<Screen> screens;
    // Screens found by a search are where they were only by chance: their
    // strips' maps are not kept.
    const bool tracked = known != nullptr && readKnownScreens(photo, known->outlines, mode, &screens, trackedScreens);
    StripMaps* trackedMaps = tracked && trackedScreens != nullptr ? &trackedScreens->maps : nullptr;
    if (!tracked && known != nullptr && !known->searchWhenLost) {
        reading.screensLost = true;
        reading.error = "the screens are no longer where they were";
        return reading;
    }
    if (!tracked) {
        const ReducedPhoto reduced = reducePhoto(photo);
        std::vector<OutlineSource> sources;
        const std::vector<Quad> outlines = findScreenOutlines(reduced.image, &mode, &sources);
        std::vector<Quad> wrongSpacing;
        std::vector<Screen> candidates;
        std::vector<Quad> gridless;
        for (size_t i = 0; i < outlines.size() && i < MAX_CANDIDATES; ++i) {
            Screen screen;
            Quad outline = toPhotoPixels(outlines[i], reduced);
            if (sources[i] == OutlineSource::LitBand) {
                // Only the rows placed within the screen are read as one.
                const std::optional<Quad> whole = screenOfLitBand(photo, outline, mode);
                if (!whole) {
                    gridless.push_back(outline);
                    continue;
                }
                outline = *whole;
            }
            Verdict verdict = readScreen(photo, outline, mode, &screen);
            screen.source = sources[i];
            // An outline worked out from the grid band spans its lines by
            // its making: a spacing other than the drawn one says the band
            // was only partly seen (a CRT's lit rows across it), not overscan.
            if (sources[i] == OutlineSource::GridBand && verdict == Verdict::Screen &&
                std::abs(screen.grid.crop) > NOTABLE_CROP) {
                verdict = Verdict::NoGrid;
            }
            if (verdict == Verdict::WrongSpacing) {
                wrongSpacing.push_back(outline);
            }
            if (verdict == Verdict::Screen) {
                candidates.push_back(screen);
            } else if (verdict == Verdict::NoGrid) {
                gridless.push_back(outline);
            }
        }
        screens = bestTwo(candidates);
        if (screens.size() == 1) {
            reading.onlyScreen = screens[0].outline;
        }
        if (screens.size() < 2) {
            reading.error = "found " + std::to_string(screens.size()) + (screens.size() == 1 ? " screen" : " screens") +
                            " showing the pattern, need 2";
            // Another outline of a screen read is no other grid.
            const bool otherGrid = std::any_of(wrongSpacing.begin(), wrongSpacing.end(), [&screens](const Quad& q) {
                return std::none_of(screens.begin(), screens.end(),
                                    [&q](const Screen& screen) { return overlap(q, screen.outline); });
            });
            // A grid beside the screen found, in an outline that is not the
            // other screen's own, is still part of that screen: once other
            // photos have read this WIDTH, the series says so.
            reading.otherShownInPart = otherGrid && screens.size() == 1;
            if (otherGrid) {
                reading.error += format("; a grid with other spacing than %.0f pixels was seen: is WIDTH right?",
                                        static_cast<double>(mode.columnStep()));
            } else if (screens.size() == 1) {
                const Quad* part = partOfOther(screens[0].outline, gridless);
                reading.otherShownInPart = part != nullptr;
                reading.error += "; " + whyNotSeen(screens[0].outline, part, photo.size(), settings);
            }
            return reading;
        }
    }

    const std::optional<double> exposure = exposureFrames(settings.exposureMs, mode.rate);
    // The scan-out only of the two screens chosen.
    for (Screen& screen : screens) {
        screen.scan = readScanPhase(photo, patternHomography(screen.outline, mode), screen.grid, screen.bar, mode,
                                    trackedMaps, exposure);
    }
    const std::array<int, 2> order = assignScreens(screens[0].outline, screens[1].outline, settings.reference);
    const Screen& reference = screens[static_cast<size_t>(order[0])];
    const Screen& device = screens[static_cast<size_t>(order[1])];
    for (const auto& [screen, name] : {std::pair{&reference, "reference"}, std::pair{&device, "device"}}) {
        if (!screen->bar.found) {
            // A screen that shows every column cannot hide the bar: it is
            // the bar's light that the exposure missed.
            reading.error = screen->grid.crop > NOTABLE_CROP
                                ? std::string("no bar on the ") + name +
                                      " screen; a screen that overscans can hide the outer columns, take another photo"
                                : std::string("no bar on the ") + name +
                                      " screen, which shows all its columns: its light missed the bar's colour in "
                                      "this exposure (a DLP's colour wheel shows red, green and blue in turn) or it "
                                      "was dark in the bar's rows; " +
                                      exposureRemedy(settings.mode);
            return reading;
        }
    }
    reading.reference = toReading(reference, mode);
    reading.device = toReading(device, mode);
    reading.photoRows = photo.rows;
    reading.exposureMs = settings.exposureMs;
    warnAbout(reading.reference, "reference", &reading.warnings);
    warnAbout(reading.device, "device", &reading.warnings);
    reading.lagFrames = wrappedLag(reading.reference.column, reading.device.column);
    reading.lagMs = framesToMs(reading.lagFrames, mode.rate);
    clockPhoto(&reading, settings);
    reading.ok = true;
    return reading;
}

void scaleScreen(ScreenReading* screen, double factor)
{
    screen->corners = scaleQuad(screen->corners, factor);
    screen->clockPoint *= factor;
    // A photo pixel is 1/factor of a decoded one before the map to the pattern.
    screen->toPattern = screen->toPattern * cv::Matx33d(1.0 / factor, 0.0, 0.0, 0.0, 1.0 / factor, 0.0, 0.0, 0.0, 1.0);
}

}  // namespace

PhotoReading inPhotoPixels(PhotoReading reading, int reduction)
{
    if (reduction != 1) {
        reading.photoRows *= reduction;
        if (reading.onlyScreen) {
            reading.onlyScreen = scaleQuad(*reading.onlyScreen, reduction);
        }
        scaleScreen(&reading.reference, reduction);
        scaleScreen(&reading.device, reduction);
    }
    return reading;
}

PhotoReading readPhoto(const cv::Mat& photo, const ReadSettings& settings, const KnownScreens* knownScreens,
                       TrackedScreens* tracked)
{
    // The decoder and the video input give 8-bit BGR whatever the file
    // holds.
    if (photo.empty() || photo.type() != CV_8UC3) {
        PhotoReading reading;
        reading.error = "the picture is empty or not 8-bit colour";
        return reading;
    }
    return readBgrPhoto(photo, settings, knownScreens, tracked);
}

}  // namespace reader
