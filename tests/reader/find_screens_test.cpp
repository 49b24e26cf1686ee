#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>

#include "drawn_pattern.h"
#include "reader/find_screens.h"
#include "reader/read_photo.h"
#include "reader/rectify.h"

namespace {

const reader::Mode MODE_1024{1024, 768, 60};

reader::ReadSettings settings(reader::Placement reference)
{
    reader::ReadSettings read;
    read.mode = MODE_1024;
    read.reference = reference;
    return read;
}

// A room: a beige wall with a blue disc and a green box, the two screens
// (each with a dark bezel) where the quads say, a little blur and noise.
cv::Mat roomPhoto(const std::array<reader::Quad, 2>& screens, const std::array<int, 2>& columns, cv::Size size,
                  unsigned noiseSeed = 1)
{
    cv::Mat photo(size, CV_8UC3, cv::Scalar(120, 140, 160));
    cv::circle(photo, {size.width / 8, size.height * 7 / 8}, size.height / 12, cv::Scalar(200, 60, 30), cv::FILLED);
    cv::rectangle(photo, cv::Rect(size.width * 3 / 4, size.height * 4 / 5, size.width / 6, size.height / 8),
                  cv::Scalar(40, 180, 40), cv::FILLED);
    for (size_t i = 0; i < 2; ++i) {
        const reader::Quad& q = screens[i];
        const cv::Point2d centre = (q[0] + q[1] + q[2] + q[3]) * 0.25;
        std::vector<cv::Point> bezel;
        for (const cv::Point2d& corner : q) {
            bezel.emplace_back(centre + (corner - centre) * 1.05);
        }
        cv::fillConvexPoly(photo, bezel, cv::Scalar(25, 25, 25));
        const cv::Mat pattern = drawnPattern(MODE_1024, columns[i]);
        // Pattern coordinates to photo pixels.
        const cv::Matx33d toPhoto = reader::patternHomography(q, MODE_1024).inv();
        const cv::Matx33d fromPixels(1.0, 0.0, 0.5, 0.0, 1.0, 0.5, 0.0, 0.0, 1.0);
        cv::warpPerspective(pattern, photo, toPhoto * fromPixels, size, cv::INTER_AREA, cv::BORDER_TRANSPARENT);
    }
    cv::GaussianBlur(photo, photo, cv::Size(0, 0), 1.0);
    cv::Mat noise(size, CV_16SC3);
    // Its own generator: the same photo whichever tests ran before.
    cv::RNG random(noiseSeed);
    random.fill(noise, cv::RNG::NORMAL, 0, 4);
    cv::Mat noisy;
    photo.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(photo, CV_8UC3);
    return photo;
}

const std::array<reader::Quad, 2> SIDE_BY_SIDE = {
    reader::Quad{cv::Point2d(100, 300), {880, 330}, {870, 900}, {90, 920}},
    reader::Quad{cv::Point2d(1000, 280), {1900, 260}, {1910, 930}, {990, 950}}};

double cornerError(const reader::Quad& found, const reader::Quad& truth)
{
    double worst = 0.0;
    for (size_t i = 0; i < 4; ++i) {
        worst = std::max(worst, std::hypot(found[i].x - truth[i].x, found[i].y - truth[i].y));
    }
    return worst;
}

}  // namespace

TEST(FindScreens, OutlinesBothScreensAndNothingElseInTheRoom)
{
    const cv::Mat photo = roomPhoto(SIDE_BY_SIDE, {17, 14}, cv::Size(2000, 1400));
    const reader::ReducedPhoto reduced = reader::reducePhoto(photo);
    EXPECT_LE(std::max(reduced.image.cols, reduced.image.rows), 1024);
    const std::vector<reader::Quad> outlines = reader::findScreenOutlines(reduced.image);
    // The green box is coloured like the bar and four-sided, so it may be a
    // candidate; the disc is not four-sided.
    ASSERT_GE(outlines.size(), 2U);
    ASSERT_LE(outlines.size(), 3U);
    const reader::Quad larger = reader::toPhotoPixels(outlines[0], reduced);
    const reader::Quad smaller = reader::toPhotoPixels(outlines[1], reduced);
    // Within a few photo pixels, corner for corner, top-left first.
    EXPECT_LT(cornerError(larger, SIDE_BY_SIDE[1]), 6.0);
    EXPECT_LT(cornerError(smaller, SIDE_BY_SIDE[0]), 6.0);
}

TEST(ReadPhoto, OutlinesAScreenByItsOwnSidesUnderDarkBandsAndBesideThingsOfItsColour)
{
    // Whatever the camera's noise.
    for (unsigned seed = 1; seed <= 4; ++seed) {
        cv::Mat photo = roomPhoto(SIDE_BY_SIDE, {17, 14}, cv::Size(2000, 1400), seed);
        // A blue poster touching the reference's bottom-right corner.
        cv::rectangle(photo, cv::Rect(830, 860, 110, 150), cv::Scalar(150, 60, 50), cv::FILLED);
        // Dark bands across the device, as a flickering backlight under a
        // rolling shutter leaves them: one above the grid, one across it,
        // each lit piece a seventh of the screen or more.
        for (const int top : {380, 560}) {
            photo(cv::Rect(980, top, 940, 90)) *= 0.04;
        }
        const reader::PhotoReading reading = reader::readPhoto(photo, settings(reader::Placement::Left));
        ASSERT_TRUE(reading.ok) << reading.error;
        EXPECT_EQ(reading.reference.column, 17);
        EXPECT_EQ(reading.device.column, 14);
        EXPECT_LT(cornerError(reading.reference.corners, SIDE_BY_SIDE[0]), 6.0) << "noise " << seed;
        EXPECT_LT(cornerError(reading.device.corners, SIDE_BY_SIDE[1]), 6.0) << "noise " << seed;
    }
}

TEST(ReadPhoto, ReadsAScreenCaughtOnlyInTheRedAndGreenOfAColourWheel)
{
    // A projection whose exposure missed the wheel's blue, on a lit wall:
    // the background the wall's grey, the lines yellow, the bar green.
    cv::Mat photo = roomPhoto(SIDE_BY_SIDE, {17, 14}, cv::Size(2000, 1400));
    cv::Mat screen(photo.size(), CV_8UC1, cv::Scalar(0));
    std::vector<cv::Point> corners;
    for (const cv::Point2d& corner : SIDE_BY_SIDE[1]) {
        corners.emplace_back(corner);
    }
    cv::fillConvexPoly(screen, corners, cv::Scalar(255));
    cv::Mat redAndGreen = photo.clone();
    cv::Mat blue;
    cv::extractChannel(redAndGreen, blue, 0);
    blue.setTo(0);
    cv::insertChannel(blue, redAndGreen, 0);
    cv::add(redAndGreen, cv::Scalar::all(70), redAndGreen);
    redAndGreen.copyTo(photo, screen);
    const reader::PhotoReading reading = reader::readPhoto(photo, settings(reader::Placement::Left));
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.device.column, 14);
    EXPECT_LT(cornerError(reading.device.corners, SIDE_BY_SIDE[1]), 6.0);
}

TEST(FindScreens, TheReducedCopyIsEveryNthPixelWhateverTheSize)
{
    // 4003 x 2001 is no multiple of the step (4): reduced pixel (x, y) must
    // still be photo pixel (4x, 4y), or the outlines drift across the photo.
    cv::Mat photo(2001, 4003, CV_8UC3);
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            photo.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<uchar>(x % 256), static_cast<uchar>(x / 256), static_cast<uchar>(y % 256));
        }
    }
    const reader::ReducedPhoto reduced = reader::reducePhoto(photo);
    ASSERT_DOUBLE_EQ(reduced.scale, 0.25);
    ASSERT_EQ(reduced.image.size(), cv::Size(1000, 500));
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(999, 0), cv::Point(500, 250), cv::Point(999, 499)}) {
        EXPECT_EQ(reduced.image.at<cv::Vec3b>(p), photo.at<cv::Vec3b>(p * 4)) << p;
    }
    // A strip thinner than the step is kept as it is.
    EXPECT_EQ(reader::reducePhoto(cv::Mat(2, 3000, CV_8UC3, cv::Scalar::all(0))).image.size(), cv::Size(3000, 2));
}

TEST(ReadPhoto, ReadsBothScreensAndTheLag)
{
    const cv::Mat photo = roomPhoto(SIDE_BY_SIDE, {17, 14}, cv::Size(2000, 1400));
    reader::PhotoReading reading = reader::readPhoto(photo, settings(reader::Placement::Left));
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.reference.column, 17);
    EXPECT_EQ(reading.device.column, 14);
    EXPECT_EQ(reading.lagFrames, 3);
    EXPECT_DOUBLE_EQ(reading.lagMs, 50.0);
    EXPECT_TRUE(reading.warnings.empty());
    EXPECT_LT(cornerError(reading.reference.corners, SIDE_BY_SIDE[0]), 6.0);

    // The same photo with the reference on the right: the device is ahead.
    reading = reader::readPhoto(photo, settings(reader::Placement::Right));
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.lagFrames, -3);
}

TEST(ReadPhoto, ReadsStackedScreens)
{
    const std::array<reader::Quad, 2> stacked = {
        reader::Quad{cv::Point2d(300, 60), {1100, 80}, {1090, 640}, {290, 650}},
        reader::Quad{cv::Point2d(310, 760), {1120, 740}, {1130, 1340}, {300, 1350}}};
    const cv::Mat photo = roomPhoto(stacked, {2, 58}, cv::Size(1600, 1400));
    const reader::PhotoReading reading = reader::readPhoto(photo, settings(reader::Placement::Top));
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.lagFrames, 4);
}

TEST(ReadPhoto, SaysHowManyScreensItFound)
{
    const cv::Mat room(1200, 1600, CV_8UC3, cv::Scalar(120, 140, 160));
    reader::PhotoReading reading = reader::readPhoto(room, settings(reader::Placement::Left));
    EXPECT_FALSE(reading.ok);
    EXPECT_EQ(reading.error, "found 0 screens showing the pattern, need 2");

    cv::Mat one = roomPhoto(SIDE_BY_SIDE, {17, 14}, cv::Size(2000, 1400));
    one(cv::Rect(960, 0, 1040, 1400)).setTo(cv::Scalar(120, 140, 160));
    reading = reader::readPhoto(one, settings(reader::Placement::Left));
    EXPECT_FALSE(reading.ok);
    // Nothing else coloured like the pattern: the other screen was dark for
    // the exposure, or is not in the photo.
    EXPECT_EQ(reading.error.rfind("found 1 screen showing the pattern, need 2; the device screen", 0), 0U)
        << reading.error;
    EXPECT_NE(reading.error.find("expose for at least one frame (1/60 s at 60 Hz)"), std::string::npos)
        << reading.error;

    EXPECT_FALSE(reader::readPhoto(cv::Mat(), settings(reader::Placement::Left)).ok);
}

TEST(ReadPhoto, TriesTheScreensOfThePreviousFrameFirstAndSearchesWhenTheyMoved)
{
    const cv::Mat photo = roomPhoto(SIDE_BY_SIDE, {40, 38}, cv::Size(2000, 1400));
    const reader::PhotoReading first = reader::readPhoto(photo, settings(reader::Placement::Left));
    ASSERT_TRUE(first.ok) << first.error;
    const reader::KnownScreens known{{first.reference.corners, first.device.corners}};
    const reader::PhotoReading tracked = reader::readPhoto(photo, settings(reader::Placement::Left), &known);
    ASSERT_TRUE(tracked.ok) << tracked.error;
    EXPECT_EQ(tracked.lagFrames, 2);
    EXPECT_EQ(cornerError(tracked.reference.corners, first.reference.corners), 0.0);

    // Outlines over the bare wall: the screens are searched for again.
    const reader::Quad wall{cv::Point2d(10, 10), {300, 10}, {300, 200}, {10, 200}};
    reader::KnownScreens stale{{wall, wall}, false};
    // Unless only the parts around them were decoded.
    const reader::PhotoReading lost = reader::readPhoto(photo, settings(reader::Placement::Left), &stale);
    EXPECT_TRUE(!lost.ok && lost.screensLost);
    stale.searchWhenLost = true;
    const reader::PhotoReading searched = reader::readPhoto(photo, settings(reader::Placement::Left), &stale);
    ASSERT_TRUE(searched.ok) << searched.error;
    EXPECT_EQ(searched.lagFrames, 2);
    EXPECT_LT(cornerError(searched.reference.corners, SIDE_BY_SIDE[0]), 6.0);
}
