#include "reader/lit_band.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "reader/grid.h"
#include "reader/rectify.h"

namespace reader {

namespace {

// Wider than the pattern by this much: not a screen seen at an angle (a
// tilt of nearly 50 degrees), but part of its rows.
constexpr double BAND_ASPECT = 1.5;
// Pattern rows averaged into one measurement of the lines.
constexpr int GROUP_ROWS = 4;
// Rows darker than this share of the band's brightest are too dim to say
// whether they show lines.
constexpr double LIT_SHARE = 0.25;
// Rows beyond a grid end, lit and without lines, that make it one: fewer
// would be the band's own fading edge.
constexpr int LEAST_UNLINED_GROUPS = 3;

double length(cv::Point2d a, cv::Point2d b)
{
    return std::hypot(b.x - a.x, b.y - a.y);
}

std::vector<double> columnMeans(const cv::Mat& rows)
{
    cv::Mat means;
    cv::reduce(rows, means, 0, cv::REDUCE_AVG, CV_64F);
    return {means.begin<double>(), means.end<double>()};
}

// Where, between two groups' line strengths on either side of half, the
// lines end: in rows from the band's top.
double crossing(double before, double after, int beforeGroup, double half)
{
    const double t = std::abs(after - before) > 1e-9 ? (half - before) / (after - before) : 0.5;
    return (beforeGroup + 0.5 + std::clamp(t, 0.0, 1.0)) * GROUP_ROWS;
}

// A line through points, as OpenCV fits it: direction, then a point on it.
std::optional<cv::Vec4d> lineThrough(const std::vector<cv::Point2f>& points)
{
    if (points.size() < 4) {
        return std::nullopt;
    }
    cv::Vec4f fitted;
    cv::fitLine(points, fitted, cv::DIST_HUBER, 0.0, 0.01, 0.01);
    return cv::Vec4d(fitted[0], fitted[1], fitted[2], fitted[3]);
}

// Where the line through a and b meets a fitted line.
cv::Point2d meet(cv::Point2d a, cv::Point2d b, const cv::Vec4d& line)
{
    const cv::Point2d along = b - a;
    const cv::Point2d direction(line[0], line[1]);
    const double cross = along.cross(direction);
    if (std::abs(cross) < 1e-9) {
        return a;
    }
    const double s = (cv::Point2d(line[2], line[3]) - a).cross(direction) / cross;
    return a + along * s;
}

// The band's ends refitted through its brightly lit rows only: the
// outline of its colour takes in the fading rows too, whose dim ends the
// photo blurs into the bezel, and carried over the whole screen a side a
// little askew would miss its corners by many pixels.
Quad refinedEnds(const cv::Mat& photo, const Quad& band, const Mode& mode, double rows)
{
    const double margin = 0.05 * mode.width;
    const int height = static_cast<int>(rows);
    const int width = static_cast<int>(mode.width + 2.0 * margin);
    if (height < GROUP_ROWS) {
        return band;
    }
    const Mode bandMode{mode.width, static_cast<int>(std::lround(rows)), mode.rate};
    const cv::Matx33d toBand = patternHomography(band, bandMode);
    const cv::Mat strip =
        rectifyRegion(photo, toBand, cv::Rect2d(-margin, 0.0, width, height), cv::Size(width, height));
    std::vector<cv::Mat> bgr;
    cv::split(strip, bgr);
    cv::Mat most;
    cv::max(bgr[0], bgr[1], most);
    cv::max(most, bgr[2], most);
    const cv::Matx33d fromBand = toBand.inv();
    std::vector<cv::Point2f> left;
    std::vector<cv::Point2f> right;
    std::vector<double> levels;
    const auto edge = [](const std::vector<double>& profile, int from, int to, double level) {
        // The first crossing of the level going from `from` towards `to`.
        const int direction = to > from ? 1 : -1;
        for (int x = from; x != to; x += direction) {
            const double a = profile[static_cast<size_t>(x)];
            const int next = x + direction;
            const double b = profile[static_cast<size_t>(next)];
            if (a < level && b >= level) {
                return x + direction * (level - a) / (b - a) + 0.5;
            }
        }
        return -1.0;
    };
    std::vector<double> inside(static_cast<size_t>(height / GROUP_ROWS));
    for (int g = 0; g < height / GROUP_ROWS; ++g) {
        const std::vector<double> profile = columnMeans(most.rowRange(g * GROUP_ROWS, (g + 1) * GROUP_ROWS));
        std::vector<double> middle(profile.begin() + width / 4, profile.end() - width / 4);
        std::nth_element(middle.begin(), middle.begin() + static_cast<std::ptrdiff_t>(middle.size() / 2), middle.end());
        inside[static_cast<size_t>(g)] = middle[middle.size() / 2];
    }
    const double brightest = *std::max_element(inside.begin(), inside.end());
    const auto m = static_cast<int>(margin);
    for (int g = 0; g < height / GROUP_ROWS; ++g) {
        if (inside[static_cast<size_t>(g)] < 0.8 * brightest) {
            continue;
        }
        const std::vector<double> profile = columnMeans(most.rowRange(g * GROUP_ROWS, (g + 1) * GROUP_ROWS));
        const double y = (g + 0.5) * GROUP_ROWS;
        // Half-way between the bezel beside the band and the band's light.
        const double outsideLeft = *std::min_element(profile.begin(), profile.begin() + m / 2);
        const double outsideRight = *std::min_element(profile.end() - m / 2, profile.end());
        const double inner = inside[static_cast<size_t>(g)];
        const double l = edge(profile, 0, 2 * m, 0.5 * (outsideLeft + inner));
        const double r = edge(profile, width - 1, width - 1 - 2 * m, 0.5 * (outsideRight + inner));
        if (l >= 0.0) {
            const cv::Point2d p = mapPoint(fromBand, {l - margin, y});
            left.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
        }
        if (r >= 0.0) {
            const cv::Point2d p = mapPoint(fromBand, {r - margin, y});
            right.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
        }
    }
    const std::optional<cv::Vec4d> leftSide = lineThrough(left);
    const std::optional<cv::Vec4d> rightSide = lineThrough(right);
    if (!leftSide || !rightSide) {
        return band;
    }
    return Quad{meet(band[0], band[1], *leftSide), meet(band[0], band[1], *rightSide),
                meet(band[3], band[2], *rightSide), meet(band[3], band[2], *leftSide)};
}

// Where the lines through a and b and through c and d meet; a when they
// do not.
cv::Point2d intersection(cv::Point2d a, cv::Point2d b, cv::Point2d c, cv::Point2d d)
{
    return meet(a, b, cv::Vec4d(d.x - c.x, d.y - c.y, c.x, c.y));
}

// Whether a band's top and bottom edges lie along the photo's rows, as a
// rolling shutter that catches a flickering backlight cuts them. (A screen
// turned by less than a pixel over its width has its rows along the
// photo's anyway.)
bool alongPhotoRows(const Quad& band)
{
    return std::abs(band[0].y - band[1].y) <= 1.0 && std::abs(band[3].y - band[2].y) <= 1.0;
}

// A beam lights whole rows of the screen; a band the shutter cut is cut
// again square to its sides, through the middles of its edges, to lie along
// the screen's rows.
Quad alongScreenRows(const Quad& band)
{
    if (!alongPhotoRows(band)) {
        return band;
    }
    const auto unit = [](cv::Point2d v) {
        const double n = std::hypot(v.x, v.y);
        return n > 0.0 ? v / n : v;
    };
    const cv::Point2d down = unit(unit(band[3] - band[0]) + unit(band[2] - band[1]));
    const cv::Point2d across(down.y, -down.x);
    const cv::Point2d top = 0.5 * (band[0] + band[1]);
    const cv::Point2d bottom = 0.5 * (band[3] + band[2]);
    return Quad{intersection(band[0], band[3], top, top + across), intersection(band[1], band[2], top, top + across),
                intersection(band[1], band[2], bottom, bottom + across),
                intersection(band[0], band[3], bottom, bottom + across)};
}

// The lines' period in a profile: the strongest from 0.85 to 1.25 of the
// drawn spacing (an overscan stretches it), as the grid stage searches, in
// steps of this share of it.
double strongestPeriod(const std::vector<double>& profile, int step, double resolution)
{
    double period = step;
    double best = 0.0;
    const auto count = static_cast<int>(std::lround(0.4 / resolution));
    for (int i = 0; i <= count; ++i) {
        const double p = (0.85 + resolution * i) * step;
        const double strength = periodicStrength(profile, p);
        if (strength > best) {
            best = strength;
            period = p;
        }
    }
    return period;
}

}  // namespace

bool isBandOfRows(const Quad& outline, const Mode& mode)
{
    const double width = length(outline[0], outline[1]) + length(outline[3], outline[2]);
    const double height = length(outline[0], outline[3]) + length(outline[1], outline[2]);
    return height > 0.0 && mode.height > 0 && width / height > BAND_ASPECT * mode.width / mode.height;
}

std::optional<Quad> screenOfLitBand(const cv::Mat& photo, const Quad& found, const Mode& mode)
{
    const int step = mode.columnStep();
    const auto rowsOf = [&mode](const Quad& q) {
        const double across = length(q[0], q[1]) + length(q[3], q[2]);
        return across > 0.0 ? mode.width * (length(q[0], q[3]) + length(q[1], q[2])) / across : 0.0;
    };
    const Quad sides = refinedEnds(photo, found, mode, rowsOf(found));
    // Cut by the shutter, its sides are as long as each other whatever the
    // screen's turn.
    const bool shutterCut = alongPhotoRows(sides);
    const Quad band = alongScreenRows(sides);
    const double width = 0.5 * (length(band[0], band[1]) + length(band[3], band[2]));
    const double height = 0.5 * (length(band[0], band[3]) + length(band[1], band[2]));
    if (step < 2 || width <= 0.0) {
        return std::nullopt;
    }
    // The band in the pattern's rows, its pixels taken square: the sides
    // are the screen's, the top and bottom edges two of its rows. (A mode
    // of another shape than the tube, 1280x1024 on a 4:3 CRT, has pixels
    // 7 % wider than high, and the outline misses by that share of the
    // rows carried beyond the band.)
    const double rows = mode.width * height / width;
    const int groups = static_cast<int>(rows) / GROUP_ROWS;
    if (groups < 2 * LEAST_UNLINED_GROUPS) {
        return std::nullopt;
    }
    const Mode bandMode{mode.width, static_cast<int>(std::lround(rows)), mode.rate};
    const cv::Mat strip =
        rectifyRegion(photo, patternHomography(band, bandMode), cv::Rect2d(0.0, 0.0, mode.width, groups * GROUP_ROWS),
                      cv::Size(mode.width, groups * GROUP_ROWS));
    // White lines are bright in every channel, the blue background and the
    // green bar in one only (and the bar, a column wide, has no component
    // at the columns' period): the least channel shows the lines, the
    // greatest how brightly the row was lit.
    std::vector<cv::Mat> bgr;
    cv::split(strip, bgr);
    cv::Mat least;
    cv::Mat most;
    cv::min(bgr[0], bgr[1], least);
    cv::min(least, bgr[2], least);
    cv::max(bgr[0], bgr[1], most);
    cv::max(most, bgr[2], most);

    // The lines' period, from all the band's rows.
    const double period = strongestPeriod(columnMeans(least), step, 0.005);
    // Each group's lines against its light, so that the band's fading
    // edges, which dim both, do not pass for the grid's end.
    std::vector<double> lit(static_cast<size_t>(groups));
    std::vector<double> lines(static_cast<size_t>(groups));
    for (int g = 0; g < groups; ++g) {
        const cv::Range range(g * GROUP_ROWS, (g + 1) * GROUP_ROWS);
        lit[static_cast<size_t>(g)] = cv::mean(most.rowRange(range))[0];
        lines[static_cast<size_t>(g)] = periodicStrength(columnMeans(least.rowRange(range)), period);
    }
    const double brightest = *std::max_element(lit.begin(), lit.end());
    std::vector<double> ratio(static_cast<size_t>(groups), 0.0);
    std::vector<bool> litGroup(static_cast<size_t>(groups), false);
    for (size_t g = 0; g < ratio.size(); ++g) {
        litGroup[g] = lit[g] >= LIT_SHARE * brightest;
        ratio[g] = litGroup[g] ? lines[g] / lit[g] : 0.0;
    }
    // The lines' own strength: the strongest of three groups in a row, so
    // that one noisy group does not set it.
    double plateau = 0.0;
    for (size_t g = 1; g + 1 < ratio.size(); ++g) {
        plateau = std::max(plateau, std::min({ratio[g - 1], ratio[g], ratio[g + 1]}));
    }
    if (plateau <= 0.0) {
        return std::nullopt;
    }
    const double half = 0.5 * plateau;
    const auto unlined = [&](int from, int to) {
        // Every group in [from, to) lit and without lines.
        if (from < 0 || to > groups) {
            return false;
        }
        for (int g = from; g < to; ++g) {
            if (!litGroup[static_cast<size_t>(g)] || ratio[static_cast<size_t>(g)] >= 0.5 * half) {
                return false;
            }
        }
        return true;
    };
    // The longest run of groups with lines.
    int runStart = 0;
    int runEnd = 0;
    for (int g = 0; g < groups;) {
        if (ratio[static_cast<size_t>(g)] < half) {
            ++g;
            continue;
        }
        int end = g;
        while (end < groups && ratio[static_cast<size_t>(end)] >= half) {
            ++end;
        }
        if (end - g > runEnd - runStart) {
            runStart = g;
            runEnd = end;
        }
        g = end;
    }
    if (runEnd <= runStart) {
        return std::nullopt;
    }
    // The pattern row of the band's top, from each grid end seen in it.
    const int gridTop = std::min(GRID_MARGIN, mode.height - GRID_MARGIN);
    const int gridBottom = std::max(GRID_MARGIN, mode.height - GRID_MARGIN);
    double topSum = 0.0;
    int ends = 0;
    // The group the lines end in may hold some of them: the unlined ones
    // are looked for beyond it.
    if (unlined(runStart - 1 - LEAST_UNLINED_GROUPS, runStart - 1)) {
        const auto g = static_cast<size_t>(runStart);
        topSum += gridTop - crossing(ratio[g - 1], ratio[g], runStart - 1, half);
        ++ends;
    }
    if (unlined(runEnd + 1, runEnd + 1 + LEAST_UNLINED_GROUPS)) {
        const auto g = static_cast<size_t>(runEnd);
        topSum += gridBottom - crossing(ratio[g - 1], ratio[g], runEnd - 1, half);
        ++ends;
    }
    if (ends == 0) {
        return std::nullopt;
    }
    const double top = topSum / ends;
    // Lit rows lie on the screen: a band placed beyond its top or bottom
    // was placed by something other than the grid's end.
    const double slack = 0.05 * mode.height;
    if (top < -slack || top + rows > mode.height + slack) {
        return std::nullopt;
    }
    // Each side carried on along itself to the screen's top and bottom. A
    // screen turned about its upright axis shows its nearer side taller,
    // which a beam's band shows in its own sides; a band the shutter cut
    // does not, but its lines do, spaced wider at the nearer end. Seen from
    // a camera, the height at a side goes as one over its distance and the
    // spacing as one over its square.
    double nearer = 1.0;
    if (shutterCut) {
        cv::Mat lined;
        cv::reduce(least.rowRange(runStart * GROUP_ROWS, runEnd * GROUP_ROWS), lined, 0, cv::REDUCE_AVG, CV_64F);
        // Finer steps than for the band's whole: the two ends differ by a
        // few per cent.
        constexpr double FINE = 0.001;
        const int third = lined.cols / 3;
        const std::vector<double> leftEnd(lined.begin<double>(), lined.begin<double>() + third);
        const std::vector<double> rightEnd(lined.end<double>() - third, lined.end<double>());
        nearer = std::sqrt(strongestPeriod(leftEnd, step, FINE) / strongestPeriod(rightEnd, step, FINE));
    }
    const cv::Point2d left = (band[3] - band[0]) / rows * (2.0 * nearer / (1.0 + nearer));
    const cv::Point2d right = (band[2] - band[1]) / rows * (2.0 / (1.0 + nearer));
    const double below = mode.height - top;
    // From the band's middle row, where its own rows are true at either side.
    const double middle = 0.5 * rows;
    const cv::Point2d leftMiddle = 0.5 * (band[0] + band[3]);
    const cv::Point2d rightMiddle = 0.5 * (band[1] + band[2]);
    return Quad{leftMiddle - left * (top + middle), rightMiddle - right * (top + middle),
                rightMiddle + right * (below - middle), leftMiddle + left * (below - middle)};
}

}  // namespace reader
