#pragma once

#include <opencv2/videoio.hpp>

#include <atomic>
#include <chrono>
#include <string>

#include "reader/video_input.h"

namespace reader {

// Grabs the next frame to read, every step-th from the first: the frames
// between are grabbed and dropped. grabbed: frames taken so far. False at
// the end.
template <typename GrabOne>
bool grabEveryNth(int step, long long grabbed, GrabOne grabOne)
{
    for (int i = 1; grabbed > 0 && i < step; ++i) {
        if (!grabOne()) {
            return false;
        }
    }
    return grabOne();
}

// A live source that sends nothing for this long has stopped: the run ends
// with an error rather than waiting for ever.
constexpr int LIVE_TIMEOUT_MS = 5000;

// Lets OpenCV's FFmpeg input open the network streams a live source may
// be (RTSP, HTTP MJPEG, UDP and RTP, and their containers), where files
// are kept to local files only; and gives a camera device the same
// silence to wait for. Call once, after configureVideoInput and before any
// thread.
void configureLiveInput();

// Frames of a camera device or a stream as they come, every n-th, until
// stop is set, the stream ends, or nothing comes for LIVE_TIMEOUT_MS.
// A frame's time is when it came, from the first frame. Never throws.
class LiveSource {
public:
    // Opens the source, waiting at most LIVE_TIMEOUT_MS; error() tells why
    // when it cannot.
    LiveSource(const std::string& source, int every, const std::atomic<bool>* stop);

    // Why the source could not be opened, or stopped sending; empty when
    // it has not (an interrupted run, or a stream that ended).
    const std::string& error() const { return failure; }

    // The next frame to read; false at the end (see error()).
    bool next(VideoFrame* frame);

private:
    bool grabOne();

    cv::VideoCapture capture;
    int step = 1;
    const std::atomic<bool>* stopRequested;
    long long grabbed = 0;
    // Frames since a wait for data ran out its time (many: none yet).
    long long framesSinceWaitedOut = 1LL << 40;
    std::chrono::steady_clock::time_point firstFrame;
    bool ended = false;
    std::string failure;
};

}  // namespace reader
