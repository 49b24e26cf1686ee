#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace reader {

// Refused before decoding: the decoded picture alone would take 300 MB.
constexpr long long MAX_IMAGE_PIXELS = 100'000'000;
// Enough for any 100-megapixel PNG; bounds what one photo's bytes may cost.
constexpr std::size_t MAX_FILE_BYTES = std::size_t{1} << 30;
// Real progressive JPEGs have about ten; thousands make the decoder crawl.
constexpr int MAX_JPEG_SCANS = 500;

enum class ImageFormat { Unknown, Jpeg, Png, Heif };

// What a photo's bytes say about it, found without decoding.
struct ImageCheck {
    ImageFormat format = ImageFormat::Unknown;
    // As declared by the header (JPEG SOFn, PNG IHDR) before any rotation;
    // of a HEIF, as shown, its rotation applied.
    int width = 0;
    int height = 0;
    // Why the bytes will not be decoded; empty when they may be.
    std::string error;
};

// A decoded photo, or the reason there is none.
struct LoadedImage {
    // BGR, 8 bits per channel, upright (the EXIF orientation of a JPEG or
    // PNG applied, a HEIF's rotation and mirror properties).
    cv::Mat image;
    // The exposure time the camera recorded (EXIF ExposureTime of a JPEG or
    // HEIF), in ms; none when the file does not say.
    std::optional<double> exposureMs;
    // A sentence naming the reason; empty when the image is there.
    std::string error;
    // Photo pixels per decoded pixel: 1, or 2, 4 or 8 for a large JPEG
    // decoded at a fraction of its size.
    int reduction = 1;
};

// A photo file's bytes, or the reason there are none.
struct ImageFile {
    std::vector<unsigned char> bytes;
    std::string error;
};

// How much of a photo's resolution to decode. Enough: a JPEG whose long
// side is at least twice MIN_DECODED_SIDE is decoded at 1/2, 1/4 or 1/8 of
// its size by the decoder's own scaling, which costs a fraction of the time
// and memory of the whole; PNGs and HEIFs are always decoded whole (HEVC
// has no such scaling, and reducing a HEIF after decoding it whole costs
// more than reading it whole saves).
enum class Detail { Full, Enough };
// The long side a reduced decoding keeps at least: more than the photos on
// which the reader's accuracy is measured.
constexpr int MIN_DECODED_SIDE = 2000;

// Photo pixels per decoded pixel for a photo of this header at that detail.
int reductionFor(const ImageCheck& check, Detail detail);

// JPEG, PNG or HEIF from the first bytes, whatever the file is called.
ImageFormat sniffFormat(const std::vector<unsigned char>& bytes);

// What a file of another format is, by its first bytes, for the sentence
// that refuses it ("a GIF", "a RAW (DNG) or TIFF photo", "a WebP image");
// empty when they are of no format known to be an image.
std::string foreignImageFormat(const std::vector<unsigned char>& bytes);

// The sentence that refuses an image of more than MAX_IMAGE_PIXELS.
std::string tooManyPixels(long long width, long long height);

// Walks the file's structure (JPEG markers up to EOI; PNG chunks and their
// checksums up to IEND; a HEIF's boxes and its image's description): too
// large, truncated and damaged files are refused here, before the decoder
// allocates or guesses.
ImageCheck inspectImage(const std::vector<unsigned char>& bytes);

// inspectImage, then the decoder: OpenCV's for JPEG and PNG, libheif's for
// HEIF. Never throws.
LoadedImage decodeImage(const std::vector<unsigned char>& bytes, Detail detail = Detail::Full);

// Reads one photo file. Directories, devices, pipes, empty and oversized
// files are refused without reading them. Never throws.
ImageFile readImageFile(const std::string& path);

// readImageFile, then decodeImage. Never throws.
LoadedImage loadImage(const std::string& path, Detail detail = Detail::Full);

}  // namespace reader
