#include "reader/image_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "reader/exif.h"
#include "reader/heif_input.h"

namespace reader {

namespace {

constexpr std::array<unsigned char, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The reason for an errno, in the lower case of the sentences around it.
std::string describeErrno(int error)
{
    std::string text = std::generic_category().message(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

unsigned readBig16(const unsigned char* p)
{
    return (unsigned{p[0]} << 8U) | unsigned{p[1]};
}

std::uint32_t readBig32(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24U) | (std::uint32_t{p[1]} << 16U) | (std::uint32_t{p[2]} << 8U) |
           std::uint32_t{p[3]};
}

bool isStartOfFrame(unsigned marker)
{
    // C0..CF, less DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

ImageCheck failed(ImageCheck check, std::string error)
{
    check.error = std::move(error);
    return check;
}

ImageCheck inspectJpeg(const std::vector<unsigned char>& bytes)
{
    ImageCheck check;
    check.format = ImageFormat::Jpeg;
    const std::string truncated = "truncated JPEG: the file ends before the image does";
    const unsigned char* data = bytes.data();
    const std::size_t size = bytes.size();
    bool sawFrame = false;
    int scans = 0;
    std::size_t pos = 2;  // past SOI
    for (;;) {
        if (pos >= size) {
            return failed(check, truncated);
        }
        if (data[pos] != 0xFF) {
            return failed(check, "damaged JPEG: a marker was expected at byte " + std::to_string(pos));
        }
        while (pos < size && data[pos] == 0xFF) {
            ++pos;
        }
        if (pos >= size) {
            return failed(check, truncated);
        }
        const unsigned marker = data[pos++];
        if (marker == 0xD9) {
            if (!sawFrame || scans == 0) {
                return failed(check, "damaged JPEG: it ends without image data");
            }
            return check;
        }
        if (marker == 0x00 || marker == 0xD8) {
            return failed(check, "damaged JPEG: a marker was expected at byte " + std::to_string(pos - 1));
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            continue;  // markers without a segment
        }
        if (size - pos < 2) {
            return failed(check, truncated);
        }
        const std::size_t length = readBig16(data + pos);
        if (length < 2) {
            return failed(check, "damaged JPEG: a segment of impossible length at byte " + std::to_string(pos));
        }
        if (size - pos < length) {
            return failed(check, truncated);
        }
        if (isStartOfFrame(marker) && !sawFrame) {
            if (length < 8) {
                return failed(check, "damaged JPEG: its frame header is too short");
            }
            check.height = static_cast<int>(readBig16(data + pos + 3));
            check.width = static_cast<int>(readBig16(data + pos + 5));
            if (check.width == 0 || check.height == 0) {
                return failed(check, "unsupported JPEG: its header does not give the image's size");
            }
            if (static_cast<long long>(check.width) * check.height > MAX_IMAGE_PIXELS) {
                return failed(check, tooManyPixels(check.width, check.height));
            }
            sawFrame = true;
        }
        pos += length;
        if (marker != 0xDA) {
            continue;
        }
        if (!sawFrame) {
            return failed(check, "damaged JPEG: image data comes before the frame header");
        }
        if (++scans > MAX_JPEG_SCANS) {
            return failed(check, "the JPEG has more than " + std::to_string(MAX_JPEG_SCANS) +
                                     " scans, too many to decode in reasonable time");
        }
        // Entropy-coded data runs to the next marker: 0xFF not followed by
        // a stuffed zero, a restart marker or another 0xFF.
        for (;;) {
            const void* found = std::memchr(data + pos, 0xFF, size - pos);
            if (found == nullptr) {
                return failed(check, truncated);
            }
            pos = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data);
            if (pos + 1 >= size) {
                return failed(check, truncated);
            }
            const unsigned next = data[pos + 1];
            if (next == 0xFF) {
                pos += 1;
            } else if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                pos += 2;
            } else {
                break;
            }
        }
    }
}

ImageCheck inspectPng(const std::vector<unsigned char>& bytes)
{
    ImageCheck check;
    check.format = ImageFormat::Png;
    const std::string truncated = "truncated PNG: the file ends before the image does";
    const unsigned char* data = bytes.data();
    const std::size_t size = bytes.size();
    bool sawImageData = false;
    std::size_t pos = PNG_SIGNATURE.size();
    for (bool first = true;; first = false) {
        if (size - pos < 8) {
            return failed(check, truncated);
        }
        const std::uint32_t length = readBig32(data + pos);
        const std::string type(reinterpret_cast<const char*>(data + pos + 4), 4);
        if (length > 0x7FFFFFFFU) {
            return failed(check, "damaged PNG: a chunk of impossible length at byte " + std::to_string(pos));
        }
        if (size - pos - 8 < std::size_t{length} + 4) {
            return failed(check, truncated);
        }
        const unsigned char* chunk = data + pos + 4;  // type and data, as the checksum covers them
        const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), chunk, std::size_t{length} + 4);
        if (crc != readBig32(chunk + 4 + length)) {
            return failed(check, "damaged PNG: chunk " + type + " fails its checksum");
        }
        if (first) {
            if (type != "IHDR" || length != 13) {
                return failed(check, "damaged PNG: it does not start with its header");
            }
            const std::uint32_t width = readBig32(chunk + 4);
            const std::uint32_t height = readBig32(chunk + 8);
            if (width == 0 || height == 0 || width > 0x7FFFFFFFU || height > 0x7FFFFFFFU) {
                return failed(check, "damaged PNG: its header gives an impossible size");
            }
            if (static_cast<long long>(width) * height > MAX_IMAGE_PIXELS) {
                return failed(check, tooManyPixels(width, height));
            }
            check.width = static_cast<int>(width);
            check.height = static_cast<int>(height);
        } else if (type == "IHDR") {
            return failed(check, "damaged PNG: a second header");
        }
        if (type == "IDAT") {
            sawImageData = true;
        } else if (type == "IEND") {
            if (!sawImageData) {
                return failed(check, "damaged PNG: it ends without image data");
            }
            return check;
        }
        pos += 12 + std::size_t{length};
    }
}

// Reads at most limit + 1 bytes, so a file that grew past the limit shows.
std::string readAll(int fd, std::size_t expected, std::size_t limit, std::vector<unsigned char>* bytes)
{
    bytes->resize(expected < limit ? expected + 1 : limit + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == bytes->size()) {
            if (got > limit) {
                break;
            }
            bytes->resize(std::min(limit + 1, got * 2 + 4096));
        }
        const ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return "cannot read it: " + describeErrno(errno);
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    bytes->resize(got);
    return {};
}

std::string fileTooLarge()
{
    return "the file is larger than " + std::to_string(MAX_FILE_BYTES >> 20U) + " MB, too large for a photo";
}

bool startsWith(const std::vector<unsigned char>& bytes, std::size_t offset, const char* text)
{
    const std::size_t length = std::strlen(text);
    return bytes.size() >= offset + length && std::memcmp(bytes.data() + offset, text, length) == 0;
}

}  // namespace

std::string tooManyPixels(long long width, long long height)
{
    const long long megapixels = (width * height + 500'000) / 1'000'000;
    return "the image is " + std::to_string(width) + "x" + std::to_string(height) + " pixels (" +
           std::to_string(megapixels) + " megapixels), more than the " + std::to_string(MAX_IMAGE_PIXELS / 1'000'000) +
           " megapixels allowed";
}

std::string foreignImageFormat(const std::vector<unsigned char>& bytes)
{
    if (startsWith(bytes, 0, "GIF87a") || startsWith(bytes, 0, "GIF89a")) {
        return "a GIF";
    }
    // DNG and most cameras' own RAW formats are TIFF files.
    if (startsWith(bytes, 0, "II*") && bytes.size() >= 4 && bytes[3] == 0) {
        return "a RAW (DNG) or TIFF photo";
    }
    if (bytes.size() >= 4 && bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == '*') {
        return "a RAW (DNG) or TIFF photo";
    }
    if (startsWith(bytes, 0, "RIFF") && startsWith(bytes, 8, "WEBP")) {
        return "a WebP image";
    }
    return {};
}

ImageFormat sniffFormat(const std::vector<unsigned char>& bytes)
{
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
        return ImageFormat::Jpeg;
    }
    if (bytes.size() >= PNG_SIGNATURE.size() && std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), bytes.begin())) {
        return ImageFormat::Png;
    }
    if (isHeif(bytes)) {
        return ImageFormat::Heif;
    }
    return ImageFormat::Unknown;
}

ImageCheck inspectImage(const std::vector<unsigned char>& bytes)
{
    if (bytes.empty()) {
        return failed(ImageCheck{}, "the file is empty");
    }
    switch (sniffFormat(bytes)) {
        case ImageFormat::Jpeg:
            return inspectJpeg(bytes);
        case ImageFormat::Png:
            return inspectPng(bytes);
        case ImageFormat::Heif:
            return inspectHeif(bytes);
        case ImageFormat::Unknown:
            break;
    }
    const std::string foreign = foreignImageFormat(bytes);
    if (!foreign.empty()) {
        return failed(ImageCheck{}, "the file is " + foreign +
                                        ", which the reader does not read: photos must be JPEG, "
                                        "PNG or HEIC");
    }
    return failed(ImageCheck{}, "not an image or a video: no JPEG, PNG or HEIC photo");
}

int reductionFor(const ImageCheck& check, Detail detail)
{
    if (detail == Detail::Full || check.format != ImageFormat::Jpeg) {
        return 1;
    }
    const int side = std::max(check.width, check.height);
    int reduction = 1;
    while (reduction < 8 && side / (2 * reduction) >= MIN_DECODED_SIDE) {
        reduction *= 2;
    }
    return reduction;
}

LoadedImage decodeImage(const std::vector<unsigned char>& bytes, Detail detail)
{
    if (sniffFormat(bytes) == ImageFormat::Heif) {
        return decodeHeif(bytes);
    }
    LoadedImage loaded;
    const ImageCheck check = inspectImage(bytes);
    if (!check.error.empty()) {
        loaded.error = check.error;
        return loaded;
    }
    const char* format = check.format == ImageFormat::Jpeg ? "JPEG" : "PNG";
    loaded.reduction = reductionFor(check, detail);
    // 8-bit BGR whatever the file holds, turned upright by its EXIF
    // orientation, at the size asked for.
    int flags = cv::IMREAD_COLOR;
    switch (loaded.reduction) {
        case 2:
            flags = cv::IMREAD_REDUCED_COLOR_2;
            break;
        case 4:
            flags = cv::IMREAD_REDUCED_COLOR_4;
            break;
        case 8:
            flags = cv::IMREAD_REDUCED_COLOR_8;
            break;
        default:
            break;
    }
    try {
        loaded.image = cv::imdecode(bytes, flags);
        if (loaded.image.empty()) {
            loaded.error = std::string("damaged ") + format + ": its image data cannot be decoded";
        } else if (check.format == ImageFormat::Jpeg) {
            loaded.exposureMs = exifExposureMs(bytes.data(), bytes.size());
        }
    } catch (const cv::Exception& e) {
        loaded.image.release();
        loaded.error = std::string("the ") + format + " cannot be decoded: " + e.err;
    } catch (const std::bad_alloc&) {
        loaded.image.release();
        loaded.error = "out of memory decoding it";
    }
    return loaded;
}

ImageFile readImageFile(const std::string& path)
{
    ImageFile loaded;
    // Non-blocking, so a named pipe does not hang the open; it is then
    // refused as not a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        loaded.error = errno == ENOENT ? "no such file" : "cannot open it: " + describeErrno(errno);
        return loaded;
    }
    struct stat status = {};
    std::vector<unsigned char> bytes;
    if (fstat(fd, &status) != 0) {
        loaded.error = "cannot read it: " + describeErrno(errno);
    } else if (S_ISDIR(status.st_mode)) {
        loaded.error = "it is a directory, not a photo";
    } else if (!S_ISREG(status.st_mode)) {
        loaded.error = "it is not a regular file";
    } else if (status.st_size == 0) {
        loaded.error = "the file is empty";
    } else if (static_cast<unsigned long long>(status.st_size) > MAX_FILE_BYTES) {
        loaded.error = fileTooLarge();
    } else {
        try {
            loaded.error = readAll(fd, static_cast<std::size_t>(status.st_size), MAX_FILE_BYTES, &bytes);
        } catch (const std::bad_alloc&) {
            loaded.error = "out of memory reading it";
        }
        if (loaded.error.empty() && bytes.size() > MAX_FILE_BYTES) {
            loaded.error = fileTooLarge();
        }
    }
    close(fd);
    if (loaded.error.empty()) {
        loaded.bytes = std::move(bytes);
    }
    return loaded;
}

LoadedImage loadImage(const std::string& path, Detail detail)
{
    const ImageFile file = readImageFile(path);
    if (!file.error.empty()) {
        LoadedImage loaded;
        loaded.error = file.error;
        return loaded;
    }
    return decodeImage(file.bytes, detail);
}

}  // namespace reader
