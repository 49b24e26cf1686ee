#include "reader/live_input.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <vector>

#include "reader/image_input.h"

namespace reader {

namespace {

bool isDevice(const std::string& source)
{
    return source.rfind("/dev/", 0) == 0;
}

// More than the frames FFmpeg's demuxer and decoder hold back (a dozen or
// so were seen from an MPEG-TS stream over UDP).
constexpr long long HELD_FRAMES = 64;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void configureLiveInput()
{
    // FFmpeg's protocol and demuxer names: what phone camera apps and
    // streaming tools send. No local files: a live source is not one.
    (void)setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS",
                 "protocol_whitelist;udp,rtp,srtp,tcp,tls,http,https,httpproxy,rtsp,rtsps,rtmp,crypto"
                 "|format_whitelist;mpegts,rtsp,rtp,sdp,mjpeg,mpjpeg,h264,hevc,flv,matroska,mov,mpeg",
                 1);
    // The camera device's wait for a frame, in seconds.
    (void)setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", std::to_string(LIVE_TIMEOUT_MS / 1000).c_str(), 1);
}

LiveSource::LiveSource(const std::string& source, int every, const std::atomic<bool>* stop)
    : step(every > 1 ? every : 1), stopRequested(stop)
{
    try {
        bool opened = false;
        if (isDevice(source)) {
            opened = capture.open(source, cv::CAP_V4L2);
        } else {
            const std::vector<int> timeouts{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, LIVE_TIMEOUT_MS,
                                            cv::CAP_PROP_READ_TIMEOUT_MSEC, LIVE_TIMEOUT_MS};
            opened = capture.open(source, cv::CAP_FFMPEG, timeouts);
        }
        if (!opened || !capture.isOpened()) {
            failure = isDevice(source) ? "the camera device cannot be opened"
                                       : "the stream cannot be opened, or sent nothing in " +
                                             std::to_string(LIVE_TIMEOUT_MS / 1000) + " s";
            ended = true;
            return;
        }
        const double width = capture.get(cv::CAP_PROP_FRAME_WIDTH);
        const double height = capture.get(cv::CAP_PROP_FRAME_HEIGHT);
        if (width * height > static_cast<double>(MAX_IMAGE_PIXELS)) {
            failure = "the source's frames are " + std::to_string(std::llround(width)) + "x" +
                      std::to_string(std::llround(height)) + " pixels, more than the " +
                      std::to_string(MAX_IMAGE_PIXELS / 1'000'000) + " megapixels allowed";
            capture.release();
            ended = true;
        }
    } catch (const std::exception& e) {
        failure = std::string("the source cannot be opened: ") + e.what();
        ended = true;
    }
}

bool LiveSource::grabOne()
{
    if (ended || stopRequested->load()) {
        ended = true;
        return false;
    }
    const auto asked = std::chrono::steady_clock::now();
    bool grabbedOne = false;
    try {
        grabbedOne = capture.grab();
    } catch (const std::exception&) {
        grabbedOne = false;
    }
    // FFmpeg's wait for data ran out: what it still holds comes out, and
    // then the end.
    const bool waitedOut = secondsSince(asked) >= 0.9 * LIVE_TIMEOUT_MS / 1000.0;
    framesSinceWaitedOut = waitedOut ? 0 : framesSinceWaitedOut + 1;
    if (grabbedOne) {
        if (grabbed == 0) {
            firstFrame = std::chrono::steady_clock::now();
        }
        ++grabbed;
        return true;
    }
    ended = true;
    // A stream that ends says so at once; one that stops sending, only when
    // the wait runs out. Either is the end after a signal.
    if (!stopRequested->load() && framesSinceWaitedOut <= HELD_FRAMES) {
        failure = "nothing came for " + std::to_string(LIVE_TIMEOUT_MS / 1000) + " s " +
                  (grabbed == 0 ? "from the source" : "after " + std::to_string(grabbed) + " frames") +
                  ": it stopped sending";
    } else if (!stopRequested->load() && grabbed == 0) {
        failure = "the source ended before its first frame";
    }
    capture.release();
    return false;
}

bool LiveSource::next(VideoFrame* frame)
{
    if (!grabEveryNth(step, grabbed, [this] { return grabOne(); })) {
        return false;
    }
    frame->index = grabbed - 1;
    frame->timeS = secondsSince(firstFrame);
    frame->picture.release();
    frame->image.release();
    try {
        if (!capture.retrieve(frame->image) || frame->image.type() != CV_8UC3) {
            frame->image.release();
        }
        frame->whole = !frame->image.empty();
    } catch (const std::exception&) {
        frame->image.release();
    }
    return true;
}

}  // namespace reader
