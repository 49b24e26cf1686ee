#include "test_images.h"
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test_images {

cv::Mat noise(int width, int height, unsigned seed)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

std::vector<unsigned char> encode(const cv::Mat& image, const std::string& extension,
                                  const std::vector<int>& parameters)
{
    std::vector<unsigned char> bytes;
    if (!cv::imencode(extension, image, bytes, parameters)) {
        throw std::runtime_error("cannot encode " + extension);
    }
    return bytes;
}

std::vector<unsigned char> withApp1(const std::vector<unsigned char>& jpeg, const std::vector<unsigned char>& tiff)
{
    std::vector<unsigned char> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    const std::size_t length = segment.size() - 2;
    segment[2] = static_cast<unsigned char>(length >> 8U);
    segment[3] = static_cast<unsigned char>(length & 0xFFU);
    std::vector<unsigned char> out = jpeg;
    out.insert(out.begin() + 2, segment.begin(), segment.end());
    return out;
}

std::vector<unsigned char> withExifOrientation(const std::vector<unsigned char>& jpeg, int orientation)
{
    // Little-endian TIFF header, IFD0 at offset 8 with one entry: tag 0x0112
    // (Orientation), type SHORT, count 1, the value; no next IFD.
    const std::vector<unsigned char> tiff = {'I',  'I',  0x2A, 0, 8, 0, 0, 0,  //
                                             1,    0,                          //
                                             0x12, 0x01, 3,    0, 1, 0, 0, 0, static_cast<unsigned char>(orientation),
                                             0,    0,    0,  //
                                             0,    0,    0,    0};
    return withApp1(jpeg, tiff);
}

void writeGreyVideo(const std::string& path, const std::string& fourcc, const std::vector<int>& levels, double fps,
                    cv::Size size)
{
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]),
                           fps, size);
    if (!writer.isOpened()) {
        throw std::runtime_error("OpenCV cannot write the video " + path);
    }
    for (const int level : levels) {
        writer.write(cv::Mat(size, CV_8UC3, cv::Scalar::all(level)));
    }
}

std::vector<std::string> svgTexts(const std::string& svg)
{
    std::vector<std::string> texts;
    size_t at = 0;
    while ((at = svg.find("<text", at)) != std::string::npos) {
        const size_t end = svg.find("</text>", at);
        if (end == std::string::npos) {
            break;
        }
        std::string text;
        bool inTag = false;
        for (size_t i = svg.find('>', at) + 1; i < end; ++i) {
            const char c = svg[i];
            if (c == '<') {
                inTag = true;
            } else if (c == '>') {
                inTag = false;
            } else if (!inTag && c == '&' && svg.compare(i, 3, "&#x") == 0) {
                const size_t semicolon = svg.find(';', i);
                const unsigned long code = std::stoul(svg.substr(i + 3, semicolon - i - 3), nullptr, 16);
                if (code < 0x80) {
                    text += static_cast<char>(code);
                } else {
                    text += '?';
                }
                i = semicolon;
            } else if (!inTag) {
                text += c;
            }
        }
        texts.push_back(text);
        at = end;
    }
    return texts;
}

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<unsigned char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t startOfFrame(const std::vector<unsigned char>& jpeg)
{
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        const unsigned marker = jpeg[pos + 1];
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            return pos;
        }
        pos += 2 + ((std::size_t{jpeg[pos + 2]} << 8U) | jpeg[pos + 3]);
    }
    throw std::runtime_error("no SOF");
}

std::vector<unsigned char> withJpegSize(std::vector<unsigned char> jpeg, unsigned width, unsigned height)
{
    const std::size_t sof = startOfFrame(jpeg);
    jpeg[sof + 5] = static_cast<unsigned char>(height >> 8U);
    jpeg[sof + 6] = static_cast<unsigned char>(height & 0xFFU);
    jpeg[sof + 7] = static_cast<unsigned char>(width >> 8U);
    jpeg[sof + 8] = static_cast<unsigned char>(width & 0xFFU);
    return jpeg;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vesmira-read-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    root = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace test_images
