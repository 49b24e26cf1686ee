#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Pictures and files for the reader's tests, made on the spot.
namespace test_images {

// Uniform noise, BGR.
cv::Mat noise(int width, int height, unsigned seed);

// ".jpg" or ".png", as OpenCV writes them.
std::vector<unsigned char> encode(const cv::Mat& image, const std::string& extension,
                                  const std::vector<int>& parameters = {});

// The JPEG with an EXIF APP1 segment right after SOI whose IFD0 holds the
// given orientation tag, as phones write it.
std::vector<unsigned char> withExifOrientation(const std::vector<unsigned char>& jpeg, int orientation);

// An EXIF APP1 segment (marker included) holding these bytes after the
// "Exif\0\0" header, inserted right after SOI.
std::vector<unsigned char> withApp1(const std::vector<unsigned char>& jpeg, const std::vector<unsigned char>& tiff);

// A video of uniform frames, one per grey level given (0..255), written by
// OpenCV: "MJPG" (in .avi) or "mp4v" (in .mp4). Throws when it cannot.
void writeGreyVideo(const std::string& path, const std::string& fourcc, const std::vector<int>& levels, double fps,
                    cv::Size size = cv::Size(64, 48));

// The texts of an SVG's <text> elements, with character references decoded
// (PLplot writes every character as one).
std::vector<std::string> svgTexts(const std::string& svg);

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> readFile(const std::string& path);
// Offset of a JPEG's first SOF marker (its 0xFF), walking the segments
// after SOI; throws when there is none.
std::size_t startOfFrame(const std::vector<unsigned char>& jpeg);
// The JPEG with its frame header declaring another size.
std::vector<unsigned char> withJpegSize(std::vector<unsigned char> jpeg, unsigned width, unsigned height);

// The same as text; empty when there is no such file.
std::string readText(const std::string& path);

// A fresh directory for one test, removed with everything in it.
// The lines of a program's output, without their newlines.
std::vector<std::string> linesOf(const std::string& text);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&&) = delete;
    TempDir& operator=(TempDir&&) = delete;

    const std::string& path() const { return root; }
    std::string file(const std::string& name) const { return root + "/" + name; }

private:
    std::string root;
};

}  // namespace test_images
