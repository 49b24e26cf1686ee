#pragma once

#include <vector>

#include "reader/image_input.h"

namespace reader {

// A HEIF still image (HEIC, as phones save photos; AVIF) from the first
// bytes: an ftyp box naming one of HEIF's image brands. Videos in MP4 and
// MOV have an ftyp box too, with other brands.
bool isHeif(const std::vector<unsigned char>& bytes);

// Walks the file's top-level boxes, then has libheif parse the description
// of its primary image, decoding nothing: a truncated or damaged file, and
// one that declares more than MAX_IMAGE_PIXELS, are refused here.
ImageCheck inspectHeif(const std::vector<unsigned char>& bytes);

// inspectHeif, then libheif's decoder: 8-bit BGR, turned as the file's own
// rotation and mirror properties say (libheif applies them; an EXIF
// orientation is not a HEIF's to follow), with the EXIF exposure time.
// Never throws.
LoadedImage decodeHeif(const std::vector<unsigned char>& bytes);

}  // namespace reader
