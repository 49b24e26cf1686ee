#include "reader/plot.h"

#include <plplot.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "reader/file_output.h"

namespace reader {

namespace {

// Beyond this a reading is no display's lag, and axis arithmetic near the
// end of double's range would no longer be exact enough to draw.
constexpr double LIMIT_MS = 1e12;
// Bins below this share of the largest reading's magnitude cannot be told
// apart in doubles.
constexpr double FINEST_RELATIVE = 1e-9;
constexpr double MOST_BINS = 60.0;
// PLplot counts points in 32-bit integers; a real series is far shorter.
constexpr size_t MOST_READINGS = 10000000;

// The picture's size: pixels in a PNG, points in an SVG.
constexpr PLINT PAGE_WIDTH = 1280;
constexpr PLINT PAGE_HEIGHT = 800;
// The right edge of the histogram and of the legend's row.
constexpr double LEGEND_RIGHT = 0.96;

// Colour map 0 entries.
constexpr PLINT BACKGROUND = 0;
constexpr PLINT INK = 1;
constexpr PLINT GRID = 2;
constexpr PLINT POINT = 3;
constexpr PLINT TRACE = 4;
constexpr PLINT MEAN = 5;
constexpr PLINT BAND = 6;
constexpr PLINT BAR = 7;
constexpr PLINT BAR_EDGE = 8;
// Then, for each of the segments' colours: its dots, its mean, its band and
// its histogram's bars.
constexpr PLINT SEGMENT_BASE = 9;
constexpr PLINT PER_SEGMENT = 4;
constexpr PLINT SEGMENT_COLOUR_COUNT = 6;
constexpr PLINT COLOUR_COUNT = SEGMENT_BASE + PER_SEGMENT * SEGMENT_COLOUR_COUNT;
// Segments beyond this many get one legend entry together.
constexpr size_t MOST_LEGEND_SEGMENTS = 3;

struct Colour {
    PLINT index;
    PLINT red;
    PLINT green;
    PLINT blue;
    double alpha;
};

constexpr std::array<Colour, COLOUR_COUNT> PALETTE{{
    {BACKGROUND, 255, 255, 255, 1.0},
    {INK, 34, 34, 34, 1.0},
    {GRID, 222, 222, 222, 1.0},
    {POINT, 31, 119, 180, 1.0},
    {TRACE, 31, 119, 180, 0.35},
    {MEAN, 214, 39, 40, 1.0},
    {BAND, 214, 39, 40, 0.16},
    {BAR, 178, 172, 222, 1.0},
    {BAR_EDGE, 117, 107, 177, 1.0},
}};

// Neighbouring segments in colours told apart also by those who see red
// and green alike: blue, orange, green, purple, brown, pink.
constexpr std::array<std::array<PLINT, 3>, SEGMENT_COLOUR_COUNT> SEGMENT_COLOURS{{
    {31, 119, 180},
    {255, 127, 14},
    {44, 160, 44},
    {148, 103, 189},
    {140, 86, 75},
    {227, 119, 194},
}};

enum class Format { Png, Svg };

bool usable(double value)
{
    return std::isfinite(value) && std::abs(value) <= LIMIT_MS;
}

std::optional<Format> formatOf(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) {
        return std::nullopt;
    }
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "png") {
        return Format::Png;
    }
    if (extension == "svg") {
        return Format::Svg;
    }
    return std::nullopt;
}

// 1, 2 or 5 times a power of ten, at least value (> 0).
double niceStep(double value)
{
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double multiple : {1.0, 2.0, 5.0}) {
        if (multiple * power >= value * (1.0 - 1e-9)) {
            return multiple * power;
        }
    }
    return 10.0 * power;
}

std::string formatNumber(double value)
{
    char text[64];
    (void)std::snprintf(text, sizeof text, std::abs(value) < 1e6 ? "%.1f" : "%.4g", value);
    return text;
}

std::string formatMs(double value)
{
    return formatNumber(value) + " ms";
}

// PLplot reads '#' as the start of an escape sequence, and needs UTF-8:
// caller text (file names among it) is neither guaranteed.
std::string plainText(const std::string& text)
{
    std::string plain;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0U) == 0x80U;
        }
        if (!valid) {
            plain += '?';
            ++i;
        } else if (lead == '#') {
            plain += "##";
            ++i;
        } else if (lead < 0x20) {
            plain += ' ';
            ++i;
        } else {
            plain.append(text, i, length);
            i += length;
        }
    }
    return plain;
}

struct Axis {
    double min = 0.0;
    double max = 1.0;
    double step = 1.0;
};

// A tick label: as many digits as the step needs, so that neighbours
// differ, in one style along the axis, and no exponent standing apart from
// it. Writes into a buffer, as PLplot's label hook wants.
void formatTick(double value, const Axis& axis, char* text, size_t size)
{
    if (std::abs(value) < axis.step * 1e-6) {
        value = 0.0;
    }
    if (axis.step >= 1e6 && value != 0.0) {
        const double magnitude = std::max(std::abs(axis.min), std::abs(axis.max));
        const double decimals = std::clamp(std::ceil(std::log10(magnitude / axis.step)), 0.0, 12.0);
        (void)std::snprintf(text, size, "%.*e", static_cast<int>(decimals), value);
    } else {
        const double decimals = std::clamp(-std::floor(std::log10(axis.step) + 1e-9), 0.0, 6.0);
        (void)std::snprintf(text, size, "%.*f", static_cast<int>(decimals), value);
    }
}

// A segment as drawn: its readings, where it spans the series panel, its
// mean and band, its colours, and its readings in each histogram bin.
struct DrawnSegment {
    size_t begin = 0;
    size_t end = 0;
    double xFrom = 0.0;
    double xTo = 0.0;
    double mean = 0.0;
    bool band = false;
    double bandLow = 0.0;
    double bandHigh = 0.0;
    PLINT dot = POINT;
    PLINT line = MEAN;
    PLINT fill = BAND;
    PLINT bar = BAR;
    PLINT barEdge = BAR_EDGE;
    std::vector<int> counts;
};

struct LegendEntry {
    PLINT kind = PL_LEGEND_LINE;
    std::string text;
    PLINT lineColour = INK;
    PLINT symbolColour = INK;
    double lineWidth = 1.0;
    bool symbol = false;
};

// Everything the drawing needs, worked out before PLplot is entered: the
// drawing itself may be left by a jump (see render), so it must not own
// anything.
struct Picture {
    std::string title;
    std::string indexLabel;
    std::vector<double> x;
    std::vector<double> y;
    Axis xAxis;
    Axis yAxis;
    Axis countAxis;
    // The series panel's left edge, a share of the page's width: room for
    // the y axis's title and tick labels.
    double seriesLeft = 0.08;
    std::vector<DrawnSegment> segments;
    HistogramBins bins;
    // A reading's dot, as a share of the page's width.
    double dotRadius = 0.005;
    double legendScale = 1.1;
    std::vector<LegendEntry> legend;
    // Where each legend entry starts, a share of the legend row's width.
    std::vector<double> legendAt;
};

// The bins give the range a width even when all readings are equal.
Axis valueAxis(double low, double high)
{
    const double magnitude = std::max(std::abs(low), std::abs(high));
    const double pad = std::max((high - low) * 0.03, magnitude * FINEST_RELATIVE);
    Axis axis{low - pad, high + pad, 1.0};
    axis.step = niceStep((axis.max - axis.min) / 8.0);
    return axis;
}

double widestLabel(const Axis& axis)
{
    size_t widest = 1;
    const double first = std::ceil(axis.min / axis.step);
    for (int i = 0; i < 100 && (first + i) * axis.step <= axis.max; ++i) {
        char text[64];
        formatTick((first + i) * axis.step, axis, text, sizeof text);
        widest = std::max(widest, std::strlen(text));
    }
    return static_cast<double>(widest);
}

Picture compose(const PlotSeries& series)
{
    Picture picture;
    picture.title = plainText(series.title.empty() ? std::string("Display lag") : series.title);
    picture.indexLabel = plainText(series.indexLabel);
    picture.y = series.lagMs;
    const size_t n = series.lagMs.size();
    picture.x = series.index;
    if (picture.x.empty()) {
        for (size_t i = 0; i < n; ++i) {
            picture.x.push_back(static_cast<double>(i + 1));
        }
    }
    const bool wholeIndices =
        std::all_of(picture.x.begin(), picture.x.end(), [](double x) { return x == std::round(x); });

    const auto [xLow, xHigh] = std::minmax_element(picture.x.begin(), picture.x.end());
    const double xSpan = *xHigh - *xLow;
    const double xPad = xSpan > 0.0 ? std::max(xSpan * 0.04, std::abs(*xLow) * FINEST_RELATIVE)
                                    : std::max(1.0, std::abs(*xLow) * FINEST_RELATIVE);
    picture.xAxis = {*xLow - xPad, *xHigh + xPad, 1.0};
    picture.xAxis.step = niceStep((picture.xAxis.max - picture.xAxis.min) / 8.0);
    if (wholeIndices) {
        picture.xAxis.step = std::max(1.0, picture.xAxis.step);
    }

    // The segments: the one given, or the whole series as one.
    std::vector<PlotSegment> given = series.segments;
    if (given.empty()) {
        PlotSegment whole;
        whole.end = n;
        whole.meanMs = series.meanMs;
        whole.hasInterval = series.hasInterval;
        whole.ciLowMs = series.ciLowMs;
        whole.ciHighMs = series.ciHighMs;
        given.push_back(whole);
    }
    std::vector<size_t> starts;
    starts.reserve(given.size());
    for (const PlotSegment& segment : given) {
        starts.push_back(segment.begin);
    }
    picture.bins = histogramBins(series.lagMs, series.frameMs, starts);
    const bool several = given.size() > 1;
    picture.segments.reserve(given.size());
    for (size_t i = 0; i < given.size(); ++i) {
        const PlotSegment& from = given[i];
        DrawnSegment segment;
        segment.begin = from.begin;
        segment.end = from.end;
        // Neighbours meet halfway between their readings.
        segment.xFrom = i == 0 ? picture.xAxis.min : 0.5 * (picture.x[from.begin - 1] + picture.x[from.begin]);
        segment.xTo = i + 1 == given.size() ? picture.xAxis.max : 0.5 * (picture.x[from.end - 1] + picture.x[from.end]);
        segment.mean = from.meanMs;
        segment.band = from.hasInterval;
        segment.bandLow = from.ciLowMs;
        segment.bandHigh = from.ciHighMs;
        if (several) {
            const PLINT base = SEGMENT_BASE + PER_SEGMENT * static_cast<PLINT>(i % SEGMENT_COLOUR_COUNT);
            segment.dot = base;
            segment.line = base + 1;
            segment.fill = base + 2;
            segment.bar = base + 3;
            segment.barEdge = base + 1;
        }
        segment.counts.assign(picture.bins.counts.size(), 0);
        for (size_t k = from.begin; k < from.end; ++k) {
            const double at = std::floor((series.lagMs[k] - picture.bins.start) / picture.bins.width);
            ++segment.counts[static_cast<size_t>(
                std::clamp(at, 0.0, static_cast<double>(picture.bins.counts.size() - 1)))];
        }
        picture.segments.push_back(segment);
    }

    // The whole of every bin is in sight, not only the readings in it.
    double low = picture.bins.start;
    double high = picture.bins.start + picture.bins.width * static_cast<double>(picture.bins.counts.size());
    for (const DrawnSegment& segment : picture.segments) {
        low = std::min(low, segment.band ? std::min(segment.mean, segment.bandLow) : segment.mean);
        high = std::max(high, segment.band ? std::max(segment.mean, segment.bandHigh) : segment.mean);
    }
    picture.yAxis = valueAxis(low, high);
    picture.seriesLeft = std::min(260.0, 72.0 + 16.0 * widestLabel(picture.yAxis)) / PAGE_WIDTH;

    const int most = *std::max_element(picture.bins.counts.begin(), picture.bins.counts.end());
    const double countStep = std::max(1.0, niceStep(most / 3.0));
    picture.countAxis = {0.0, std::ceil(most * 1.1 / countStep) * countStep, countStep};

    if (!several) {
        const DrawnSegment& whole = picture.segments.front();
        picture.legend.push_back({PL_LEGEND_LINE | PL_LEGEND_SYMBOL, "reading", POINT, POINT, 1.0, true});
        picture.legend.push_back({PL_LEGEND_LINE, "mean " + formatMs(whole.mean), MEAN, MEAN, 2.5, false});
        if (whole.band) {
            picture.legend.push_back(
                {PL_LEGEND_COLOR_BOX,
                 "95 % interval " + formatNumber(whole.bandLow) + " to " + formatMs(whole.bandHigh), BAND, BAND, 1.0,
                 false});
        }
    } else if (given.size() <= MOST_LEGEND_SEGMENTS) {
        for (size_t i = 0; i < given.size(); ++i) {
            const DrawnSegment& segment = picture.segments[i];
            std::string text = plainText(given[i].name);
            text += (text.empty() ? "" : ": ") + formatMs(segment.mean);
            if (segment.band) {
                text += " (" + formatNumber(segment.bandLow) + " to " + formatNumber(segment.bandHigh) + ")";
            }
            picture.legend.push_back({PL_LEGEND_LINE | PL_LEGEND_SYMBOL, text, segment.line, segment.dot, 2.5, true});
        }
    } else {
        const DrawnSegment& first = picture.segments.front();
        picture.legend.push_back({PL_LEGEND_LINE | PL_LEGEND_SYMBOL,
                                  std::to_string(given.size()) + " segments: readings, mean and 95 % interval of each",
                                  first.line, first.dot, 2.5, true});
    }
    // The legend's entries, side by side: PLplot's own estimate of a text's
    // width is far above what the cairo driver draws, so entries are placed
    // by an estimate of the drawn width (in page pixels: a sample and some
    // space, then about 15.5 per character at scale 1), shrunk to fit.
    const size_t entries = picture.legend.size();
    const double rowWidth = (LEGEND_RIGHT - picture.seriesLeft) * PAGE_WIDTH;
    const double fixedWidth = 95.0 * static_cast<double>(entries) + 40.0 * static_cast<double>(entries - 1);
    double textWidth = 0.0;
    for (const LegendEntry& entry : picture.legend) {
        textWidth += 15.5 * static_cast<double>(entry.text.size());
    }
    picture.legendScale = std::clamp((rowWidth - fixedWidth) / textWidth, 0.5, 1.1);
    double at = 0.0;
    for (const LegendEntry& entry : picture.legend) {
        picture.legendAt.push_back(at / rowWidth);
        at += 95.0 + 40.0 + 15.5 * picture.legendScale * static_cast<double>(entry.text.size());
    }

    // Smaller dots when there are many, so that a long video still shows
    // its course rather than a smear.
    picture.dotRadius = n <= 60 ? 0.0055 : n <= 400 ? 0.0035 : 0.0022;
    return picture;
}

// PLplot's fatal errors end the process after calling this hook, unless
// the hook never returns. The hook takes no pointer of ours, so the way
// back into the drawing in progress has to be kept here; writePlot runs on
// one thread only.
std::jmp_buf* fatalTarget = nullptr;
std::array<char, 512> fatalMessage{};
// Where a stream records a failed operation (instead of printing it). Kept
// here, not on a call's stack, because a stream abandoned after a fatal
// error still points at it.
PLINT abortCode = 0;
std::array<char, 4096> abortMessage{};

int onFatal(const char* message)
{
    (void)std::snprintf(fatalMessage.data(), fatalMessage.size(), "%s", message != nullptr ? message : "");
    if (fatalTarget != nullptr) {
        std::longjmp(*fatalTarget, 1);  // NOLINT(cert-err52-cpp): PLplot exits the process if this returns
    }
    return 1;
}

// Without its device PLplot would offer a menu on standard output and wait
// for an answer on standard input.
bool deviceInstalled(const char* device)
{
    std::array<const char*, 256> menus{};
    std::array<const char*, 256> names{};
    const char** menuList = menus.data();
    const char** nameList = names.data();
    int count = static_cast<int>(names.size());
    plgDevs(&menuList, &nameList, &count);
    for (size_t i = 0; i < static_cast<size_t>(std::max(count, 0)) && i < names.size(); ++i) {
        if (names[i] != nullptr && std::strcmp(names[i], device) == 0) {
            return true;
        }
    }
    return false;
}

// Tick labels through tickLabel; data is the axis pair of the panel.
struct PanelAxes {
    const Axis* x;
    const Axis* y;
};

void labelTick(PLINT axis, PLFLT value, char* label, PLINT length, PLPointer data)
{
    const auto* axes = static_cast<const PanelAxes*>(data);
    if (length > 0) {
        formatTick(value, axis == PL_X_AXIS ? *axes->x : *axes->y, label, static_cast<size_t>(length));
    }
}

// A filled circle of the given radius (a share of the page's width) at
// each reading, round whatever the axes' scales. A 16-gon: as round as a
// circle at this size, and a fraction of the SVG that plarc's many-sided
// circles make.
void drawDots(const Picture& p, PLFLT radius, size_t begin, size_t end)
{
    PLFLT pageLeft = 0.0;
    PLFLT pageRight = 0.0;
    PLFLT pageBottom = 0.0;
    PLFLT pageTop = 0.0;
    plgspa(&pageLeft, &pageRight, &pageBottom, &pageTop);
    PLFLT left = 0.0;
    PLFLT right = 0.0;
    PLFLT bottom = 0.0;
    PLFLT top = 0.0;
    plgvpd(&left, &right, &bottom, &top);
    const PLFLT pageWidth = pageRight - pageLeft;
    const PLFLT radiusMm = radius * pageWidth;
    const PLFLT a = radiusMm * (p.xAxis.max - p.xAxis.min) / ((right - left) * pageWidth);
    const PLFLT b = radiusMm * (p.yAxis.max - p.yAxis.min) / ((top - bottom) * (pageTop - pageBottom));
    constexpr size_t SIDES = 16;
    std::array<PLFLT, SIDES> unitX{};
    std::array<PLFLT, SIDES> unitY{};
    for (size_t k = 0; k < SIDES; ++k) {
        const double angle = 6.283185307179586 * static_cast<double>(k) / static_cast<double>(SIDES);
        unitX[k] = std::cos(angle);
        unitY[k] = std::sin(angle);
    }
    std::array<PLFLT, SIDES> dotX{};
    std::array<PLFLT, SIDES> dotY{};
    for (size_t i = begin; i < end; ++i) {
        for (size_t k = 0; k < SIDES; ++k) {
            dotX[k] = p.x[i] + a * unitX[k];
            dotY[k] = p.y[i] + b * unitY[k];
        }
        plfill(static_cast<PLINT>(SIDES), dotX.data(), dotY.data());
    }
}

// The segment's interval band and mean, from from to to across the panel.
void drawBand(const DrawnSegment& segment, PLFLT from, PLFLT to)
{
    if (!segment.band) {
        return;
    }
    const std::array<PLFLT, 4> bandX{from, to, to, from};
    const std::array<PLFLT, 4> bandY{segment.bandLow, segment.bandLow, segment.bandHigh, segment.bandHigh};
    plcol0(segment.fill);
    plfill(4, bandX.data(), bandY.data());
}

void drawMean(const DrawnSegment& segment, PLFLT from, PLFLT to)
{
    const std::array<PLFLT, 2> meanX{from, to};
    const std::array<PLFLT, 2> meanY{segment.mean, segment.mean};
    plcol0(segment.line);
    plwidth(2.5);
    plline(2, meanX.data(), meanY.data());
}

// A panel across the given axis and up the lag: its place and grid lines.
void beginPanel(const Axis& across, const Picture& p, PLFLT left, PLFLT right, PLFLT bottom, PLFLT top)
{
    plvpor(left, right, bottom, top);
    plwind(across.min, across.max, p.yAxis.min, p.yAxis.max);
    plcol0(GRID);
    plwidth(1.0);
    plbox("g", across.step, 0, "g", p.yAxis.step, 0);
}

// Its frame, its ticks labelled (the lag's with upOptions) and the label
// below it.
void endPanel(const Axis& across, const Picture& p, const char* upOptions, const char* label)
{
    PanelAxes axes{&across, &p.yAxis};
    plslabelfunc(labelTick, &axes);
    plcol0(INK);
    plwidth(1.0);
    plschr(0.0, 1.0);
    plbox("bcnsto", across.step, 0, upOptions, p.yAxis.step, 0);
    plslabelfunc(nullptr, nullptr);
    plschr(0.0, 1.2);
    plmtex("b", 2.8, 0.5, 0.5, label);
}

void drawSeriesPanel(const Picture& p, PLFLT left, PLFLT right, PLFLT bottom, PLFLT top)
{
    beginPanel(p.xAxis, p, left, right, bottom, top);
    for (const DrawnSegment& segment : p.segments) {
        drawBand(segment, segment.xFrom, segment.xTo);
    }
    const auto n = static_cast<PLINT>(p.y.size());
    if (n > 1) {
        plcol0(TRACE);
        plwidth(1.0);
        plline(n, p.x.data(), p.y.data());
    }
    for (const DrawnSegment& segment : p.segments) {
        plcol0(segment.dot);
        drawDots(p, p.dotRadius, segment.begin, segment.end);
    }
    // Over the dots: the mean is what the picture is for.
    for (const DrawnSegment& segment : p.segments) {
        drawMean(segment, segment.xFrom, segment.xTo);
    }
    endPanel(p.xAxis, p, "bcnstvo", p.indexLabel.c_str());
}

void drawHistogramPanel(const Picture& p, PLFLT left, PLFLT right, PLFLT bottom, PLFLT top)
{
    beginPanel(p.countAxis, p, left, right, bottom, top);
    for (const DrawnSegment& segment : p.segments) {
        drawBand(segment, p.countAxis.min, p.countAxis.max);
    }
    // Each bin's readings stacked, segment by segment, in their colours.
    for (size_t k = 0; k < p.bins.counts.size(); ++k) {
        const double low = p.bins.start + static_cast<double>(k) * p.bins.width;
        const double high = low + p.bins.width;
        double below = 0.0;
        for (const DrawnSegment& segment : p.segments) {
            if (segment.counts[k] == 0) {
                continue;
            }
            const double stacked = below + segment.counts[k];
            const std::array<PLFLT, 5> barX{below, stacked, stacked, below, below};
            const std::array<PLFLT, 5> barY{low, low, high, high, low};
            plcol0(segment.bar);
            plfill(4, barX.data(), barY.data());
            plcol0(segment.barEdge);
            plwidth(1.0);
            plline(5, barX.data(), barY.data());
            below = stacked;
        }
    }
    for (const DrawnSegment& segment : p.segments) {
        drawMean(segment, p.countAxis.min, p.countAxis.max);
    }
    endPanel(p.countAxis, p, "bcst", "readings");
    plmtex("t", 0.8, 0.5, 0.5, "histogram");
}

// One legend entry at x, a share of the viewport's width from its left.
void drawLegendEntry(PLFLT x, PLFLT scale, const LegendEntry& entry)
{
    const PLINT kind = entry.kind;
    const char* text = entry.text.c_str();
    const PLINT colour = entry.lineColour;
    const PLINT symbolColour = entry.symbolColour;
    const PLFLT lineWidth = entry.lineWidth;
    const char* symbol = entry.symbol ? "\u25CF" : "";
    const PLINT textColour = INK;
    const PLINT pattern = 0;
    const PLFLT boxScale = 0.9;
    const PLFLT boxLineWidth = 1.0;
    const PLINT lineStyle = 1;
    const PLINT symbolCount = 1;
    const PLFLT symbolScale = 0.75;
    PLFLT width = 0.0;
    PLFLT height = 0.0;
    pllegend(&width, &height, 0, PL_POSITION_LEFT | PL_POSITION_INSIDE | PL_POSITION_VIEWPORT, x, 0.0, 0.05, BACKGROUND,
             INK, 1, 1, 1, 1, &kind, 0.8, scale, 2.0, 0.0, &textColour, &text, &colour, &pattern, &boxScale,
             &boxLineWidth, &colour, &lineStyle, &lineWidth, &symbolColour, &symbolScale, &symbolCount, &symbol);
}

// The legend, in a row of its own between the title and the panels.
void drawLegend(const Picture& p)
{
    plvpor(p.seriesLeft, LEGEND_RIGHT, 0.85, 0.9);
    plwind(0.0, 1.0, 0.0, 1.0);
    // pllegend's text scale is relative to the default character height.
    for (size_t i = 0; i < p.legend.size(); ++i) {
        drawLegendEntry(p.legendAt[i], p.legendScale, p.legend[i]);
    }
}

void draw(const Picture& p)
{
    pladv(0);
    const PLFLT bottom = 0.12;
    const PLFLT top = 0.8;
    drawHistogramPanel(p, 0.75, LEGEND_RIGHT, bottom, top);
    drawSeriesPanel(p, p.seriesLeft, 0.71, bottom, top);
    drawLegend(p);

    // The title, and the y axis's title at the page's left edge, clear of
    // tick labels however wide they are.
    plvpor(0.0, 1.0, 0.0, 1.0);
    plwind(0.0, PAGE_WIDTH, 0.0, PAGE_HEIGHT);
    plcol0(INK);
    plschr(0.0, 1.6);
    plptex(0.5 * PAGE_WIDTH, 0.945 * PAGE_HEIGHT, 1.0, 0.0, 0.5, p.title.c_str());
    plschr(0.0, 1.2);
    plptex(30.0, 0.5 * (bottom + top) * PAGE_HEIGHT, 0.0, 1.0, 0.5, "lag (ms)");
}

enum class Outcome { Drawn, NoDevice, Aborted, Fatal };

// Draws the picture into out (which PLplot closes once it has it). Nothing
// with a destructor may live in this frame or below it while PLplot runs:
// a fatal error comes back here by a jump.
Outcome render(const Picture& picture, const char* device, std::FILE* out, bool* outTaken)
{
    std::jmp_buf target;
    // NOLINTNEXTLINE(cert-err52-cpp): the only way back from PLplot's fatal errors
    if (setjmp(target) != 0) {
        fatalTarget = nullptr;
        return Outcome::Fatal;
    }
    fatalTarget = &target;
    plsexit(onFatal);
    fatalMessage[0] = '\0';
    abortCode = 0;
    abortMessage[0] = '\0';
    if (!deviceInstalled(device)) {
        fatalTarget = nullptr;
        return Outcome::NoDevice;
    }
    PLINT previous = 0;
    plgstrm(&previous);
    PLINT stream = -1;
    plmkstrm(&stream);
    if (stream < 0) {
        fatalTarget = nullptr;
        (void)std::snprintf(fatalMessage.data(), fatalMessage.size(), "%s", "no PLplot stream is free");
        return Outcome::Fatal;
    }
    plsError(&abortCode, abortMessage.data());
    plsdev(device);
    plsfile(out);
    *outTaken = true;
    plspage(0.0, 0.0, PAGE_WIDTH, PAGE_HEIGHT, 0, 0);
    plscmap0n(COLOUR_COUNT);
    for (const Colour& colour : PALETTE) {
        plscol0a(colour.index, colour.red, colour.green, colour.blue, colour.alpha);
    }
    for (PLINT i = 0; i < SEGMENT_COLOUR_COUNT; ++i) {
        const std::array<PLINT, 3>& rgb = SEGMENT_COLOURS[static_cast<size_t>(i)];
        const PLINT base = SEGMENT_BASE + PER_SEGMENT * i;
        plscol0a(base, rgb[0], rgb[1], rgb[2], 1.0);
        // The mean a shade darker than the dots, to stand out among them.
        plscol0a(base + 1, rgb[0] * 3 / 4, rgb[1] * 3 / 4, rgb[2] * 3 / 4, 1.0);
        plscol0a(base + 2, rgb[0], rgb[1], rgb[2], 0.16);
        plscol0a(base + 3, rgb[0], rgb[1], rgb[2], 0.55);
    }
    // Set again as the background: with more than nine colours, the
    // background of the cairo driver's page is otherwise left transparent.
    plscolbga(255, 255, 255, 1.0);
    plinit();
    draw(picture);
    plend1();
    plsstrm(previous);
    fatalTarget = nullptr;
    return abortCode == 0 ? Outcome::Drawn : Outcome::Aborted;
}

// The message PLplot left, without its banner and line breaks.
std::string plplotReason()
{
    std::string reason = fatalMessage[0] != '\0' ? fatalMessage.data() : abortMessage.data();
    const std::string banner = "*** PLPLOT ERROR, ABORTING OPERATION ***";
    const size_t at = reason.find(banner);
    if (at != std::string::npos) {
        reason.erase(at, banner.size());
    }
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    const size_t first = reason.find_first_not_of(' ');
    const size_t last = reason.find_last_not_of(' ');
    return first == std::string::npos ? std::string("no reason given") : reason.substr(first, last - first + 1);
}

std::string saveFile(const std::string& path, const char* bytes, size_t size)
{
    const std::string error = writeFileBytes(path, bytes, size);
    return error.empty() ? error : "cannot write the plot " + path + ": " + error;
}

std::string validate(const PlotSeries& series)
{
    if (series.lagMs.empty()) {
        return "there are no readings to plot";
    }
    if (series.lagMs.size() > MOST_READINGS) {
        return "the series has more than " + std::to_string(MOST_READINGS) + " readings";
    }
    if (!series.index.empty() && series.index.size() != series.lagMs.size()) {
        return "the series has " + std::to_string(series.index.size()) + " index values for " +
               std::to_string(series.lagMs.size()) + " readings";
    }
    if (!std::all_of(series.lagMs.begin(), series.lagMs.end(), usable)) {
        return "a reading is not a finite number of milliseconds within +-1e12";
    }
    if (!std::all_of(series.index.begin(), series.index.end(), usable)) {
        return "an index value is not a finite number within +-1e12";
    }
    if (!usable(series.meanMs)) {
        return "the mean is not a finite number of milliseconds within +-1e12";
    }
    if (series.hasInterval &&
        (!usable(series.ciLowMs) || !usable(series.ciHighMs) || series.ciLowMs > series.ciHighMs)) {
        return "the 95 % interval is not a pair of finite numbers, low to high";
    }
    if (!(std::isfinite(series.frameMs) && series.frameMs >= 0.0 && series.frameMs <= LIMIT_MS)) {
        return "the frame period is not a finite number of milliseconds within 0..1e12";
    }
    size_t next = 0;
    for (const PlotSegment& segment : series.segments) {
        if (segment.begin != next || segment.end <= segment.begin || segment.end > series.lagMs.size()) {
            return "the segments do not cover the readings one after the other";
        }
        if (!usable(segment.meanMs) || (segment.hasInterval && (!usable(segment.ciLowMs) || !usable(segment.ciHighMs) ||
                                                                segment.ciLowMs > segment.ciHighMs))) {
            return "a segment's mean or interval is not finite, or its interval not low to high";
        }
        next = segment.end;
    }
    if (!series.segments.empty() && next != series.lagMs.size()) {
        return "the segments do not cover the readings one after the other";
    }
    return {};
}

}  // namespace

HistogramBins histogramBins(const std::vector<double>& lagMs, double frameMs, const std::vector<size_t>& segmentStarts)
{
    std::vector<double> values;
    std::copy_if(lagMs.begin(), lagMs.end(), std::back_inserter(values), usable);
    HistogramBins bins;
    if (values.empty()) {
        return bins;
    }
    // The scatter that sets the width: each reading less its segment's
    // median.
    std::vector<double> scatter;
    if (segmentStarts.size() > 1) {
        for (size_t i = 0; i < segmentStarts.size(); ++i) {
            const size_t end = i + 1 < segmentStarts.size() ? segmentStarts[i + 1] : lagMs.size();
            std::vector<double> segment;
            for (size_t k = segmentStarts[i]; k < end && k < lagMs.size(); ++k) {
                if (usable(lagMs[k])) {
                    segment.push_back(lagMs[k]);
                }
            }
            if (segment.empty()) {
                continue;
            }
            std::sort(segment.begin(), segment.end());
            const double median = segment[segment.size() / 2];
            for (const double value : segment) {
                scatter.push_back(value - median);
            }
        }
    } else {
        scatter = values;
    }
    std::sort(values.begin(), values.end());
    std::sort(scatter.begin(), scatter.end());
    const double low = values.front();
    const double high = values.back();
    const double span = high - low;
    const auto n = static_cast<double>(values.size());
    const auto quantile = [&scatter](double q) {
        return scatter[static_cast<size_t>(std::lround(q * static_cast<double>(scatter.size() - 1)))];
    };
    const bool frames = std::isfinite(frameMs) && frameMs > 0.0 && frameMs <= LIMIT_MS;

    double width = 2.0 * (quantile(0.75) - quantile(0.25)) / std::cbrt(n);
    if (!(width > 0.0)) {
        // Most readings equal: let the rest decide.
        width = (scatter.back() - scatter.front()) / std::sqrt(n);
    }
    if (!(width > 0.0)) {
        width = frames ? frameMs : 1.0;
    }
    const double magnitude = std::max(std::abs(low), std::abs(high));
    width = std::max({width, span / MOST_BINS, magnitude * FINEST_RELATIVE});
    if (frames) {
        if (width < frameMs) {
            width = frameMs / std::floor(frameMs / width);
        } else {
            // Odd, so that no whole frame lies on an edge between two bins.
            double multiple = std::round(width / frameMs);
            if (std::fmod(multiple, 2.0) == 0.0) {
                multiple += 1.0;
            }
            width = multiple * frameMs;
        }
    } else {
        width = niceStep(width);
    }

    // Bins are centred on the multiples of their width.
    const double first = std::floor(low / width + 0.5);
    const double last = std::floor(high / width + 0.5);
    bins.width = width;
    bins.start = (first - 0.5) * width;
    const auto count = static_cast<size_t>(last - first) + 1;
    bins.counts.assign(count, 0);
    for (const double value : values) {
        const double at = std::floor((value - bins.start) / width);
        const auto k = static_cast<size_t>(std::clamp(at, 0.0, static_cast<double>(count - 1)));
        ++bins.counts[k];
    }
    return bins;
}

std::string writePlot(const std::string& path, const PlotSeries& series)
{
    const std::optional<Format> format = formatOf(path);
    if (!format) {
        return "cannot write the plot " + path + ": its name must end in .png or .svg";
    }
    const std::string invalid = validate(series);
    if (!invalid.empty()) {
        return "cannot draw the plot " + path + ": " + invalid;
    }
    const Picture picture = compose(series);
    const char* device = *format == Format::Png ? "pngcairo" : "svg";

    char* bytes = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&bytes, &size);
    if (out == nullptr) {
        return "cannot draw the plot " + path + ": " + std::strerror(errno);
    }
    bool outTaken = false;
    const Outcome outcome = render(picture, device, out, &outTaken);
    if (outcome == Outcome::Fatal && outTaken) {
        // The abandoned stream still holds the memory file: closing it here
        // would leave PLplot a dangling handle, so both stay with it.
        return "cannot draw the plot " + path + ": PLplot failed: " + plplotReason();
    }
    if (!outTaken) {
        (void)std::fclose(out);
    }
    std::string error;
    if (outcome == Outcome::NoDevice) {
        error = "cannot draw the plot " + path + ": PLplot's " + device + " device is not installed" +
                (*format == Format::Png ? " (Debian package plplot-driver-cairo)" : "");
    } else if (outcome != Outcome::Drawn) {
        error = "cannot draw the plot " + path + ": PLplot failed: " + plplotReason();
    } else if (size == 0) {
        error = "cannot draw the plot " + path + ": PLplot wrote nothing";
    } else {
        error = saveFile(path, bytes, size);
    }
    std::free(bytes);  // open_memstream's buffer
    return error;
}

}  // namespace reader
