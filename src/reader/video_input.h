#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

namespace reader {

// What an input file is taken for, from its first bytes: a photo when they
// are a JPEG's, a PNG's or a HEIF's, or another image format's (which the
// photo's loading refuses by name), or when the file cannot be read at all
// (which the photo's loading explains); otherwise a video to be opened by
// OpenCV's video input. A JPEG named .mjpeg or .mjpg is a stream of JPEG
// frames, a video.
enum class InputKind { Photo, Video };
InputKind classifyInput(const std::string& path);

// Sets, through the environment variables OpenCV reads, how its FFmpeg
// video input opens files: nothing printed (a failure is this program's
// error line), local files only (a playlist cannot make it fetch URLs), and
// only the containers of camera videos (MP4, MOV, AVI, Matroska, MJPEG,
// MPEG streams). Call once at the start of main, before any thread.
void configureVideoInput();

// One decoded frame of a video.
struct VideoFrame {
    // Counted from 0, the video's first frame.
    long long index = 0;
    // From the video's start, by the frame's timestamp.
    double timeS = 0.0;
    // BGR, 8 bits, upright; empty when this frame could not be decoded.
    cv::Mat image;
};

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

// A video's frames in order, every n-th from the first. Never throws.
class VideoSource {
public:
    // Opens the video; error() tells why when it cannot.
    VideoSource(const std::string& path, int every);

    const std::string& error() const { return failure; }
    double fps() const { return framesPerSecond; }

    // The next frame to read, skipping every - 1 after each; false at the
    // end of the video, or when it ends early (see error()). frame->image,
    // when it holds a buffer no one else shares, is decoded into.
    bool next(VideoFrame* frame);

private:
    bool grabOne();

    cv::VideoCapture capture;
    int step = 1;
    double framesPerSecond = 0.0;
    // As the video's header declares it; 0 when it does not say.
    long long declaredFrames = 0;
    // Frames taken from the video so far, read or skipped.
    long long grabbed = 0;
    bool ended = false;
    std::string failure;
};

}  // namespace reader
