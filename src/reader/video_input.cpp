#include "reader/video_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/videoio/registry.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "reader/image_input.h"

namespace reader {

namespace {

// Enough for two packets of an MPEG transport stream.
constexpr std::size_t SNIFF_BYTES = 2 * 188 + 1;

bool endsWithIgnoringCase(const std::string& text, const std::string& end)
{
    if (text.size() < end.size()) {
        return false;
    }
    return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// The first bytes of a regular, non-empty file; empty when there are none
// to be had.
std::vector<unsigned char> firstBytes(const std::string& path)
{
    std::vector<unsigned char> bytes;
    // Non-blocking, so that a named pipe does not hang the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return bytes;
    }
    struct stat status = {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        bytes.resize(SNIFF_BYTES);
        ssize_t got = -1;
        do {
            got = read(fd, bytes.data(), bytes.size());
        } while (got < 0 && errno == EINTR);
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(fd);
    return bytes;
}

bool startsWith(const std::vector<unsigned char>& bytes, std::size_t offset, const char* text)
{
    const std::size_t length = std::strlen(text);
    return bytes.size() >= offset + length && std::memcmp(bytes.data() + offset, text, length) == 0;
}

// The signatures of the containers cameras write: a file that shows one
// but cannot be opened is a damaged video rather than something else.
bool looksLikeVideoContainer(const std::vector<unsigned char>& bytes)
{
    for (const char* box : {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"}) {
        if (startsWith(bytes, 4, box)) {
            return true;  // MP4, MOV, 3GP
        }
    }
    if (startsWith(bytes, 0, "RIFF") && startsWith(bytes, 8, "AVI ")) {
        return true;
    }
    const bool matroska =
        bytes.size() >= 4 && bytes[0] == 0x1A && bytes[1] == 0x45 && bytes[2] == 0xDF && bytes[3] == 0xA3;
    const bool mpegProgram = bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1 && bytes[3] == 0xBA;
    const bool mpegTransport = bytes.size() > 188 && bytes[0] == 0x47 && bytes[188] == 0x47;
    return matroska || mpegProgram || mpegTransport;
}

std::string whyNotOpened(const std::string& path)
{
    if (!cv::videoio_registry::hasBackend(cv::CAP_FFMPEG)) {
        return "not an image or a video: no JPEG, PNG or HEIC photo, and this build of OpenCV has no FFmpeg to read "
               "videos with";
    }
    if (looksLikeVideoContainer(firstBytes(path))) {
        return "damaged, truncated or unsupported video: OpenCV's video input cannot open it";
    }
    return "not an image or a video: no JPEG, PNG or HEIC photo, nor a video that OpenCV's video input can open";
}

}  // namespace

InputKind classifyInput(const std::string& path)
{
    const std::vector<unsigned char> bytes = firstBytes(path);
    if (bytes.empty()) {
        return InputKind::Photo;  // whatever is wrong, the photo's loading says it
    }
    const ImageFormat format = sniffFormat(bytes);
    if (format == ImageFormat::Jpeg && (endsWithIgnoringCase(path, ".mjpeg") || endsWithIgnoringCase(path, ".mjpg"))) {
        return InputKind::Video;
    }
    // An image of a format the reader does not read is refused as what it
    // is, not tried as a video.
    const bool image = format != ImageFormat::Unknown || !foreignImageFormat(bytes).empty();
    return image ? InputKind::Photo : InputKind::Video;
}

void configureVideoInput()
{
    // AV_LOG_QUIET: FFmpeg would print its complaints about a damaged file.
    (void)setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 1);
    // FFmpeg's demuxer names; a text file would otherwise open as a video
    // of its characters, and a playlist reach out for other files.
    (void)setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS",
                 "protocol_whitelist;file|format_whitelist;mov,avi,matroska,mjpeg,mpegts,mpeg", 1);
}

VideoSource::VideoSource(const std::string& path, int every) : step(std::max(every, 1))
{
    try {
        // "file:" so that FFmpeg takes no part of the name for a protocol.
        const std::string url = (!path.empty() && path[0] == '/' ? "file:" : "file:./") + path;
        if (!capture.open(url, cv::CAP_FFMPEG) || !capture.isOpened()) {
            failure = whyNotOpened(path);
            ended = true;
            return;
        }
        // Upright, as a phone's rotation tag says; as the EXIF orientation
        // of a photo.
        (void)capture.set(cv::CAP_PROP_ORIENTATION_AUTO, 1.0);
        const double width = capture.get(cv::CAP_PROP_FRAME_WIDTH);
        const double height = capture.get(cv::CAP_PROP_FRAME_HEIGHT);
        if (!(width >= 1.0 && height >= 1.0)) {
            failure = "the video does not give the size of its frames";
        } else if (width * height > static_cast<double>(MAX_IMAGE_PIXELS)) {
            failure = "the video's frames are " + std::to_string(std::llround(width)) + "x" +
                      std::to_string(std::llround(height)) + " pixels, more than the " +
                      std::to_string(MAX_IMAGE_PIXELS / 1'000'000) + " megapixels allowed";
        }
        if (!failure.empty()) {
            capture.release();
            ended = true;
            return;
        }
        const double fps = capture.get(cv::CAP_PROP_FPS);
        framesPerSecond = std::isfinite(fps) && fps > 0.0 ? fps : 0.0;
        const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
        declaredFrames = std::isfinite(count) && count >= 1.0 && count < 1e15 ? std::llround(count) : 0;
    } catch (const std::exception& e) {
        failure = std::string("the video cannot be opened: ") + e.what();
        ended = true;
    }
}

bool VideoSource::grabOne()
{
    if (ended) {
        return false;
    }
    bool grabbedOne = false;
    try {
        grabbedOne = capture.grab();
    } catch (const std::exception&) {
        grabbedOne = false;
    }
    if (grabbedOne) {
        ++grabbed;
        return true;
    }
    ended = true;
    // A header's count may be an estimate from the duration: a frame or
    // a percent short is not yet damage.
    const long long slack = std::max(1LL, declaredFrames / 100);
    if (grabbed == 0) {
        failure = "no frame of the video can be decoded";
    } else if (declaredFrames > 0 && grabbed < declaredFrames - slack) {
        failure = "the video ends after " + std::to_string(grabbed) + " of the " + std::to_string(declaredFrames) +
                  " frames its header declares: it is truncated or damaged";
    }
    capture.release();
    return false;
}

bool VideoSource::next(VideoFrame* frame)
{
    if (!grabEveryNth(step, grabbed, [this] { return grabOne(); })) {
        return false;
    }
    frame->index = grabbed - 1;
    // A buffer of the video's frame size handed in is decoded into, not
    // replaced.
    try {
        const double ms = capture.get(cv::CAP_PROP_POS_MSEC);
        if (std::isfinite(ms) && ms >= 0.0) {
            frame->timeS = ms / 1000.0;
        } else {
            frame->timeS = framesPerSecond > 0.0 ? static_cast<double>(frame->index) / framesPerSecond : 0.0;
        }
        if (!capture.retrieve(frame->image) || frame->image.type() != CV_8UC3) {
            frame->image.release();
        }
    } catch (const std::exception&) {
        frame->image.release();
    }
    return true;
}

}  // namespace reader
