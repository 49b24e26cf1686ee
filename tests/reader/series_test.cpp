// What the series tells of each screen, on drawn readings: the kind of its
// light, the device's scan-out, and why a photo missing a screen missed it.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "reader/series.h"

namespace {

using reader::Light;
using reader::PhotoReading;
using Split = reader::ScanObservation::Split;

constexpr int HEIGHT = 1080;
const reader::Mode MODE{1920, HEIGHT, 144};

reader::Quad square(double x)
{
    return {cv::Point2d(x, 100), cv::Point2d(x + 400, 100), cv::Point2d(x + 400, 400), cv::Point2d(x, 400)};
}

// A photo read: the reference's clock sharp, the device's newest frame and
// what its rows showed.
PhotoReading photo(double referenceClock, int deviceNewest, Split split, double splitRow = 0.0)
{
    PhotoReading reading;
    reading.ok = true;
    reading.exposureMs = 2.0;
    reading.reference.corners = square(0);
    reading.reference.clock = referenceClock;
    reading.reference.coarse = false;
    reading.reference.scan.split = Split::Found;
    reading.device.corners = square(600);
    reading.device.column = deviceNewest;
    reading.device.scan.newestColumn = deviceNewest;
    reading.device.scan.split = split;
    reading.device.scan.splitRow = splitRow;
    reading.device.coarse = split != Split::Found;
    return reading;
}

PhotoReading onlyReferenceSeen()
{
    PhotoReading reading;
    reading.error = "found 1 screen showing the pattern, need 2";
    reading.onlyScreen = square(5);
    return reading;
}

reader::SeriesFindings describe(const std::vector<PhotoReading>& photos)
{
    std::vector<const PhotoReading*> readings;
    readings.reserve(photos.size());
    for (const PhotoReading& reading : photos) {
        readings.push_back(&reading);
    }
    reader::ReadSettings settings;
    settings.mode = MODE;
    return reader::describeScreens(readings, settings);
}

TEST(Series, TheDeviceScanOutIsTheSlopeOfItsClockAgainstItsSplitRow)
{
    // A device 1.8 frames behind that scans out in half a frame.
    std::vector<PhotoReading> photos;
    for (const double phase : {0.05, 0.12, 0.2, 0.27, 0.33}) {
        const double deviceClock = 20.0 + phase;
        photos.push_back(photo(deviceClock + 1.8, 20, Split::Found, phase / 0.5 * HEIGHT));
    }
    const reader::SeriesFindings found = describe(photos);
    EXPECT_EQ(found.screens[1].light.kind, Light::Scanning);
    EXPECT_NEAR(found.screens[1].light.scanShare, 0.5, 1e-6);
    ASSERT_TRUE(found.screens[1].scanOutMs.has_value());
    EXPECT_NEAR(*found.screens[1].scanOutMs, 0.5 * 1000.0 / 144, 1e-3);
    const reader::LagDownTheScreen down = reader::lagDownTheScreen(10.0, found);
    ASSERT_TRUE(down.bottom.has_value());
    EXPECT_NEAR(*down.bottom, 10.0 + (0.5 - reader::SIGNAL_SCAN_SHARE) * 1000.0 / 144, 1e-3);
}

TEST(Series, AScreenThatNeverSplitsChangesEveryRowAtOnceOrStrobesOnlyWhenTheMomentsVary)
{
    std::vector<PhotoReading> spread;
    std::vector<PhotoReading> locked;
    for (int i = 0; i < 10; ++i) {
        spread.push_back(photo(30.0 + 0.1 * i, 28, Split::AllNew));
        locked.push_back(photo(30.3, 28, Split::AllNew));
    }
    EXPECT_EQ(describe(spread).screens[1].light.kind, Light::AllRows);
    // A video locked to the display's rate: the split may only have been
    // below the rows read each time.
    EXPECT_EQ(describe(locked).screens[1].light.kind, Light::Scanning);

    // Dark in some photos where the reference was found: a strobe.
    spread.push_back(onlyReferenceSeen());
    spread.push_back(onlyReferenceSeen());
    const reader::SeriesFindings strobed = describe(spread);
    EXPECT_EQ(strobed.screens[1].light.kind, Light::Strobed);
    EXPECT_EQ(strobed.screens[1].darkPhotos, 2);
    EXPECT_EQ(strobed.screens[1].scanOutMs, 0.0);
    reader::ReadSettings settings;
    settings.mode = MODE;
    PhotoReading refused = spread.back();
    reader::readAgain(&refused, strobed, reader::withFindings(settings, strobed));
    EXPECT_EQ(refused.error.rfind("the device screen is dark in this photo: its backlight strobes", 0), 0U)
        << refused.error;
    EXPECT_NE(refused.error.find("expose for at least one frame (1/144 s at 144 Hz)"), std::string::npos)
        << refused.error;
}

TEST(Series, AScreenShowingEveryRowAtOnceLagsWhereItsPhotosRangesOfLagsMeet)
{
    // The device shows every row at once, `lag` frames behind the
    // reference, whose clock its split row tells.
    const auto caught = [](double lag, double phase) {
        const double referenceClock = 40.0 + phase;
        PhotoReading reading = photo(referenceClock, static_cast<int>(std::floor(referenceClock - lag)), Split::AllNew);
        reading.reference.scan.newestColumn = 40;
        reading.reference.scan.splitRow = phase / reader::SIGNAL_SCAN_SHARE * HEIGHT;
        reading.reference.scan.endRow = HEIGHT;
        return reading;
    };
    std::vector<PhotoReading> photos;
    std::vector<PhotoReading> changed;
    for (int i = 0; i < 12; ++i) {
        photos.push_back(caught(2.3, 0.05 + 0.075 * i));
        changed.push_back(caught(i < 7 ? 2.3 : 3.8, 0.05 + 0.075 * i));
    }
    // One misread: its device a frame on.
    photos.back().device.column += 1;
    photos.back().device.scan.newestColumn += 1;
    const reader::SeriesFindings found = describe(photos);
    ASSERT_EQ(found.screens[1].light.kind, Light::AllRows);
    ASSERT_TRUE(found.agreedLagFrames.has_value());
    EXPECT_NEAR(*found.agreedLagFrames, 2.3, 0.1);
    reader::ReadSettings settings;
    settings.mode = MODE;
    PhotoReading fits = photos.front();
    reader::readAgain(&fits, found, reader::withFindings(settings, found));
    EXPECT_NEAR(fits.subFrameLagFrames, *found.agreedLagFrames, 1e-9);
    EXPECT_FALSE(fits.device.coarse);
    // The misread keeps what it showed alone, and says so.
    PhotoReading misread = photos.back();
    reader::readAgain(&misread, found, reader::withFindings(settings, found));
    EXPECT_TRUE(misread.coarse);
    ASSERT_EQ(misread.warnings.size(), 1U);
    EXPECT_NE(misread.warnings[0].find("does not fit the lag"), std::string::npos) << misread.warnings[0];
    // A lag that changed by more than a frame, five photos in twelve: no
    // one lag.
    EXPECT_FALSE(describe(changed).agreedLagFrames.has_value());
}

TEST(Series, OnlyABandOfLitRowsIsABeamsFlash)
{
    std::vector<PhotoReading> photos;
    for (int i = 0; i < 6; ++i) {
        photos.push_back(photo(30.0 + 0.15 * i, 28, Split::Found, 300.0));
        photos.back().reference.scan.split = Split::None;
        photos.back().reference.scan.litStart = 100.0 + 50 * i;
        photos.back().reference.scan.litEnd = 400.0 + 50 * i;
    }
    const reader::SeriesFindings found = describe(photos);
    EXPECT_EQ(found.screens[0].light.kind, Light::Impulse);
    EXPECT_EQ(found.screens[1].light.kind, Light::Scanning);
    // Taller than the rows a beam passes in 2 ms and their glow: the lit
    // stretch between a PWM backlight's dark bands, under a rolling shutter.
    for (PhotoReading& reading : photos) {
        reading.reference.scan.litEnd = *reading.reference.scan.litStart + 0.7 * HEIGHT;
    }
    EXPECT_NE(describe(photos).screens[0].light.kind, Light::Impulse);
}

}  // namespace
