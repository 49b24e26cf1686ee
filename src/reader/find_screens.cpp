#include "reader/find_screens.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "reader/lit_band.h"
#include "reader/rectify.h"

namespace reader {

namespace {

// Screens are searched for on a copy no larger than this.
constexpr int REDUCED_SIDE = 1024;
// A screen covers at least this share of the photo.
constexpr double MIN_AREA_SHARE = 0.01;
// A lit piece of a screen crossed by dark bands: this share of that at least.
constexpr double MIN_PIECE_SHARE = 0.1;
// Its outline fills at least this share of its convex hull, and the hull of
// the four corners at least this share of the region's.
constexpr double MIN_SOLIDITY = 0.8;
constexpr double MIN_QUAD_FILL = 0.85;
// Colour shares (0..255: blue or green above red, of the brightness) that
// separate screens from the room, and the least brightness to judge.
constexpr std::array<double, 4> SHARE_LEVELS = {30.0, 50.0, 90.0, 140.0};
constexpr unsigned char MIN_BRIGHTNESS = 24;

// The corner of the hull furthest along a direction.
cv::Point2d extreme(const std::vector<cv::Point>& hull, double dx, double dy)
{
    const auto best = std::max_element(hull.begin(), hull.end(), [dx, dy](const cv::Point& a, const cv::Point& b) {
        return a.x * dx + a.y * dy < b.x * dx + b.y * dy;
    });
    return {static_cast<double>(best->x), static_cast<double>(best->y)};
}

// Of points along a side, those on the straight line most of them lie on:
// the side's own, where a notch or a bump joins it (the grid's first line
// cut short at a projection's edge, a lamp's reflection beside a bezel).
std::vector<cv::Point2f> onCommonLine(const std::vector<cv::Point2f>& points)
{
    // Within two pixels: an outline's steps, and a JPEG's blur.
    constexpr double NEAR = 2.0;
    constexpr size_t TRIED = 32;
    const size_t step = std::max<size_t>(1, points.size() / TRIED);
    std::vector<cv::Point2f> best;
    std::vector<cv::Point2f> near;
    for (size_t i = 0; i < points.size(); i += step) {
        for (size_t j = i + step; j < points.size(); j += step) {
            const cv::Point2d a(points[i]);
            const cv::Point2d along = cv::Point2d(points[j]) - a;
            const double length = std::hypot(along.x, along.y);
            if (length < 4.0 * NEAR) {
                continue;
            }
            near.clear();
            for (const cv::Point2f& p : points) {
                if (std::abs(along.cross(cv::Point2d(p) - a)) < NEAR * length) {
                    near.push_back(p);
                }
            }
            if (near.size() > best.size()) {
                best.swap(near);
            }
        }
    }
    // A side blurred or bent beyond that: all its points, as they are.
    return 2 * best.size() >= points.size() ? best : points;
}

// How a side is fitted through its points: all of them, or the line most
// of them lie on, from a strip wide enough for a rough corner a few pixels
// off (a short side carried far, whose end may be notched).
enum class SideFit { AllPoints, CommonLine };

// Fits a straight side through the hull's points that lie between two
// corners, away from the rounded corners themselves. False when too few.
bool fitSide(const std::vector<cv::Point>& contour, cv::Point2d from, cv::Point2d to, SideFit fit, cv::Vec4d* line)
{
    const cv::Point2d along = to - from;
    const double length = std::hypot(along.x, along.y);
    if (length < 8.0) {
        return false;
    }
    const cv::Point2d unit = along / length;
    const cv::Point2d normal(-unit.y, unit.x);
    std::vector<cv::Point2f> points;
    for (const cv::Point& p : contour) {
        const cv::Point2d d = cv::Point2d(p) - from;
        const double t = d.dot(unit) / length;
        const double off = std::abs(d.dot(normal));
        const double strip = fit == SideFit::CommonLine ? 0.1 : 0.05;
        if (t > 0.15 && t < 0.85 && off < strip * length) {
            points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
        }
    }
    if (points.size() < 6) {
        return false;
    }
    if (fit == SideFit::CommonLine) {
        points = onCommonLine(points);
    }
    cv::Vec4f fitted;
    cv::fitLine(points, fitted, cv::DIST_HUBER, 0.0, 0.01, 0.01);
    *line = cv::Vec4d(fitted[0], fitted[1], fitted[2], fitted[3]);
    return true;
}

bool intersect(const cv::Vec4d& a, const cv::Vec4d& b, cv::Point2d* point)
{
    // a: p + s * u, b: q + t * v.
    const double cross = a[0] * b[1] - a[1] * b[0];
    if (std::abs(cross) < 1e-6) {
        return false;
    }
    const double qx = b[2] - a[2];
    const double qy = b[3] - a[3];
    const double s = (qx * b[1] - qy * b[0]) / cross;
    *point = {a[2] + s * a[0], a[3] + s * a[1]};
    return true;
}

// The meeting points of the longest straight run of the outline on each
// side (top, right, bottom, left of its middle), which are the screen's own
// edges also where something of the same colour touches it (a poster, a
// lamp's reflection beside it): that only adds shorter runs. False when a
// side has no run.
bool sideRunCorners(const std::vector<cv::Point>& contour, Quad* corners)
{
    std::vector<cv::Point> polygon;
    cv::approxPolyDP(contour, polygon, 0.01 * cv::arcLength(contour, true), true);
    if (polygon.size() < 4) {
        return false;
    }
    cv::Point2d middle(0.0, 0.0);
    for (const cv::Point& p : contour) {
        middle += cv::Point2d(p);
    }
    middle /= static_cast<double>(contour.size());
    // Top, right, bottom, left: the direction each side faces from the middle.
    const std::array<cv::Point2d, 4> facing = {cv::Point2d(0, -1), cv::Point2d(1, 0), cv::Point2d(0, 1),
                                               cv::Point2d(-1, 0)};
    std::array<double, 4> longest = {0.0, 0.0, 0.0, 0.0};
    std::array<cv::Vec4d, 4> sides;
    for (size_t i = 0; i < polygon.size(); ++i) {
        const cv::Point2d a(polygon[i]);
        const cv::Point2d b(polygon[(i + 1) % polygon.size()]);
        const cv::Point2d along = b - a;
        const double length = std::hypot(along.x, along.y);
        const cv::Point2d centre = (a + b) * 0.5 - middle;
        for (size_t side = 0; side < 4; ++side) {
            // Runs along the side (more across the facing than along it) on
            // its half of the region.
            const double across = std::abs(along.dot(facing[side]));
            if (across < 0.5 * length && centre.dot(facing[side]) > 0.0 && length > longest[side]) {
                longest[side] = length;
                sides[side] = cv::Vec4d(along.x / length, along.y / length, a.x, a.y);
            }
        }
    }
    for (size_t i = 0; i < 4; ++i) {
        if (longest[i] <= 0.0) {
            return false;
        }
    }
    // Top-left is where the left side meets the top, and so on; a meeting
    // point well outside the region is of a run that is no side.
    const cv::Rect box = cv::boundingRect(contour);
    const double slack = 0.1 * std::max(box.width, box.height);
    for (size_t i = 0; i < 4; ++i) {
        cv::Point2d& corner = (*corners)[i];
        if (!intersect(sides[(i + 3) % 4], sides[i], &corner) || corner.x < box.x - slack ||
            corner.x > box.x + box.width + slack || corner.y < box.y - slack || corner.y > box.y + box.height + slack) {
            return false;
        }
    }
    return true;
}

// Four corners of a screen-shaped region: the meeting points of its longest
// straight runs, or else the extremes along the diagonals (good for
// rotations well under 45 degrees); then each corner made the meeting
// point of the two straight sides fitted through the outline.
Quad quadOf(const std::vector<cv::Point>& contour, const std::vector<cv::Point>& hull, SideFit fit = SideFit::AllPoints)
{
    Quad corners = {extreme(hull, -1.0, -1.0), extreme(hull, 1.0, -1.0), extreme(hull, 1.0, 1.0),
                    extreme(hull, -1.0, 1.0)};
    Quad runCorners;
    if (sideRunCorners(contour, &runCorners)) {
        corners = runCorners;
    }
    std::array<cv::Vec4d, 4> sides;
    for (size_t i = 0; i < 4; ++i) {
        if (!fitSide(contour, corners[i], corners[(i + 1) % 4], fit, &sides[i])) {
            return corners;
        }
    }
    Quad refined;
    for (size_t i = 0; i < 4; ++i) {
        if (!intersect(sides[(i + 3) % 4], sides[i], &refined[i])) {
            return corners;
        }
        // A meeting point far from the rough corner means a side was fitted
        // to something else.
        const cv::Point2d moved = refined[i] - corners[i];
        if (std::hypot(moved.x, moved.y) > 0.1 * std::hypot(corners[2].x - corners[0].x, corners[2].y - corners[0].y)) {
            return corners;
        }
    }
    return refined;
}

struct Candidate {
    Quad outline{};
    double area = 0.0;
    // How far the level it was outlined at is from half its colour.
    double edgeMiss = 0.0;
    bool fromGridBand = false;
};

// Keeps one outline per screen: a candidate like one already kept (same
// place, same size) replaces it only if outlined nearer its edge.
void addCandidate(std::vector<Candidate>* kept, const Candidate& candidate)
{
    const cv::Point2d centre = centreOf(candidate.outline);
    for (Candidate& other : *kept) {
        const cv::Point2d apart = centre - centreOf(other.outline);
        const double size = std::sqrt(std::max(other.area, candidate.area));
        const double ratio = candidate.area / other.area;
        if (std::hypot(apart.x, apart.y) < 0.1 * size && ratio > 0.8 && ratio < 1.25) {
            if (candidate.edgeMiss < other.edgeMiss) {
                other = candidate;
            }
            return;
        }
    }
    kept->push_back(candidate);
}

// The typical colour share inside a region, from its middle half.
double interiorShare(const cv::Mat& share, const std::vector<cv::Point>& contour)
{
    const cv::Rect box = cv::boundingRect(contour);
    const cv::Rect middle(box.x + box.width / 4, box.y + box.height / 4, std::max(1, box.width / 2),
                          std::max(1, box.height / 2));
    cv::Mat values = share(middle & cv::Rect(0, 0, share.cols, share.rows)).clone().reshape(1, 1);
    const auto half = static_cast<std::ptrdiff_t>(values.total() / 2);
    std::nth_element(values.begin<unsigned char>(), values.begin<unsigned char>() + half, values.end<unsigned char>());
    return *(values.begin<unsigned char>() + half);
}

// How far a point lies from the line through a and b.
double offLine(cv::Point2d point, cv::Point2d a, cv::Point2d b)
{
    const cv::Point2d along = b - a;
    const double length = std::hypot(along.x, along.y);
    return length > 0.0 ? std::abs(along.cross(point - a)) / length : std::hypot(point.x - a.x, point.y - a.y);
}

// A screen crossed by dark bands, a backlight's PWM under a rolling shutter
// or the unlit rows of a CRT, shows as pieces one above the other whose
// left and right ends lie on the same two lines: its sides. The pieces'
// top-most and bottom-most corners outline the whole screen.
bool stacked(const Quad& upper, const Quad& lower, Quad* whole)
{
    const double width = std::hypot(upper[1].x - upper[0].x, upper[1].y - upper[0].y);
    const cv::Point2d down = (upper[3] - upper[0]) + (upper[2] - upper[1]);
    // Below, not beside or overlapping.
    if (down.dot(centreOf(lower) - centreOf(upper)) <= 0.0 || down.dot(lower[0] - upper[3]) < 0.0 ||
        down.dot(lower[1] - upper[2]) < 0.0) {
        return false;
    }
    const double tolerance = 0.015 * width + 2.0;
    const bool left =
        offLine(upper[3], upper[0], lower[3]) < tolerance && offLine(lower[0], upper[0], lower[3]) < tolerance;
    const bool right =
        offLine(upper[2], upper[1], lower[2]) < tolerance && offLine(lower[1], upper[1], lower[2]) < tolerance;
    if (!left || !right) {
        return false;
    }
    *whole = {upper[0], upper[1], lower[2], lower[3]};
    return true;
}

double quadArea(const Quad& q)
{
    std::vector<cv::Point2f> points;
    for (const cv::Point2d& p : q) {
        points.emplace_back(p);
    }
    return std::abs(cv::contourArea(points));
}

// Width over height of a quad, from the means of its opposite sides.
double aspectOf(const Quad& q)
{
    const double width = std::hypot(q[1].x - q[0].x, q[1].y - q[0].y) + std::hypot(q[2].x - q[3].x, q[2].y - q[3].y);
    const double height = std::hypot(q[3].x - q[0].x, q[3].y - q[0].y) + std::hypot(q[2].x - q[1].x, q[2].y - q[1].y);
    return height > 0.0 ? width / height : 0.0;
}

// Whole screens outlined from their grid band alone. A colour wheel caught
// on some of its segments shows the pattern in other colours: the blue
// background black (grey on a lit wall), the white lines yellow or green.
// The lines are still thin and brighter than beside them, whatever their
// colour; joined across and cleared of the bar (one column wide), they are
// a band of the pattern's known place and shape, and the screen's outline
// follows from it.
// A region of a mask, with its convex hull and both areas.
struct Region {
    std::vector<cv::Point> contour;
    std::vector<cv::Point> hull;
    double area = 0.0;
    double hullArea = 0.0;
};

// The mask's outer regions large enough to be a lit piece of a screen and
// solid enough to be one.
std::vector<Region> solidRegions(const cv::Mat& mask, double minArea)
{
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    std::vector<Region> regions;
    for (std::vector<cv::Point>& contour : contours) {
        Region region;
        region.area = cv::contourArea(contour);
        if (region.area < MIN_PIECE_SHARE * minArea) {
            continue;
        }
        cv::convexHull(contour, region.hull);
        region.hullArea = cv::contourArea(region.hull);
        if (region.area < MIN_SOLIDITY * region.hullArea) {
            continue;
        }
        region.contour = std::move(contour);
        regions.push_back(std::move(region));
    }
    return regions;
}

void addGridBandOutlines(const cv::Mat& image, const Mode& mode, double minArea, std::vector<Candidate>* found)
{
    const int top = std::min(GRID_MARGIN, mode.height - GRID_MARGIN);
    const int bottom = std::max(GRID_MARGIN, mode.height - GRID_MARGIN);
    const int step = mode.columnStep();
    if (step < 2 || bottom <= top) {
        return;
    }
    // The band as drawn: from line 0 to the last line, and its shape.
    const int lastLine = (mode.width - 1) / step;
    const double right = lastLine * step + 1.0;
    const double bandAspect = right / (bottom - top);
    const double screenAspect = static_cast<double>(mode.width) / mode.height;
    // Columns as far apart as on a screen most of the photo wide are
    // joined; the bar and anything else narrower than three is cleared.
    const int join = std::max(3, (std::max(image.cols, image.rows) / 80) | 1);
    // Brightest channel against the darker of the darkest a few columns to
    // its left and to its right: thin lines in whatever colour the light
    // gave them, beside the bar too, and not the edge of something bright.
    std::vector<cv::Mat> bgr;
    cv::split(image, bgr);
    cv::Mat brightest;
    cv::max(bgr[0], bgr[1], brightest);
    cv::max(brightest, bgr[2], brightest);
    const cv::Mat side = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(join + 1, 1));
    cv::Mat leftOf;
    cv::Mat rightOf;
    cv::erode(brightest, leftOf, side, cv::Point(join, 0));
    cv::erode(brightest, rightOf, side, cv::Point(0, 0));
    cv::Mat around;
    cv::max(leftOf, rightOf, around);
    cv::Mat lift;
    cv::subtract(brightest, around, lift);  // saturates at 0
    constexpr int LINE_LIFT = 12;
    cv::Mat mask = lift > LINE_LIFT;
    cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(join, 1)));
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3 * join, 3)));
    for (const Region& region : solidRegions(mask, minArea)) {
        const std::vector<cv::Point>& contour = region.contour;
        const std::vector<cv::Point>& hull = region.hull;
        // Its sides are short and carried far, and its first line may be
        // cut short where it meets the picture's edge.
        const Quad band = quadOf(contour, hull, SideFit::CommonLine);
        // Shaped like the band, and unlike a whole screen (which the colour
        // outlines find).
        const double aspect = aspectOf(band);
        if (aspect < 0.8 * bandAspect || aspect > 1.25 * bandAspect ||
            (aspect > 0.85 * screenAspect && aspect < 1.15 * screenAspect)) {
            continue;
        }
        // Each side of the band carried on along itself to the screen's top
        // and bottom (a perspective fit to so flat a band would carry its
        // errors far), then the last line's column out to the right edge.
        const double up = top / static_cast<double>(bottom - top);
        const double down = (mode.height - bottom) / static_cast<double>(bottom - top);
        const double across = (mode.width - right) / right;
        Candidate candidate;
        const cv::Point2d topLeft = band[0] + (band[0] - band[3]) * up;
        const cv::Point2d bottomLeft = band[3] + (band[3] - band[0]) * down;
        const cv::Point2d topRight = band[1] + (band[1] - band[2]) * up;
        const cv::Point2d bottomRight = band[2] + (band[2] - band[1]) * down;
        candidate.outline = {topLeft, topRight + (topRight - topLeft) * across,
                             bottomRight + (bottomRight - bottomLeft) * across, bottomLeft};
        candidate.area = quadArea(candidate.outline);
        // An outline of the screen's own colour, where there is one, is
        // nearer its edge than one worked out from the band.
        candidate.edgeMiss = 256.0;
        candidate.fromGridBand = true;
        if (candidate.area >= minArea) {
            addCandidate(found, candidate);
        }
    }
}

}  // namespace

ReducedPhoto reducePhoto(const cv::Mat& photo)
{
    ReducedPhoto reduced;
    const int side = std::max(photo.cols, photo.rows);
    if (side <= REDUCED_SIDE) {
        reduced.image = photo;
        return reduced;
    }
    // Every n-th pixel: the search needs only the screens' colours and
    // outlines, and averaging a large photo would cost as much as reading it.
    const int factor = (side + REDUCED_SIDE - 1) / REDUCED_SIDE;
    const int rows = photo.rows / factor;
    const int cols = photo.cols / factor;
    if (rows < 1 || cols < 1) {
        // A strip thinner than the step: small enough as it is.
        reduced.image = photo;
        return reduced;
    }
    // A view of every n-th row, so that the rows skipped are never read, and
    // of whole steps across, so that reduced pixel x is photo pixel n x.
    const cv::Mat everyNthRow(rows, cols * factor, photo.type(), photo.data,
                              photo.step[0] * static_cast<size_t>(factor));
    cv::resize(everyNthRow, reduced.image, cv::Size(cols, rows), 0.0, 0.0, cv::INTER_NEAREST);
    reduced.scale = 1.0 / factor;
    return reduced;
}

Quad toPhotoPixels(const Quad& reducedOutline, const ReducedPhoto& reduced)
{
    // Reduced pixel i is photo pixel i/scale.
    return scaleQuad(reducedOutline, 1.0 / reduced.scale);
}

cv::Mat patternColourShare(const cv::Mat& image)
{
    std::vector<cv::Mat> bgr;
    cv::split(image, bgr);
    cv::Mat blueOrGreen;
    cv::max(bgr[0], bgr[1], blueOrGreen);
    cv::Mat excess;
    cv::subtract(blueOrGreen, bgr[2], excess);  // saturates at 0
    // As a share of the pixel's brightness, so that a dim or washed-out
    // projection counts as much as a bright monitor; too dark to tell is 0.
    cv::Mat share;
    cv::divide(excess, blueOrGreen, share, 255.0);
    share.setTo(0, blueOrGreen < MIN_BRIGHTNESS);
    return share;
}

std::vector<Quad> findScreenOutlines(const cv::Mat& image, const Mode* mode, std::vector<OutlineSource>* sources)
{
    const cv::Mat share = patternColourShare(image);
    // Close over the white lines and the red text, then drop specks.
    const int side = std::max(3, (std::max(image.cols, image.rows) / 150) | 1);
    const cv::Mat close = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(side, side));
    const cv::Mat open = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    const double minArea = MIN_AREA_SHARE * image.cols * image.rows;

    // Screens differ in how strongly coloured they look (a monitor's deep
    // blue, a projection washed out by room light), so several levels are
    // tried; the same screen found at two levels counts once, outlined at
    // the level nearest half its own colour, where its edge is.
    std::vector<Candidate> found;
    // Regions too small for a screen, kept as possible pieces of one.
    std::vector<Candidate> pieces;
    for (const double level : SHARE_LEVELS) {
        cv::Mat mask = share > level;
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, close);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, open);
        for (const Region& region : solidRegions(mask, minArea)) {
            const std::vector<cv::Point>& contour = region.contour;
            const std::vector<cv::Point>& hull = region.hull;
            const double area = region.area;
            const double hullArea = region.hullArea;
            Candidate candidate;
            candidate.outline = quadOf(contour, hull);
            candidate.area = hullArea;
            if (quadArea(candidate.outline) < MIN_QUAD_FILL * hullArea) {
                continue;
            }
            // A ring of the colour (a bezel's noise around a screen in
            // other colours) is no screen of it.
            const double interior = interiorShare(share, contour);
            if (interior < level) {
                continue;
            }
            candidate.edgeMiss = std::abs(level - 0.5 * interior);
            addCandidate(area < minArea ? &pieces : &found, candidate);
        }
    }
    // Pieces stacked into whole screens, kept beside the pieces themselves:
    // the grid and the bar say which shows the pattern.
    for (const Candidate& candidate : found) {
        pieces.push_back(candidate);
    }
    std::vector<Candidate> wholes;
    for (size_t i = 0; i < pieces.size(); ++i) {
        for (size_t j = 0; j < pieces.size(); ++j) {
            Candidate whole;
            if (i != j && stacked(pieces[i].outline, pieces[j].outline, &whole.outline)) {
                whole.area = quadArea(whole.outline);
                whole.edgeMiss = std::max(pieces[i].edgeMiss, pieces[j].edgeMiss);
                wholes.push_back(whole);
            }
        }
    }
    // A screen in three pieces or more joins pair by pair into several
    // outlines of it: only the tallest is its own.
    std::sort(wholes.begin(), wholes.end(), [](const Candidate& a, const Candidate& b) { return a.area > b.area; });
    std::vector<Candidate> tallest;
    for (const Candidate& whole : wholes) {
        const bool within = std::any_of(tallest.begin(), tallest.end(), [&whole](const Candidate& other) {
            const std::vector<cv::Point2f> polygon(other.outline.begin(), other.outline.end());
            return cv::pointPolygonTest(polygon, cv::Point2f(centreOf(whole.outline)), false) >= 0;
        });
        if (!within && whole.area >= minArea) {
            tallest.push_back(whole);
            addCandidate(&found, whole);
        }
    }
    if (mode != nullptr) {
        addGridBandOutlines(image, *mode, minArea, &found);
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) { return a.area > b.area; });
    std::vector<Quad> outlines;
    outlines.reserve(found.size());
    for (const Candidate& candidate : found) {
        outlines.push_back(candidate.outline);
        if (sources != nullptr) {
            const bool band = mode != nullptr && isBandOfRows(candidate.outline, *mode);
            sources->push_back(candidate.fromGridBand ? OutlineSource::GridBand
                               : band                 ? OutlineSource::LitBand
                                                      : OutlineSource::Colour);
        }
    }
    return outlines;
}

}  // namespace reader
