#include "reader/read_photo.h"

namespace reader {

PhotoReading readPhoto(const cv::Mat& /*photo*/, const ReadSettings& /*settings*/)
{
    PhotoReading reading;
    reading.error = "not read yet";
    return reading;
}

}  // namespace reader
