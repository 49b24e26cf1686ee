#include "test_images.h"

#include <opencv2/imgcodecs.hpp>

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

}  // namespace test_images
