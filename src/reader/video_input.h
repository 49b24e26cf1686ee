#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace reader {

// What an input file is taken for, from its first bytes: a photo when they
// are a JPEG's, a PNG's or a HEIF's, or another image format's (which the
// photo's loading refuses by name), or when the file cannot be read at all
// (which the photo's loading explains); otherwise a video. A JPEG named .mjpeg or .mjpg is a stream of JPEG
// frames, a video.
enum class InputKind { Photo, Video };
InputKind classifyInput(const std::string& path);

// Sets how videos are opened: nothing printed by FFmpeg (a failure is this
// program's error line), and, through the environment variables OpenCV's
// video input reads for a live source, the same. Call once at the start of
// main, before any thread.
void configureVideoInput();

// A frame as the video's codec decoded it (YUV, mostly), turned into BGR
// only where it is read: converting a whole 1920x1080 frame costs as much
// as decoding it. Move-only; one thread at a time.
class DecodedPicture {
public:
    DecodedPicture();
    ~DecodedPicture();
    DecodedPicture(DecodedPicture&& other) noexcept;
    DecodedPicture& operator=(DecodedPicture&& other) noexcept;

    bool empty() const;
    // Writes the picture's pixels in region (upright, clipped to the
    // picture; all of it when region is empty), and perhaps a few around
    // it, into *bgr, made the picture's size (BGR, 8 bits) when it is not;
    // the rest of *bgr is left as it was. False, and *bgr released, when
    // the picture's pixel format cannot be converted.
    bool toBgr(cv::Rect region, cv::Mat* bgr);
    void release();

private:
    friend class VideoSource;
    struct Parts;
    std::unique_ptr<Parts> parts;
};

// One decoded frame of a video.
struct VideoFrame {
    // Counted from 0, the video's first frame.
    long long index = 0;
    // From the video's start, by the frame's timestamp.
    double timeS = 0.0;
    // BGR, 8 bits, upright: the whole frame when `whole`, else only the
    // parts of picture that were asked for (see frameToBgr).
    cv::Mat image;
    bool whole = false;
    // The frame as decoded, while image does not yet hold all of it.
    DecodedPicture picture;
};

// Makes frame->image hold at least region of the frame (all of it when
// region is empty). False when the frame holds no picture to convert.
bool frameToBgr(VideoFrame* frame, cv::Rect region = {});

// A video file's frames in order, every n-th from the first, decoded by
// FFmpeg's libraries. Never throws.
class VideoSource {
public:
    // Opens the video; error() tells why when it cannot.
    VideoSource(const std::string& path, int every);
    ~VideoSource();
    VideoSource(const VideoSource&) = delete;
    VideoSource& operator=(const VideoSource&) = delete;

    const std::string& error() const { return failure; }
    double fps() const { return framesPerSecond; }

    // The next frame to read, skipping every - 1 after each; false at the
    // end of the video, or when it ends early (see error()). The frame's
    // picture is decoded, not converted: frameToBgr does that. frame's
    // buffers are reused.
    bool next(VideoFrame* frame);

private:
    struct Decoder;
    bool grabOne(DecodedPicture* into);

    std::unique_ptr<Decoder> decoder;
    int step = 1;
    double framesPerSecond = 0.0;
    // As the video's header declares it; 0 when it does not say.
    long long declaredFrames = 0;
    // Frames taken from the video so far, read or skipped.
    long long grabbed = 0;
    bool ended = false;
    std::string failure;
    // The frames --every drops are decoded into this one.
    DecodedPicture skipped;
};

}  // namespace reader
