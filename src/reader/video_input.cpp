#include "reader/video_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

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
    if (looksLikeVideoContainer(firstBytes(path))) {
        return "damaged, truncated or unsupported video: FFmpeg cannot open it";
    }
    return "not an image or a video: no JPEG, PNG or HEIC photo, nor a video that FFmpeg can open";
}

// FFmpeg's error code as words.
std::string ffmpegError(int code)
{
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    (void)av_strerror(code, text.data(), text.size());
    return text.data();
}

// The quarter turns clockwise (0 to 3) that show the frames upright, from
// the display matrix (which gives its turn counterclockwise): what a phone
// filming upright writes rather than turning its frames. FFmpeg's own
// player turns them the same way.
int quarterTurns(const AVStream* stream)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): FFmpeg hands side data as bytes
    const auto* matrix =
        reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr) {
        return 0;
    }
    const double counterclockwise = av_display_rotation_get(matrix);
    if (!std::isfinite(counterclockwise)) {
        return 0;
    }
    const long turns = std::lround(-counterclockwise / 90.0) % 4;
    return static_cast<int>(turns < 0 ? turns + 4 : turns);
}

// Consecutive packets FFmpeg may refuse before the video counts as ended:
// a damaged stretch is skipped, a file of garbage is not read to its end.
constexpr int MOST_BAD_PACKETS = 512;

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
    // FFmpeg would print its complaints about a damaged file.
    av_log_set_level(AV_LOG_QUIET);
    (void)setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 1);
}

namespace {

// FFmpeg's own ways of freeing what it allocates, for unique_ptr.
struct FreeFrame {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreeConverter {
    void operator()(SwsContext* converter) const { sws_freeContext(converter); }
};
struct FreePacket {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FreeCodec {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct CloseInput {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};

}  // namespace

struct DecodedPicture::Parts {
    std::unique_ptr<AVFrame, FreeFrame> frame{av_frame_alloc()};
    std::unique_ptr<SwsContext, FreeConverter> converter;
    int quarterTurns = 0;
    // A turned frame is converted whole, then turned.
    cv::Mat unturned;
};

DecodedPicture::DecodedPicture() = default;
DecodedPicture::~DecodedPicture() = default;
DecodedPicture::DecodedPicture(DecodedPicture&& other) noexcept = default;
DecodedPicture& DecodedPicture::operator=(DecodedPicture&& other) noexcept = default;

bool DecodedPicture::empty() const
{
    return parts == nullptr || parts->frame == nullptr || parts->frame->data[0] == nullptr;
}

void DecodedPicture::release()
{
    if (parts != nullptr && parts->frame != nullptr) {
        av_frame_unref(parts->frame.get());
    }
}

namespace {

// Where region of the frame begins in each of its planes, and the region
// widened to whole chroma samples; false when the pixel format's planes
// cannot be cut so (a palette, bits packed across bytes, a hardware frame).
bool cutPlanes(const AVFrame& frame, cv::Rect* region, std::array<const std::uint8_t*, 4>* planes)
{
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (format == nullptr ||
        (format->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)) != 0) {
        return false;
    }
    const int alignX = 1 << format->log2_chroma_w;
    const int alignY = 1 << format->log2_chroma_h;
    const int left = region->x / alignX * alignX;
    const int top = region->y / alignY * alignY;
    // Rounded up to whole samples, but never past the frame.
    const int right = std::min(frame.width, (region->x + region->width + alignX - 1) / alignX * alignX);
    const int bottom = std::min(frame.height, (region->y + region->height + alignY - 1) / alignY * alignY);
    *region = cv::Rect(left, top, right - left, bottom - top);
    planes->fill(nullptr);
    for (int c = format->nb_components - 1; c >= 0; --c) {
        const AVComponentDescriptor& component = format->comp[c];
        const bool chroma = (c == 1 || c == 2) && (format->flags & AV_PIX_FMT_FLAG_RGB) == 0;
        const int x = chroma ? left >> format->log2_chroma_w : left;
        const int y = chroma ? top >> format->log2_chroma_h : top;
        // A plane shared by several components starts where its first one does.
        (*planes)[static_cast<std::size_t>(component.plane)] =
            frame.data[component.plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[component.plane] +
            static_cast<std::ptrdiff_t>(x) * component.step;
    }
    return true;
}

}  // namespace

bool DecodedPicture::toBgr(cv::Rect region, cv::Mat* bgr)
{
    if (empty()) {
        bgr->release();
        return false;
    }
    const AVFrame& frame = *parts->frame;
    const cv::Rect all(0, 0, frame.width, frame.height);
    const bool turned = parts->quarterTurns != 0;
    region &= all;
    // Nothing of it inside (a video whose frames changed size): all of it.
    if (region.empty() || turned) {
        region = all;
    }
    std::array<const std::uint8_t*, 4> planes{};
    if (!cutPlanes(frame, &region, &planes)) {
        bgr->release();
        return false;
    }
    // Converted as OpenCV's own video input converts a frame: the pixels
    // come out the same.
    // sws_getCachedContext frees the context it is given when it makes another.
    parts->converter.reset(sws_getCachedContext(parts->converter.release(), region.width, region.height,
                                                static_cast<AVPixelFormat>(frame.format), region.width, region.height,
                                                AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (parts->converter == nullptr) {
        bgr->release();
        return false;
    }
    cv::Mat& target = turned ? parts->unturned : *bgr;
    target.create(frame.height, frame.width, CV_8UC3);
    std::array<std::uint8_t*, 4> out{target.ptr<std::uint8_t>(region.y) + static_cast<std::ptrdiff_t>(region.x) * 3};
    const std::array<int, 4> outStep{static_cast<int>(target.step[0])};
    (void)sws_scale(parts->converter.get(), planes.data(), frame.linesize, 0, region.height, out.data(),
                    outStep.data());
    if (turned) {
        static constexpr std::array<cv::RotateFlags, 3> TURNS{cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180,
                                                              cv::ROTATE_90_COUNTERCLOCKWISE};
        cv::rotate(parts->unturned, *bgr, TURNS[static_cast<std::size_t>(parts->quarterTurns - 1)]);
    }
    return true;
}

bool frameToBgr(VideoFrame* frame, cv::Rect region)
{
    if (frame->whole) {
        return true;
    }
    if (!frame->picture.toBgr(region, &frame->image)) {
        return false;
    }
    frame->whole = region.empty() || (region & cv::Rect({}, frame->image.size())) == cv::Rect({}, frame->image.size());
    if (frame->whole) {
        frame->picture.release();
    }
    return true;
}

// The demuxer and decoder of one video stream.
struct VideoSource::Decoder {
    std::unique_ptr<AVFormatContext, CloseInput> format;
    std::unique_ptr<AVCodecContext, FreeCodec> codec;
    std::unique_ptr<AVPacket, FreePacket> packet{av_packet_alloc()};
    AVStream* stream = nullptr;
    int quarterTurns = 0;
    bool draining = false;

    // The stream's next frame into *frame; false at its end.
    bool decode(AVFrame* frame)
    {
        int badPackets = 0;
        for (;;) {
            const int received = avcodec_receive_frame(codec.get(), frame);
            // A frame past the size allowed is damage, not a picture to
            // convert.
            const bool tooLarge = received == 0 && static_cast<double>(frame->width) * frame->height >
                                                       static_cast<double>(MAX_IMAGE_PIXELS);
            if (received == 0 && !tooLarge) {
                return true;
            }
            if (received == AVERROR_EOF) {
                return false;
            }
            if (received != AVERROR(EAGAIN)) {
                // A frame that could not be decoded, or too large: the next
                // may do.
                av_frame_unref(frame);
                if (++badPackets > MOST_BAD_PACKETS) {
                    return false;
                }
                continue;
            }
            if (draining) {
                return false;
            }
            if (av_read_frame(format.get(), packet.get()) < 0) {
                // The end, or what cannot be read past: the frames still
                // inside the decoder come out.
                draining = avcodec_send_packet(codec.get(), nullptr) == 0;
                if (!draining) {
                    return false;
                }
                continue;
            }
            if (packet->stream_index == stream->index) {
                if (avcodec_send_packet(codec.get(), packet.get()) < 0) {
                    ++badPackets;
                } else {
                    badPackets = 0;
                }
            }
            av_packet_unref(packet.get());
            if (badPackets > MOST_BAD_PACKETS) {
                return false;
            }
        }
    }
};

VideoSource::VideoSource(const std::string& path, int every) : step(std::max(every, 1))
{
    auto opened = std::make_unique<Decoder>();
    // "file:" so that FFmpeg takes no part of the name for a protocol; only
    // local files (a playlist cannot make it fetch URLs), and only the
    // containers of camera videos (a text file would otherwise open as a
    // video of its characters).
    const std::string url = (!path.empty() && path[0] == '/' ? "file:" : "file:./") + path;
    AVDictionary* options = nullptr;
    (void)av_dict_set(&options, "protocol_whitelist", "file", 0);
    (void)av_dict_set(&options, "format_whitelist", "mov,avi,matroska,mjpeg,mpegts,mpeg", 0);
    AVFormatContext* format = nullptr;
    const int openedInput = avformat_open_input(&format, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    opened->format.reset(format);
    const AVCodec* codec = nullptr;
    const int best = openedInput < 0 || avformat_find_stream_info(format, nullptr) < 0
                         ? -1
                         : av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (best < 0 || codec == nullptr) {
        failure = whyNotOpened(path);
        ended = true;
        return;
    }
    opened->stream = format->streams[best];
    const AVCodecParameters& parameters = *opened->stream->codecpar;
    opened->codec.reset(avcodec_alloc_context3(codec));
    if (opened->packet == nullptr || opened->codec == nullptr ||
        avcodec_parameters_to_context(opened->codec.get(), &parameters) < 0) {
        failure = "the video cannot be opened: out of memory";
        ended = true;
        return;
    }
    // A thread a core, as OpenCV's video input decodes.
    opened->codec->thread_count = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    const int openedCodec = avcodec_open2(opened->codec.get(), codec, nullptr);
    if (openedCodec < 0) {
        failure = "damaged, truncated or unsupported video: FFmpeg cannot decode its " +
                  std::string(avcodec_get_name(parameters.codec_id)) + " frames (" + ffmpegError(openedCodec) + ")";
        ended = true;
        return;
    }
    const double width = parameters.width;
    const double height = parameters.height;
    if (!(width >= 1.0 && height >= 1.0)) {
        failure = "the video does not give the size of its frames";
    } else if (width * height > static_cast<double>(MAX_IMAGE_PIXELS)) {
        failure = "the video's frames are " + std::to_string(std::llround(width)) + "x" +
                  std::to_string(std::llround(height)) + " pixels, more than the " +
                  std::to_string(MAX_IMAGE_PIXELS / 1'000'000) + " megapixels allowed";
    }
    if (!failure.empty()) {
        ended = true;
        return;
    }
    // Upright, as a phone's rotation tag says; as the EXIF orientation
    // of a photo.
    opened->quarterTurns = quarterTurns(opened->stream);
    const double fps = av_q2d(av_guess_frame_rate(format, opened->stream, nullptr));
    framesPerSecond = std::isfinite(fps) && fps > 0.0 ? fps : 0.0;
    auto count = static_cast<double>(opened->stream->nb_frames);
    if (count < 1.0 && format->duration > 0) {
        // Estimated from the duration, as the header gives no count.
        count = std::floor(static_cast<double>(format->duration) / AV_TIME_BASE * framesPerSecond + 0.5);
    }
    declaredFrames = std::isfinite(count) && count >= 1.0 && count < 1e15 ? std::llround(count) : 0;
    decoder = std::move(opened);
}

VideoSource::~VideoSource() = default;

bool VideoSource::grabOne(DecodedPicture* into)
{
    if (ended) {
        return false;
    }
    if (into->parts == nullptr) {
        into->parts = std::make_unique<DecodedPicture::Parts>();
    }
    into->parts->quarterTurns = decoder->quarterTurns;
    if (into->parts->frame != nullptr && decoder->decode(into->parts->frame.get())) {
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
    decoder.reset();
    return false;
}

bool VideoSource::next(VideoFrame* frame)
{
    frame->whole = false;
    // The frames between are decoded (the next ones need them), not kept.
    for (int i = 1; grabbed > 0 && i < step; ++i) {
        if (!grabOne(&skipped)) {
            return false;
        }
    }
    if (!grabOne(&frame->picture)) {
        return false;
    }
    frame->index = grabbed - 1;
    const AVFrame& decoded = *frame->picture.parts->frame;
    const std::int64_t pts = decoded.best_effort_timestamp;
    const std::int64_t start = decoder->stream->start_time;
    if (pts != AV_NOPTS_VALUE) {
        frame->timeS =
            static_cast<double>(pts - (start != AV_NOPTS_VALUE ? start : 0)) * av_q2d(decoder->stream->time_base);
    } else {
        frame->timeS = framesPerSecond > 0.0 ? static_cast<double>(frame->index) / framesPerSecond : 0.0;
    }
    return true;
}

}  // namespace reader
