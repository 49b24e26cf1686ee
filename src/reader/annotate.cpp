#include "reader/annotate.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "reader/file_output.h"

namespace reader {

namespace {

namespace fs = std::filesystem;

const cv::Scalar REFERENCE_COLOUR(255, 191, 0);  // BGR: azure
const cv::Scalar DEVICE_COLOUR(0, 140, 255);     // orange
const cv::Scalar GRID_COLOUR(0, 255, 255);       // yellow
const cv::Scalar TEXT_COLOUR(255, 255, 255);
const cv::Scalar ERROR_COLOUR(80, 80, 255);
const cv::Scalar WARNING_COLOUR(0, 230, 255);
const cv::Scalar BACKDROP_COLOUR(0, 0, 0);
constexpr int FONT = cv::FONT_HERSHEY_SIMPLEX;

// Line widths and text sizes that read the same on a phone's 12 MP photo
// and on a small test picture.
struct Pen {
    int thick = 1;
    int thin = 1;
    double fontScale = 0.5;
    int fontThickness = 1;
};

Pen penFor(const cv::Mat& photo)
{
    const double scale = std::max(photo.cols, photo.rows) / 1000.0;
    Pen pen;
    pen.thick = std::max(1, static_cast<int>(std::lround(3.0 * scale)));
    pen.thin = std::max(1, static_cast<int>(std::lround(0.5 * scale)));
    pen.fontScale = std::max(0.4, 0.9 * scale);
    pen.fontThickness = std::max(1, static_cast<int>(std::lround(2.0 * scale)));
    return pen;
}

// A screen that was not found has all corners at the origin; one whose
// corners are far outside the photo, or not numbers, is nothing to draw.
bool isDrawable(const Quad& quad, const cv::Size& photoSize)
{
    const double limit = 10.0 * std::max(photoSize.width, photoSize.height);
    double twiceArea = 0.0;
    for (std::size_t i = 0; i < quad.size(); ++i) {
        const cv::Point2d& a = quad[i];
        const cv::Point2d& b = quad[(i + 1) % quad.size()];
        if (!(std::abs(a.x) < limit && std::abs(a.y) < limit)) {
            return false;
        }
        twiceArea += a.x * b.y - b.x * a.y;
    }
    return std::abs(twiceArea) > 2.0;
}

cv::Point toPixel(const cv::Point2d& point)
{
    return {cv::saturate_cast<int>(point.x), cv::saturate_cast<int>(point.y)};
}

// Maps pattern pixels back into the photo through the inverse of toPattern.
class PatternToPhoto {
public:
    PatternToPhoto(const ScreenReading& screen, const cv::Size& photoSize)
        : limit(10.0 * std::max(photoSize.width, photoSize.height))
    {
        bool invertible = false;
        inverse = screen.toPattern.inv(cv::DECOMP_LU, &invertible);
        valid = invertible;
    }

    // Nothing for points at or beyond the horizon, or absurdly far off.
    std::optional<cv::Point2d> operator()(double x, double y) const
    {
        if (!valid) {
            return std::nullopt;
        }
        const cv::Vec3d p = inverse * cv::Vec3d(x, y, 1.0);
        if (!(std::abs(p[2]) > 1e-12)) {
            return std::nullopt;
        }
        const cv::Point2d point(p[0] / p[2], p[1] / p[2]);
        if (!(std::abs(point.x) < limit && std::abs(point.y) < limit)) {
            return std::nullopt;
        }
        return point;
    }

private:
    cv::Matx33d inverse;
    bool valid = false;
    double limit;
};

// The x of grid line k in the pattern: as found, else from a straight-line
// fit of the lines found (overscan shifts and scales them alike), else
// where the pattern draws it.
double gridLineX(const ScreenReading& screen, int k, const Mode& mode)
{
    const std::size_t count = std::min(screen.gridLineX.size(), screen.gridLineNumber.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (screen.gridLineNumber[i] == k) {
            return screen.gridLineX[i];
        }
    }
    if (count >= 2) {
        double sn = 0.0;
        double sx = 0.0;
        double snn = 0.0;
        double snx = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double n = screen.gridLineNumber[i];
            sn += n;
            sx += screen.gridLineX[i];
            snn += n * n;
            snx += n * screen.gridLineX[i];
        }
        const auto c = static_cast<double>(count);
        const double denominator = c * snn - sn * sn;
        if (std::abs(denominator) > 1e-9) {
            const double slope = (c * snx - sn * sx) / denominator;
            return (sx - slope * sn) / c + slope * k;
        }
    }
    return 1.0 + static_cast<double>(k) * mode.columnStep();
}

// Text on a dark box so it reads on any photo; shrunk to fit the width.
void label(cv::Mat* photo, const std::string& text, cv::Point origin, const cv::Scalar& colour, const Pen& pen)
{
    double scale = pen.fontScale;
    int baseline = 0;
    cv::Size size = cv::getTextSize(text, FONT, scale, pen.fontThickness, &baseline);
    const int room = photo->cols - 4;
    if (size.width > room && size.width > 0) {
        scale *= static_cast<double>(room) / size.width;
        size = cv::getTextSize(text, FONT, scale, pen.fontThickness, &baseline);
    }
    origin.x = std::clamp(origin.x, 2, std::max(2, photo->cols - size.width - 2));
    origin.y = std::clamp(origin.y, size.height + 2, std::max(size.height + 2, photo->rows - baseline - 2));
    const cv::Rect box(origin.x - 2, origin.y - size.height - 2, size.width + 4, size.height + baseline + 4);
    cv::rectangle(*photo, box, BACKDROP_COLOUR, cv::FILLED);
    cv::putText(*photo, text, origin, FONT, scale, colour, pen.fontThickness, cv::LINE_AA);
}

void outline(cv::Mat* photo, const std::vector<std::optional<cv::Point2d>>& corners, const cv::Scalar& colour,
             int thickness)
{
    std::vector<cv::Point> points;
    for (const std::optional<cv::Point2d>& corner : corners) {
        if (!corner) {
            return;
        }
        points.push_back(toPixel(*corner));
    }
    cv::polylines(*photo, points, true, colour, thickness, cv::LINE_AA);
}

void drawScreen(cv::Mat* photo, const ScreenReading& screen, const std::string& name, const cv::Scalar& colour,
                const ReadSettings& settings, const Pen& pen)
{
    if (!isDrawable(screen.corners, photo->size())) {
        return;
    }
    const Mode& mode = settings.mode;
    const PatternToPhoto toPhoto(screen, photo->size());

    const double bandTop = GRID_MARGIN;
    const double bandBottom = mode.height - GRID_MARGIN;
    if (bandBottom > bandTop) {
        const std::size_t count = std::min(screen.gridLineX.size(), screen.gridLineNumber.size());
        for (std::size_t i = 0; i < count; ++i) {
            const std::optional<cv::Point2d> top = toPhoto(screen.gridLineX[i], bandTop);
            const std::optional<cv::Point2d> bottom = toPhoto(screen.gridLineX[i], bandBottom);
            if (top && bottom) {
                cv::line(*photo, toPixel(*top), toPixel(*bottom), GRID_COLOUR, pen.thin, cv::LINE_AA);
                // Every tenth line numbered below the band, to count by.
                if (screen.gridLineNumber[i] % 10 == 0) {
                    Pen small = pen;
                    small.fontScale *= 0.6;
                    label(photo, std::to_string(screen.gridLineNumber[i]),
                          toPixel(*bottom) + cv::Point(0, 3 * pen.thick + 10), GRID_COLOUR, small);
                }
            }
        }
    }

    for (const std::optional<int>& column : {std::optional<int>(screen.column), screen.secondColumn}) {
        if (!column || *column < 0 || *column >= COLUMN_COUNT) {
            continue;
        }
        const double left = gridLineX(screen, *column, mode);
        const double right = gridLineX(screen, *column + 1, mode);
        const double top = BAR_TOP;
        const double bottom = std::min(BAR_BOTTOM, mode.height - 1);
        const bool primary = *column == screen.column;
        outline(photo, {toPhoto(left, top), toPhoto(right, top), toPhoto(right, bottom), toPhoto(left, bottom)}, colour,
                primary ? pen.thick : pen.thin);
    }

    std::vector<cv::Point> corners;
    for (const cv::Point2d& corner : screen.corners) {
        corners.push_back(toPixel(corner));
    }
    cv::polylines(*photo, corners, true, colour, pen.thick, cv::LINE_AA);

    std::string text = name;
    if (screen.column >= 0) {
        text += ": column " + std::to_string(screen.column);
    }
    const cv::Point topLeft = toPixel(screen.corners[0]);
    label(photo, text, cv::Point(topLeft.x, topLeft.y - 2 * pen.thick), colour, pen);
}

}  // namespace

void drawAnnotation(cv::Mat* photo, const PhotoReading& reading, const ReadSettings& settings)
{
    if (photo->empty()) {
        return;
    }
    const Pen pen = penFor(*photo);
    drawScreen(photo, reading.reference, "reference", REFERENCE_COLOUR, settings, pen);
    drawScreen(photo, reading.device, "device", DEVICE_COLOUR, settings, pen);

    int baseline = 0;
    const int lineHeight = cv::getTextSize("Ag", FONT, pen.fontScale, pen.fontThickness, &baseline).height * 2;
    cv::Point origin(lineHeight / 2, lineHeight);
    if (reading.ok) {
        // The same figures as the report: the sub-frame lag, then the columns'.
        char text[160];
        (void)std::snprintf(text, sizeof text, "lag %.2f frames = %.1f ms%s (columns: %d = %.1f ms)",
                            reading.subFrameLagFrames, reading.subFrameLagMs, reading.coarse ? ", coarse" : "",
                            reading.lagFrames, reading.lagMs);
        label(photo, text, origin, TEXT_COLOUR, pen);
    } else {
        label(photo, "error: " + (reading.error.empty() ? std::string("not read") : reading.error), origin,
              ERROR_COLOUR, pen);
    }
    for (const std::string& warning : reading.warnings) {
        origin.y += lineHeight;
        label(photo, "warning: " + warning, origin, WARNING_COLOUR, pen);
    }
}

std::string canonicalPath(const std::string& path)
{
    std::error_code error;
    const fs::path result = fs::weakly_canonical(path, error);
    return error ? fs::path(path).lexically_normal().string() : result.string();
}

std::vector<std::string> annotationPaths(const std::vector<std::string>& photos, const std::string& dir)
{
    std::set<std::string> inputs;
    for (const std::string& photo : photos) {
        inputs.insert(canonicalPath(photo));
    }
    std::set<std::string> taken;
    std::vector<std::string> paths;
    paths.reserve(photos.size());
    for (const std::string& photo : photos) {
        std::string stem = fs::path(photo).stem().string();
        if (stem.empty() || stem == "." || stem == "..") {
            stem = "photo";
        }
        for (int n = 1;; ++n) {
            const fs::path candidate =
                fs::path(dir) / (stem + "-annotated" + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".jpg");
            const std::string key = canonicalPath(candidate.string());
            if (taken.count(key) == 0 && inputs.count(key) == 0) {
                taken.insert(key);
                paths.push_back(candidate.string());
                break;
            }
        }
    }
    return paths;
}

std::string prepareAnnotationDir(const std::string& dir)
{
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        return "cannot create the directory '" + dir + "': " + error.message();
    }
    if (!fs::is_directory(dir, error)) {
        return "'" + dir + "' is not a directory";
    }
    return {};
}

std::string writeJpeg(const cv::Mat& image, const std::string& path)
{
    std::vector<unsigned char> bytes;
    try {
        if (!cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90})) {
            return "cannot encode the annotated picture";
        }
    } catch (const cv::Exception& e) {
        return "cannot encode the annotated picture: " + e.err;
    }
    const std::string error = writeFileBytes(path, bytes.data(), bytes.size());
    return error.empty() ? error : "cannot write '" + path + "': " + error;
}

}  // namespace reader
