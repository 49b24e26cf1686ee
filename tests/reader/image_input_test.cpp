#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "reader/image_input.h"
#include "test_images.h"

using reader::decodeImage;
using reader::inspectImage;
using reader::loadImage;
using test_images::encode;
using test_images::noise;
using test_images::startOfFrame;
using test_images::withJpegSize;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes cut(const Bytes& bytes, std::size_t length)
{
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)};
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

void putBig32(unsigned char* p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24U);
    p[1] = static_cast<unsigned char>((value >> 16U) & 0xFFU);
    p[2] = static_cast<unsigned char>((value >> 8U) & 0xFFU);
    p[3] = static_cast<unsigned char>(value & 0xFFU);
}

// The PNG with its IHDR declaring another size, checksum made right.
Bytes withPngSize(Bytes png, std::uint32_t width, std::uint32_t height)
{
    // Signature (8), length (4), "IHDR" (4), then width and height.
    putBig32(&png[16], width);
    putBig32(&png[20], height);
    putBig32(&png[29], static_cast<std::uint32_t>(crc32_z(0, &png[12], 17)));
    return png;
}

// Offset of the first byte of the first IDAT's data.
std::size_t firstImageData(const Bytes& png)
{
    std::size_t pos = 8;
    while (pos + 8 <= png.size()) {
        const std::size_t length = (std::size_t{png[pos]} << 24U) | (std::size_t{png[pos + 1]} << 16U) |
                                   (std::size_t{png[pos + 2]} << 8U) | png[pos + 3];
        if (std::string(png.begin() + static_cast<std::ptrdiff_t>(pos) + 4,
                        png.begin() + static_cast<std::ptrdiff_t>(pos) + 8) == "IDAT") {
            return pos + 8;
        }
        pos += 12 + length;
    }
    throw std::runtime_error("no IDAT");
}

double secondsFor(const std::function<void()>& action)
{
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A picture whose top-left corner is marked, to see where it ends up.
cv::Mat markedPicture()
{
    cv::Mat image(40, 80, CV_8UC3, cv::Scalar(0, 0, 0));
    image(cv::Rect(0, 0, 16, 8)).setTo(cv::Scalar(255, 255, 255));
    return image;
}

bool brightAt(const cv::Mat& image, int x, int y)
{
    return image.at<cv::Vec3b>(y, x)[1] > 200;
}

}  // namespace

TEST(ImageInput, DecodesJpegAndPngToEightBitBgr)
{
    const cv::Mat picture = noise(64, 48, 1);
    const reader::LoadedImage png = decodeImage(encode(picture, ".png"));
    ASSERT_TRUE(png.error.empty()) << png.error;
    EXPECT_EQ(png.image.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(png.image, picture, cv::NORM_INF), 0.0);

    const reader::LoadedImage jpeg = decodeImage(encode(picture, ".jpg"));
    ASSERT_TRUE(jpeg.error.empty()) << jpeg.error;
    EXPECT_EQ(jpeg.image.type(), CV_8UC3);
    EXPECT_EQ(jpeg.image.size(), cv::Size(64, 48));

    // Grey and 16-bit pictures come out as 8-bit BGR too.
    cv::Mat grey(30, 20, CV_8UC1, cv::Scalar(77));
    const reader::LoadedImage greyPng = decodeImage(encode(grey, ".png"));
    ASSERT_TRUE(greyPng.error.empty()) << greyPng.error;
    EXPECT_EQ(greyPng.image.type(), CV_8UC3);
    EXPECT_EQ(greyPng.image.at<cv::Vec3b>(5, 5), cv::Vec3b(77, 77, 77));
    cv::Mat deep(30, 20, CV_16UC3, cv::Scalar(65535, 0, 32896));
    const reader::LoadedImage deepPng = decodeImage(encode(deep, ".png"));
    ASSERT_TRUE(deepPng.error.empty()) << deepPng.error;
    EXPECT_EQ(deepPng.image.type(), CV_8UC3);
    EXPECT_EQ(deepPng.image.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 0, 128));
    const reader::LoadedImage greyJpeg = decodeImage(encode(grey, ".jpg"));
    ASSERT_TRUE(greyJpeg.error.empty()) << greyJpeg.error;
    EXPECT_EQ(greyJpeg.image.type(), CV_8UC3);
}

TEST(ImageInput, KnowsFormatsByTheirBytesNotTheirNames)
{
    EXPECT_EQ(inspectImage({}).error, "the file is empty");
    const std::string text = "this is not a photo\n";
    EXPECT_EQ(inspectImage(Bytes(text.begin(), text.end())).error,
              "not an image or a video: no JPEG, PNG or HEIC photo");
    // A GIF is named as what it is, not taken for a damaged video.
    const std::string gif("GIF89a\x01\x00\x01\x00", 10);
    EXPECT_EQ(inspectImage(Bytes(gif.begin(), gif.end())).error,
              "the file is a GIF, which the reader does not read: photos must be JPEG, PNG or HEIC");
    for (const std::string& other :
         {std::string("BM\x3e\0\0\0", 6), std::string("\xFF\xD8", 2), std::string("\x89PNG\r\n", 6)}) {
        EXPECT_EQ(inspectImage(Bytes(other.begin(), other.end())).error,
                  "not an image or a video: no JPEG, PNG or HEIC photo");
    }
    EXPECT_EQ(reader::sniffFormat(encode(noise(8, 8, 1), ".jpg")), reader::ImageFormat::Jpeg);
    EXPECT_EQ(reader::sniffFormat(encode(noise(8, 8, 1), ".png")), reader::ImageFormat::Png);
    // A format OpenCV would decode, but a camera does not write.
    const Bytes ppm = encode(noise(8, 8, 1), ".ppm");
    EXPECT_EQ(decodeImage(ppm).error, "not an image or a video: no JPEG, PNG or HEIC photo");
}

TEST(ImageInput, FindsTheDeclaredSizeWithoutDecoding)
{
    const reader::ImageCheck jpeg = inspectImage(encode(noise(64, 48, 1), ".jpg"));
    EXPECT_TRUE(jpeg.error.empty()) << jpeg.error;
    EXPECT_EQ(jpeg.width, 64);
    EXPECT_EQ(jpeg.height, 48);
    const reader::ImageCheck png = inspectImage(encode(noise(33, 17, 1), ".png"));
    EXPECT_TRUE(png.error.empty()) << png.error;
    EXPECT_EQ(png.width, 33);
    EXPECT_EQ(png.height, 17);
}

TEST(ImageInput, RefusesHugeImagesBeforeDecodingThem)
{
    // Otherwise whole files: only the header's size was changed. Decoding
    // them would allocate 1.2 GB and paint a grey picture.
    const Bytes jpeg = withJpegSize(encode(noise(64, 48, 2), ".jpg"), 20000, 20000);
    const Bytes png = withPngSize(encode(noise(64, 48, 2), ".png"), 20000, 20000);
    for (const Bytes* bytes : {&jpeg, &png}) {
        reader::LoadedImage loaded;
        const double seconds = secondsFor([&] { loaded = decodeImage(*bytes); });
        EXPECT_EQ(loaded.error,
                  "the image is 20000x20000 pixels (400 megapixels), more than the 100 megapixels allowed");
        EXPECT_TRUE(loaded.image.empty());
        EXPECT_LT(seconds, 0.5);
    }
    // 100 megapixels are allowed, one row more is not.
    EXPECT_TRUE(inspectImage(withPngSize(encode(noise(8, 8, 2), ".png"), 10000, 10000)).error.empty());
    EXPECT_TRUE(contains(inspectImage(withPngSize(encode(noise(8, 8, 2), ".png"), 10000, 10001)).error, "megapixels"));
    EXPECT_TRUE(inspectImage(withJpegSize(encode(noise(8, 8, 2), ".jpg"), 10000, 10000)).error.empty());
    EXPECT_TRUE(contains(inspectImage(withJpegSize(encode(noise(8, 8, 2), ".jpg"), 10001, 10000)).error, "megapixels"));
    // The largest a PNG header can say.
    EXPECT_TRUE(contains(inspectImage(withPngSize(encode(noise(8, 8, 2), ".png"), 0x7FFFFFFF, 0x7FFFFFFF)).error,
                         "megapixels"));
    EXPECT_TRUE(contains(inspectImage(withPngSize(encode(noise(8, 8, 2), ".png"), 0x80000000U, 1)).error, "damaged"));
    EXPECT_TRUE(contains(inspectImage(withJpegSize(encode(noise(8, 8, 2), ".jpg"), 0, 10)).error, "size"));
}

TEST(ImageInput, RefusesATruncatedJpegWhereverItIsCut)
{
    // Baseline, progressive, and with restart markers in the image data.
    const cv::Mat picture = noise(256, 192, 3);
    const std::vector<Bytes> jpegs = {encode(picture, ".jpg"),
                                      encode(picture, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}),
                                      encode(picture, ".jpg", {cv::IMWRITE_JPEG_RST_INTERVAL, 4})};
    for (const Bytes& jpeg : jpegs) {
        ASSERT_TRUE(decodeImage(jpeg).error.empty());
        for (const std::size_t length : {std::size_t{3}, std::size_t{4}, std::size_t{21}, std::size_t{200},
                                         jpeg.size() / 3, jpeg.size() / 2, jpeg.size() - 2, jpeg.size() - 1}) {
            const reader::LoadedImage loaded = decodeImage(cut(jpeg, length));
            EXPECT_EQ(loaded.error, "truncated JPEG: the file ends before the image does") << "cut at " << length;
            EXPECT_TRUE(loaded.image.empty());
        }
    }
}

TEST(ImageInput, RefusesAJpegThatIsDamagedOrAnInfiniteWorkOfScans)
{
    Bytes jpeg = encode(noise(64, 48, 4), ".jpg");
    // Trailing bytes after the end of the image do no harm (some cameras add them).
    Bytes trailing = jpeg;
    trailing.insert(trailing.end(), 1000, 0x55);
    EXPECT_TRUE(decodeImage(trailing).error.empty());

    Bytes broken = jpeg;
    broken[startOfFrame(jpeg)] = 0x12;  // no marker where one must be
    EXPECT_TRUE(contains(decodeImage(broken).error, "damaged JPEG")) << decodeImage(broken).error;

    const Bytes endsAtOnce = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_TRUE(contains(decodeImage(endsAtOnce).error, "damaged JPEG"));

    // A frame header followed by more scans than any camera writes, each
    // a few bytes: a decoder would crawl through them.
    Bytes bomb(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(startOfFrame(jpeg)));
    const Bytes frame = {0xFF, 0xC2, 0, 11, 8, 0, 8, 0, 8, 1, 1, 0x11, 0};
    bomb.insert(bomb.end(), frame.begin(), frame.end());
    const Bytes scan = {0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0, 0, 0x00};
    for (int i = 0; i < reader::MAX_JPEG_SCANS + 1; ++i) {
        bomb.insert(bomb.end(), scan.begin(), scan.end());
    }
    bomb.push_back(0xFF);
    bomb.push_back(0xD9);
    EXPECT_TRUE(contains(decodeImage(bomb).error, "more than 500 scans")) << decodeImage(bomb).error;
}

TEST(ImageInput, RefusesATruncatedOrDamagedPng)
{
    const Bytes png = encode(noise(128, 96, 5), ".png");
    for (const std::size_t length : {std::size_t{8}, std::size_t{20}, std::size_t{33}, std::size_t{40}, png.size() / 2,
                                     png.size() - 12, png.size() - 1}) {
        const reader::LoadedImage loaded = decodeImage(cut(png, length));
        EXPECT_EQ(loaded.error, "truncated PNG: the file ends before the image does") << "cut at " << length;
        EXPECT_TRUE(loaded.image.empty());
    }
    Bytes flipped = png;
    flipped[firstImageData(png) + 100] ^= 0x40U;
    EXPECT_EQ(decodeImage(flipped).error, "damaged PNG: chunk IDAT fails its checksum");

    // Only a header and the end: no image data.
    Bytes headerOnly = cut(png, 33);
    const Bytes end = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    headerOnly.insert(headerOnly.end(), end.begin(), end.end());
    EXPECT_EQ(decodeImage(headerOnly).error, "damaged PNG: it ends without image data");
}

TEST(ImageInput, TurnsPhotosUprightByTheirExifOrientation)
{
    // The marked corner, top left as stored, is where the orientation says
    // the viewer sees it: 1 as stored, 3 turned half round, 6 turned a
    // quarter clockwise (phone held upright), 8 a quarter anticlockwise.
    const Bytes jpeg = encode(markedPicture(), ".jpg", {cv::IMWRITE_JPEG_QUALITY, 95});
    struct Case {
        int orientation;
        cv::Size size;
        cv::Point corner;
    };
    for (const Case& c : {Case{1, {80, 40}, {2, 2}}, Case{3, {80, 40}, {77, 37}}, Case{6, {40, 80}, {37, 2}},
                          Case{8, {40, 80}, {2, 77}}}) {
        const reader::LoadedImage loaded = decodeImage(test_images::withExifOrientation(jpeg, c.orientation));
        ASSERT_TRUE(loaded.error.empty()) << loaded.error;
        ASSERT_EQ(loaded.image.size(), c.size) << "orientation " << c.orientation;
        EXPECT_TRUE(brightAt(loaded.image, c.corner.x, c.corner.y)) << "orientation " << c.orientation;
        // And only there: the opposite corner stays dark.
        EXPECT_FALSE(brightAt(loaded.image, c.size.width - 1 - c.corner.x, c.size.height - 1 - c.corner.y))
            << "orientation " << c.orientation;
    }
}

TEST(ImageInput, LargeJpegsAreDecodedSmallerWhenEnoughDetailIsAsked)
{
    // Halved while the long side stays at least MIN_DECODED_SIDE, at most
    // to an eighth; never for a PNG or when the whole photo is asked for.
    const auto reduction = [](reader::ImageFormat format, int width, int height, reader::Detail detail) {
        reader::ImageCheck check;
        check.format = format;
        check.width = width;
        check.height = height;
        return reader::reductionFor(check, detail);
    };
    using reader::Detail;
    using reader::ImageFormat;
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 1600, 1200, Detail::Enough), 1);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 3999, 3000, Detail::Enough), 1);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 4000, 3000, Detail::Enough), 2);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 3000, 4032, Detail::Enough), 2);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 8000, 6000, Detail::Enough), 4);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 16000, 6000, Detail::Enough), 8);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 60000, 1000, Detail::Enough), 8);
    EXPECT_EQ(reduction(ImageFormat::Jpeg, 8000, 6000, Detail::Full), 1);
    EXPECT_EQ(reduction(ImageFormat::Png, 8000, 6000, Detail::Enough), 1);

    // A 12-megapixel photo: half its size, upright, the mark where it was.
    cv::Mat picture(3000, 4000, CV_8UC3, cv::Scalar::all(0));
    picture(cv::Rect(0, 0, 400, 200)).setTo(cv::Scalar::all(255));
    const Bytes jpeg = encode(picture, ".jpg");
    const reader::LoadedImage whole = decodeImage(jpeg);
    EXPECT_EQ(whole.reduction, 1);
    EXPECT_EQ(whole.image.size(), cv::Size(4000, 3000));
    const reader::LoadedImage half = decodeImage(jpeg, Detail::Enough);
    ASSERT_TRUE(half.error.empty()) << half.error;
    EXPECT_EQ(half.reduction, 2);
    ASSERT_EQ(half.image.size(), cv::Size(2000, 1500));
    EXPECT_EQ(half.image.type(), CV_8UC3);
    EXPECT_TRUE(brightAt(half.image, 190, 90));
    EXPECT_FALSE(brightAt(half.image, 210, 110));
    // Held upright (orientation 6): turned as the whole one would be.
    const reader::LoadedImage turned = decodeImage(test_images::withExifOrientation(jpeg, 6), Detail::Enough);
    ASSERT_EQ(turned.image.size(), cv::Size(1500, 2000));
    EXPECT_TRUE(brightAt(turned.image, 1490, 190));
    EXPECT_FALSE(brightAt(turned.image, 1390, 210));

    const reader::LoadedImage png = decodeImage(encode(picture, ".png"), Detail::Enough);
    EXPECT_EQ(png.reduction, 1);
    EXPECT_EQ(png.image.size(), cv::Size(4000, 3000));
}

TEST(ImageInput, MalformedExifIsIgnoredNotFatal)
{
    const Bytes jpeg = encode(markedPicture(), ".jpg");
    const std::vector<Bytes> tiffs = {
        {'I', 'I', 0x2A, 0, 0xFF, 0xFF, 0, 0},                                            // IFD far beyond the segment
        {'I', 'I', 0x2A, 0, 8, 0, 0, 0, 0xFF, 0xFF},                                      // 65535 entries, none there
        {'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0},  // cut inside the entry
        {'X', 'X'},                                                                       // no TIFF header
        {},
    };
    for (const Bytes& tiff : tiffs) {
        const reader::LoadedImage loaded = decodeImage(test_images::withApp1(jpeg, tiff));
        ASSERT_TRUE(loaded.error.empty()) << loaded.error;
        EXPECT_EQ(loaded.image.size(), cv::Size(80, 40));
    }
}

TEST(ImageInput, RefusesWhatIsNotAPhotoFile)
{
    const test_images::TempDir dir;
    EXPECT_EQ(loadImage(dir.file("missing.jpg")).error, "no such file");
    EXPECT_EQ(loadImage(dir.file("missing/deeper.jpg")).error, "no such file");
    EXPECT_EQ(loadImage(dir.path()).error, "it is a directory, not a photo");
    EXPECT_EQ(loadImage("/dev/null").error, "it is not a regular file");

    test_images::writeFile(dir.file("empty.jpg"), {});
    EXPECT_EQ(loadImage(dir.file("empty.jpg")).error, "the file is empty");

    const std::string text = "Dear diary\n";
    test_images::writeFile(dir.file("text.jpg"), Bytes(text.begin(), text.end()));
    EXPECT_EQ(loadImage(dir.file("text.jpg")).error, "not an image or a video: no JPEG, PNG or HEIC photo");

    // Opening a named pipe for reading would wait for a writer forever.
    ASSERT_EQ(mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    double seconds = secondsFor([&] { EXPECT_EQ(loadImage(dir.file("pipe.jpg")).error, "it is not a regular file"); });
    EXPECT_LT(seconds, 1.0);

    // Refused by its size alone; sparse, so the test costs no disk.
    const std::string huge = dir.file("huge.png");
    test_images::writeFile(huge, encode(noise(8, 8, 6), ".png"));
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(reader::MAX_FILE_BYTES) + 1), 0);
    seconds =
        secondsFor([&] { EXPECT_EQ(loadImage(huge).error, "the file is larger than 1024 MB, too large for a photo"); });
    EXPECT_LT(seconds, 1.0);
}

TEST(ImageInput, LoadsAPhotoFileWhateverItIsCalled)
{
    const test_images::TempDir dir;
    const cv::Mat picture = noise(40, 30, 7);
    test_images::writeFile(dir.file("actually-a-png.jpg"), encode(picture, ".png"));
    const reader::LoadedImage loaded = loadImage(dir.file("actually-a-png.jpg"));
    ASSERT_TRUE(loaded.error.empty()) << loaded.error;
    EXPECT_EQ(cv::norm(loaded.image, picture, cv::NORM_INF), 0.0);

    const Bytes jpeg = encode(picture, ".jpg");
    test_images::writeFile(dir.file("cut.jpg"), cut(jpeg, jpeg.size() / 2));
    EXPECT_EQ(loadImage(dir.file("cut.jpg")).error, "truncated JPEG: the file ends before the image does");
}
