#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "reader/annotate.h"
#include "test_images.h"

using reader::PhotoReading;
using reader::Quad;
using reader::ScreenReading;

namespace {

const reader::Mode MODE{1024, 768, 60};
const cv::Scalar PHOTO_GREY(90, 90, 90);

// A screen seen at an angle in a 1200x800 photo, read as column 17 with
// all 60 grid lines found where the pattern draws them.
ScreenReading screenAt(const Quad& corners, int column)
{
    ScreenReading screen;
    screen.corners = corners;
    const std::vector<cv::Point2f> photo = {corners[0], corners[1], corners[2], corners[3]};
    const std::vector<cv::Point2f> pattern = {{0, 0}, {1024, 0}, {1024, 768}, {0, 768}};
    screen.toPattern = cv::Matx33d(cv::getPerspectiveTransform(photo, pattern));
    for (int k = 0; k < 60; ++k) {
        screen.gridLineX.push_back(1.0 + 17.0 * k);
        screen.gridLineNumber.push_back(k);
    }
    screen.column = column;
    return screen;
}

const Quad REFERENCE_CORNERS = {cv::Point2d(80, 150), cv::Point2d(560, 170), cv::Point2d(550, 560),
                                cv::Point2d(90, 540)};

cv::Point2d toPhoto(const ScreenReading& screen, double x, double y)
{
    std::vector<cv::Point2d> points = {{x, y}};
    cv::perspectiveTransform(points, points, cv::Matx33d(screen.toPattern.inv()));
    return points[0];
}

// Whether any pixel within two of the point shows the colour, at least
// half-covered: an anti-aliased one-pixel line blends into the grey.
bool colourNear(const cv::Mat& image, cv::Point2d point, const cv::Scalar& colour)
{
    const cv::Vec3d towards(colour[0] - PHOTO_GREY[0], colour[1] - PHOTO_GREY[1], colour[2] - PHOTO_GREY[2]);
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            const int x = static_cast<int>(std::lround(point.x)) + dx;
            const int y = static_cast<int>(std::lround(point.y)) + dy;
            if (x < 0 || y < 0 || x >= image.cols || y >= image.rows) {
                continue;
            }
            const cv::Vec3b p = image.at<cv::Vec3b>(y, x);
            const cv::Vec3d offset(p[0] - PHOTO_GREY[0], p[1] - PHOTO_GREY[1], p[2] - PHOTO_GREY[2]);
            const double cover = offset.dot(towards) / towards.dot(towards);
            if (cover >= 0.45 && cv::norm(offset - cover * towards) < 40.0) {
                return true;
            }
        }
    }
    return false;
}

int countColour(const cv::Mat& image, const cv::Scalar& colour)
{
    cv::Mat mask;
    cv::inRange(image, colour - cv::Scalar(20, 20, 20), colour + cv::Scalar(20, 20, 20), mask);
    return cv::countNonZero(mask);
}

const cv::Scalar REFERENCE(255, 191, 0);
const cv::Scalar DEVICE(0, 140, 255);
const cv::Scalar GRID(0, 255, 255);

}  // namespace

TEST(Annotate, DrawsTheScreenItsGridLinesAndItsBarColumnWhereTheyAreInThePhoto)
{
    cv::Mat photo(800, 1200, CV_8UC3, PHOTO_GREY);
    PhotoReading reading;
    reading.ok = true;
    reading.reference = screenAt(REFERENCE_CORNERS, 17);
    reading.lagFrames = 3;
    reading.lagMs = 50.0;
    reader::drawAnnotation(&photo, reading,
                           reader::ReadSettings{MODE, reader::Placement::Left, std::nullopt, std::nullopt});

    // Grid lines, mapped back through the screen's perspective: the middle
    // of line 40's band, and the ends of line 5's.
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 40, 384), GRID));
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 5, 260), GRID));
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 5, 508), GRID));
    // Not beyond the band.
    EXPECT_FALSE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 40, 150), GRID));
    // The bar's column, between lines 17 and 18, from the top: its right
    // edge above the band, where no grid line is drawn.
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 18, 120), REFERENCE));
    EXPECT_FALSE(colourNear(photo, toPhoto(reading.reference, 1 + 17 * 20, 120), REFERENCE));
    // The outline: middle of the bottom and right edges.
    EXPECT_TRUE(colourNear(photo, (REFERENCE_CORNERS[2] + REFERENCE_CORNERS[3]) * 0.5, REFERENCE));
    EXPECT_TRUE(colourNear(photo, (REFERENCE_CORNERS[1] + REFERENCE_CORNERS[2]) * 0.5, REFERENCE));
    // The device was not found: nothing of its colour.
    EXPECT_EQ(countColour(photo, DEVICE), 0);
    // The lag at the top left: white text on a dark box.
    EXPECT_GT(countColour(photo(cv::Rect(0, 0, 600, 60)), cv::Scalar(255, 255, 255)), 50);
    // The middle of the screen is left alone.
    EXPECT_EQ(photo.at<cv::Vec3b>(cv::Point(toPhoto(reading.reference, 1 + 17 * 30 + 8, 600))), cv::Vec3b(90, 90, 90));
}

TEST(Annotate, BothScreensInTheirOwnColours)
{
    cv::Mat photo(800, 1200, CV_8UC3, PHOTO_GREY);
    PhotoReading reading;
    reading.ok = true;
    reading.reference = screenAt(REFERENCE_CORNERS, 17);
    reading.device =
        screenAt({cv::Point2d(650, 160), cv::Point2d(1130, 150), cv::Point2d(1140, 560), cv::Point2d(640, 550)}, 14);
    reader::drawAnnotation(&photo, reading,
                           reader::ReadSettings{MODE, reader::Placement::Left, std::nullopt, std::nullopt});
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.device, 1 + 17 * 15, 120), DEVICE));
    EXPECT_TRUE(colourNear(photo, toPhoto(reading.device, 1 + 17 * 30, 384), GRID));
    EXPECT_GT(countColour(photo(cv::Rect(600, 0, 600, 800)), DEVICE), 500);
    EXPECT_EQ(countColour(photo(cv::Rect(600, 0, 600, 800)), REFERENCE), 0);
}

TEST(Annotate, AFailedReadingShowsItsErrorAndWhateverWasFound)
{
    cv::Mat photo(800, 1200, CV_8UC3, PHOTO_GREY);
    PhotoReading reading;
    reading.error = "found 1 screen showing the pattern, need 2";
    reading.reference = screenAt(REFERENCE_CORNERS, -1);
    reading.reference.gridLineX.clear();
    reading.reference.gridLineNumber.clear();
    reader::drawAnnotation(&photo, reading,
                           reader::ReadSettings{MODE, reader::Placement::Left, std::nullopt, std::nullopt});
    EXPECT_TRUE(colourNear(photo, (REFERENCE_CORNERS[2] + REFERENCE_CORNERS[3]) * 0.5, REFERENCE));
    EXPECT_GT(countColour(photo(cv::Rect(0, 0, 1200, 60)), cv::Scalar(80, 80, 255)), 50);
    EXPECT_EQ(countColour(photo, GRID), 0);
}

TEST(Annotate, SurvivesNonsenseGeometry)
{
    // Whatever a stage leaves behind, drawing must not crash or hang.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double huge = 1e300;
    for (const Quad& corners :
         {Quad{cv::Point2d(nan, 0), cv::Point2d(10, 0), cv::Point2d(10, 10), cv::Point2d(0, 10)},
          Quad{cv::Point2d(-huge, -huge), cv::Point2d(huge, -huge), cv::Point2d(huge, huge), cv::Point2d(-huge, huge)},
          Quad{cv::Point2d(0, 0), cv::Point2d(1e9, 1), cv::Point2d(1e9, 1e9), cv::Point2d(5, 1e9)}}) {
        cv::Mat photo(120, 160, CV_8UC3, PHOTO_GREY);
        PhotoReading reading;
        reading.ok = true;
        reading.reference.corners = corners;
        reading.reference.toPattern = cv::Matx33d::zeros();  // not invertible
        reading.reference.column = 70;                       // out of range
        reading.device.corners = corners;
        reading.device.gridLineX = {nan, huge, -huge};
        reading.device.gridLineNumber = {0, 1};  // fewer numbers than lines
        reading.device.column = 3;
        reading.device.secondColumn = -4;
        reading.warnings = {std::string(500, 'w')};
        reader::drawAnnotation(&photo, reading,
                               reader::ReadSettings{MODE, reader::Placement::Left, std::nullopt, std::nullopt});
        EXPECT_EQ(photo.size(), cv::Size(160, 120));
    }
    cv::Mat empty;
    reader::drawAnnotation(&empty, PhotoReading{}, reader::ReadSettings{});
    EXPECT_TRUE(empty.empty());
}

TEST(AnnotationPaths, OneDistinctPictureNamePerPhoto)
{
    const test_images::TempDir dir;
    const std::string out = dir.file("out");
    const std::vector<std::string> paths =
        reader::annotationPaths({"a/IMG_1.jpg", "b/IMG_1.jpg", "IMG_1.png", "c/shot.jpeg", "d/"}, out);
    EXPECT_EQ(paths, (std::vector<std::string>{out + "/IMG_1-annotated.jpg", out + "/IMG_1-annotated-2.jpg",
                                               out + "/IMG_1-annotated-3.jpg", out + "/shot-annotated.jpg",
                                               out + "/photo-annotated.jpg"}));
}

TEST(AnnotationPaths, NeverAPhotoItself)
{
    // Annotating into the photos' own folder, where an earlier run's
    // picture is now given as a photo too.
    const test_images::TempDir dir;
    test_images::writeFile(dir.file("x.jpg"), {1});
    test_images::writeFile(dir.file("x-annotated.jpg"), {2});
    const std::vector<std::string> photos = {dir.file("x.jpg"), dir.file("x-annotated.jpg")};
    const std::vector<std::string> paths = reader::annotationPaths(photos, dir.path() + "/./");
    ASSERT_EQ(paths.size(), 2U);
    for (const std::string& path : paths) {
        for (const std::string& photo : photos) {
            std::error_code error;
            EXPECT_FALSE(std::filesystem::equivalent(path, photo, error)) << path;
        }
    }
    EXPECT_EQ(std::filesystem::path(paths[0]).filename(), "x-annotated-2.jpg");
    EXPECT_EQ(std::filesystem::path(paths[1]).filename(), "x-annotated-annotated.jpg");
}

TEST(AnnotationFiles, DirectoryIsMadeAndJpegWritten)
{
    const test_images::TempDir dir;
    EXPECT_EQ(reader::prepareAnnotationDir(dir.file("new/deeper")), "");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("new/deeper")));
    EXPECT_EQ(reader::prepareAnnotationDir(dir.file("new/deeper")), "");  // already there

    test_images::writeFile(dir.file("plain-file"), {1});
    EXPECT_NE(reader::prepareAnnotationDir(dir.file("plain-file")), "");
    EXPECT_NE(reader::prepareAnnotationDir(dir.file("plain-file/below")), "");

    const cv::Mat picture = test_images::noise(64, 48, 9);
    const std::string path = dir.file("new/deeper/p-annotated.jpg");
    ASSERT_EQ(reader::writeJpeg(picture, path), "");
    const cv::Mat back = cv::imread(path);
    EXPECT_EQ(back.size(), picture.size());
    const std::vector<unsigned char> bytes = test_images::readFile(path);
    ASSERT_GE(bytes.size(), 3U);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);

    const std::string error = reader::writeJpeg(picture, dir.file("missing/p.jpg"));
    EXPECT_NE(error.find("missing/p.jpg"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing/p.jpg")));
}
