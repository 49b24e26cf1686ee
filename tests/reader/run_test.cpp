#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "reader/in_order.h"
#include "reader/run.h"
#include "run_harness.h"
#include "test_images.h"

using json = nlohmann::ordered_json;
using reader::PhotoReading;
using reader::ReadSettings;

namespace {

// Stand-in for the vision stages: the lag in columns is the photo's width
// less 100, so a test chooses each photo's reading by its size; the
// sub-frame reading half a frame more.
PhotoReading readByWidth(const cv::Mat& photo, const ReadSettings& settings, Known /*known*/)
{
    PhotoReading reading;
    reading.ok = true;
    reading.lagFrames = photo.cols - 100;
    reading.lagMs = reading.lagFrames * 1000.0 / settings.mode.rate;
    reading.subFrameLagFrames = reading.lagFrames + 0.5;
    reading.subFrameLagMs = reading.subFrameLagFrames * 1000.0 / settings.mode.rate;
    reading.coarse = false;
    reading.reference.column = 20;
    reading.device.column = 20 - reading.lagFrames;
    return reading;
}

PhotoReading failToRead(const cv::Mat& /*photo*/, const ReadSettings& /*settings*/, Known /*known*/)
{
    PhotoReading reading;
    reading.error = "found 1 screen showing the pattern, need 2";
    return reading;
}

}  // namespace

// The ordering itself is the stream's (StreamInOrder); here, what running
// a known number of items adds: each index once, none past the count, a
// window of none, and a failure in the work or in the delivery.
TEST(RunInOrder, RunsEachIndexOnceInOrderAndStopsAtAFailure)
{
    const auto run = [](std::size_t count, std::size_t window, std::size_t failAt, bool failInWork) {
        std::vector<std::size_t> delivered;
        reader::runInOrder<std::size_t>(
            count, 2, window,
            [&](std::size_t i) {
                if (failInWork && i == failAt) {
                    throw std::runtime_error("work");
                }
                return i * 10;
            },
            [&](std::size_t i, std::size_t&& value) {
                EXPECT_EQ(value, i * 10);
                if (!failInWork && i == failAt) {
                    throw std::runtime_error("deliver");
                }
                delivered.push_back(i);
            });
        return delivered;
    };
    constexpr std::size_t NEVER = 1000;
    EXPECT_EQ(run(5, 4, NEVER, true), (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(run(3, 0, NEVER, true), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(run(0, 4, NEVER, true), std::vector<std::size_t>{});
    EXPECT_THROW(run(50, 4, 3, true), std::runtime_error);
    EXPECT_THROW(run(50, 4, 3, false), std::runtime_error);
}

TEST(ProcessPhoto, EveryFailureBecomesThisPhotosError)
{
    const test_images::TempDir dir;
    const std::string photo = dir.file("p.png");
    test_images::writeFile(photo, test_images::encode(test_images::noise(103, 20, 1), ".png"));
    const ReadSettings settings{reader::Mode{1024, 768, 60}, reader::Placement::Left, std::nullopt, std::nullopt};

    const reader::PhotoResult read = reader::processPhoto(photo, settings, "", readByWidth);
    EXPECT_EQ(read.file, photo);
    EXPECT_TRUE(read.reading.ok);
    EXPECT_EQ(read.reading.lagFrames, 3);

    const auto openCvFails = [](const cv::Mat& image, const ReadSettings& /*settings*/,
                                Known /*known*/) -> PhotoReading {
        const cv::Mat wrong(3, 3, CV_8UC1);
        PhotoReading reading;
        reading.ok = image.dot(wrong) > 0;  // sizes differ: OpenCV throws
        return reading;
    };
    const reader::PhotoResult cvError = reader::processPhoto(photo, settings, "", openCvFails);
    EXPECT_FALSE(cvError.reading.ok);
    EXPECT_EQ(cvError.reading.error.rfind("OpenCV failed in ", 0), 0U) << cvError.reading.error;
    EXPECT_EQ(cvError.file, photo);

    const auto throwsStd = [](const cv::Mat& /*image*/, const ReadSettings& /*settings*/,
                              Known /*known*/) -> PhotoReading { throw std::out_of_range("column 61"); };
    EXPECT_EQ(reader::processPhoto(photo, settings, "", throwsStd).reading.error, "internal error: column 61");

    const auto throwsMemory = [](const cv::Mat& /*image*/, const ReadSettings& /*settings*/,
                                 Known /*known*/) -> PhotoReading { throw std::bad_alloc(); };
    EXPECT_EQ(reader::processPhoto(photo, settings, "", throwsMemory).reading.error, "out of memory");

    const auto throwsOther = [](const cv::Mat& /*image*/, const ReadSettings& /*settings*/,
                                Known /*known*/) -> PhotoReading { throw 42; };
    EXPECT_EQ(reader::processPhoto(photo, settings, "", throwsOther).reading.error, "internal error");

    // Not ok, yet no reason: a reason is given.
    const auto silent = [](const cv::Mat& /*image*/, const ReadSettings& /*settings*/, Known /*known*/) {
        return PhotoReading{};
    };
    EXPECT_FALSE(reader::processPhoto(photo, settings, "", silent).reading.error.empty());

    // A photo that cannot be loaded never reaches the stages.
    bool called = false;
    const auto spy = [&](const cv::Mat& image, const ReadSettings& s, Known known) {
        called = true;
        return readByWidth(image, s, known);
    };
    EXPECT_EQ(reader::processPhoto(dir.file("nothing.jpg"), settings, "", spy).reading.error, "no such file");
    EXPECT_FALSE(called);
}

TEST(ProcessPhoto, AnnotatesReadAndFailedPhotosAlike)
{
    const test_images::TempDir dir;
    const std::string photo = dir.file("p.jpg");
    test_images::writeFile(photo, test_images::encode(test_images::noise(160, 120, 2), ".jpg"));
    const ReadSettings settings{reader::Mode{1024, 768, 60}, reader::Placement::Left, std::nullopt, std::nullopt};

    ASSERT_TRUE(reader::processPhoto(photo, settings, dir.file("ok.jpg"), readByWidth).reading.ok);
    EXPECT_EQ(cv::imread(dir.file("ok.jpg")).size(), cv::Size(160, 120));
    EXPECT_FALSE(reader::processPhoto(photo, settings, dir.file("failed.jpg"), failToRead).reading.ok);
    EXPECT_EQ(cv::imread(dir.file("failed.jpg")).size(), cv::Size(160, 120));

    // A picture that cannot be written: a warning for a read photo, more
    // of the error for a failed one.
    const reader::PhotoResult warned = reader::processPhoto(photo, settings, dir.file("no/dir.jpg"), readByWidth);
    EXPECT_TRUE(warned.reading.ok);
    ASSERT_EQ(warned.reading.warnings.size(), 1U);
    EXPECT_EQ(warned.reading.warnings[0].rfind("annotated picture not written: ", 0), 0U);
    const reader::PhotoResult failed = reader::processPhoto(photo, settings, dir.file("no/dir.jpg"), failToRead);
    EXPECT_EQ(
        failed.reading.error.rfind("found 1 screen showing the pattern, need 2; annotated picture not written", 0), 0U)
        << failed.reading.error;
}

// A 12-megapixel photo is first read from a decoding at half its size; a
// photo that cannot be read so is read again from the whole. Either way
// the reading is given in the photo's own pixels.
TEST(ProcessPhoto, LargePhotosAreReadSmallerAndWholeOnlyIfNeedBe)
{
    const test_images::TempDir dir;
    const std::string large = dir.file("large.jpg");
    test_images::writeFile(large, test_images::encode(cv::Mat(3000, 4000, CV_8UC3, cv::Scalar::all(40)), ".jpg"));
    const std::string small = dir.file("small.jpg");
    test_images::writeFile(small, test_images::encode(cv::Mat(1200, 1600, CV_8UC3, cv::Scalar::all(40)), ".jpg"));
    const ReadSettings settings{reader::Mode{1024, 768, 60}, reader::Placement::Left, std::nullopt, std::nullopt};

    std::mutex guard;
    std::vector<int> widthsSeen;
    // The screens fill the picture given; read only from pictures at least
    // leastWidth wide.
    const auto readerFrom = [&](int leastWidth) {
        return [&, leastWidth](const cv::Mat& photo, const ReadSettings& /*settings*/, Known /*known*/) {
            const std::lock_guard<std::mutex> lock(guard);
            widthsSeen.push_back(photo.cols);
            PhotoReading reading;
            if (photo.cols < leastWidth) {
                reading.error = "found 0 screens showing the pattern, need 2";
                return reading;
            }
            reading.ok = true;
            const auto w = static_cast<double>(photo.cols);
            const auto h = static_cast<double>(photo.rows);
            for (reader::ScreenReading* screen : {&reading.reference, &reading.device}) {
                screen->corners = {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, h), cv::Point2d(0, h)};
                screen->toPattern = cv::Matx33d(1024.0 / w, 0, 0, 0, 768.0 / h, 0, 0, 0, 1);
                screen->clockPoint = cv::Point2d(w / 2, h / 2);
            }
            return reading;
        };
    };
    const auto inPhotoPixels = [](const PhotoReading& reading) {
        EXPECT_TRUE(reading.ok) << reading.error;
        for (const reader::ScreenReading* screen : {&reading.reference, &reading.device}) {
            EXPECT_EQ(screen->corners[2], cv::Point2d(4000, 3000));
            EXPECT_EQ(screen->clockPoint, cv::Point2d(2000, 1500));
            const cv::Vec3d corner = screen->toPattern * cv::Vec3d(4000, 3000, 1);
            EXPECT_NEAR(corner[0] / corner[2], 1024.0, 1e-9);
            EXPECT_NEAR(corner[1] / corner[2], 768.0, 1e-9);
        }
    };

    inPhotoPixels(reader::processPhoto(large, settings, "", readerFrom(0)).reading);
    EXPECT_EQ(widthsSeen, std::vector<int>{2000});

    widthsSeen.clear();
    inPhotoPixels(reader::processPhoto(large, settings, "", readerFrom(4000)).reading);
    EXPECT_EQ(widthsSeen, (std::vector<int>{2000, 4000}));

    // Unreadable either way: read twice, the whole photo's error given.
    widthsSeen.clear();
    const PhotoReading failed = reader::processPhoto(large, settings, "", readerFrom(5000)).reading;
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "found 0 screens showing the pattern, need 2");
    EXPECT_EQ(widthsSeen, (std::vector<int>{2000, 4000}));

    // Smaller photos are decoded whole, once.
    widthsSeen.clear();
    EXPECT_FALSE(reader::processPhoto(small, settings, "", readerFrom(5000)).reading.ok);
    EXPECT_EQ(widthsSeen, std::vector<int>{1600});
}

class RunReader : public testing::Test {
protected:
    RunReader()
    {
        // Lags of 1, 3 and 5 frames, a missing photo between them.
        for (const int lag : {1, 3, 5}) {
            const std::string name = dir.file("lag" + std::to_string(lag) + ".png");
            test_images::writeFile(name, test_images::encode(test_images::noise(100 + lag, 10, 3), ".png"));
            files.push_back(name);
        }
        files.insert(files.begin() + 1, dir.file("missing.jpg"));
    }

    test_images::TempDir dir;
    std::vector<std::string> files;
};

TEST_F(RunReader, PlainReportInTheOrderGivenThenTheSummary)
{
    const RunOutput r = run(optionsFor(files), readByWidth);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              files[0] +
                  "  reference column 20, device column 19: 1.50 frames = 25.0 ms (columns: 1 frame = 16.7 ms)\n" +
                  files[1] + ": error: no such file\n" +  //
                  files[2] +
                  "  reference column 20, device column 17: 3.50 frames = 58.3 ms (columns: 3 frames = 50.0 ms)\n" +
                  files[3] +
                  "  reference column 20, device column 15: 5.50 frames = 91.7 ms (columns: 5 frames = 83.3 ms)\n" +
                  "\n"
                  "photos read: 3, failed: 1\n"
                  "lag: mean 58.3 ms, 95 % confidence interval -24.5 to 141.1 ms, median 58.3 ms\n"
                  "lag in frames: mean 3.50, 95 % confidence interval -1.47 to 8.47, median 3.50\n"
                  "reference: scanning, scans out in 15.8 ms (taken as the signal's pace)\n"
                  "device: scanning, scan-out not measured (too few photos caught its scan in the bar's rows)\n");
    EXPECT_EQ(r.err, files[1] + ": error: no such file\n");

    // Standard error and output in one place: the error is written once.
    EXPECT_EQ(run(optionsFor(files), readByWidth, true).err, "");
}

TEST_F(RunReader, JsonDocumentOnStandardOutputAlone)
{
    reader::Options options = optionsFor(files);
    options.json = true;
    const RunOutput r = run(options, readByWidth, true);
    EXPECT_EQ(r.status, 0);
    const json document = json::parse(r.out);
    ASSERT_EQ(document["photos"].size(), 4U);
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(document["photos"][i]["file"], files[i]);
        EXPECT_EQ(document["photos"][i]["ok"], i != 1);
    }
    EXPECT_DOUBLE_EQ(document["photos"][2]["lag_frames"].get<double>(), 3.5);
    EXPECT_DOUBLE_EQ(document["photos"][2]["lag_ms_columns"].get<double>(), 50.0);
    EXPECT_EQ(document["photos"][1]["error"], "no such file");
    EXPECT_EQ(document["summary"]["photos_read"], 3);
    EXPECT_EQ(document["summary"]["photos_failed"], 1);
    EXPECT_DOUBLE_EQ(document["summary"]["lag_ms_mean"].get<double>(), 58.333);
    EXPECT_DOUBLE_EQ(document["summary"]["lag_frames_mean"].get<double>(), 3.5);
    // With --json the failure still goes to standard error.
    EXPECT_EQ(r.err, files[1] + ": error: no such file\n");
}

TEST_F(RunReader, NoPhotoReadIsExitStatusOne)
{
    const RunOutput r = run(optionsFor(files), failToRead);
    EXPECT_EQ(r.status, 1);
    std::istringstream lines(r.err);
    std::string line;
    std::size_t i = 0;
    while (std::getline(lines, line)) {
        ASSERT_LT(i, files.size());
        EXPECT_EQ(line.rfind(files[i] + ": error: ", 0), 0U) << line;
        ++i;
    }
    EXPECT_EQ(i, files.size());
    EXPECT_NE(r.out.find("photos read: 0, failed: 4\nlag: none, no photo was read\n"), std::string::npos);
}

TEST_F(RunReader, AnnotatesEachDecodedPhotoOrRefusesAnUnusableDirectory)
{
    reader::Options options = optionsFor(files);
    options.annotateDir = dir.file("annotated");
    EXPECT_EQ(run(options, readByWidth).status, 0);
    for (const char* name : {"lag1-annotated.jpg", "lag3-annotated.jpg", "lag5-annotated.jpg"}) {
        EXPECT_FALSE(cv::imread(dir.file(std::string("annotated/") + name)).empty()) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("annotated/missing-annotated.jpg")));

    options.annotateDir = files[0] + "/below";  // under a file
    const RunOutput refused = run(options, readByWidth);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err.rfind("vesmira-read: --annotate: cannot create the directory", 0), 0U) << refused.err;
    EXPECT_NE(refused.err.find("usage: vesmira-read"), std::string::npos);
}
