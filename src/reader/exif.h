#pragma once

#include <cstddef>
#include <optional>

namespace reader {

// The exposure time a camera recorded in its EXIF block (ExposureTime), in
// ms; none when there is no block, no such tag, or a value that is no
// exposure (zero, negative, a zero denominator). data is a whole JPEG file,
// or an EXIF block that starts with "Exif\0\0". Never throws.
std::optional<double> exifExposureMs(const unsigned char* data, std::size_t size);

}  // namespace reader
