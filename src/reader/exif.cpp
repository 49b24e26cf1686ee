#include "reader/exif.h"

#include <libexif/exif-data.h>

#include <climits>
#include <cmath>
#include <memory>

namespace reader {

std::optional<double> exifExposureMs(const unsigned char* data, std::size_t size)
{
    if (data == nullptr || size == 0 || size > UINT_MAX) {
        return std::nullopt;
    }
    // Of a JPEG, libexif finds the APP1 segment among the markers itself.
    const std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(
        exif_data_new_from_data(data, static_cast<unsigned int>(size)), &exif_data_unref);
    if (!exif) {
        return std::nullopt;
    }
    ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_EXIF], EXIF_TAG_EXPOSURE_TIME);
    if (entry == nullptr) {
        entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_EXPOSURE_TIME);
    }
    if (entry == nullptr || entry->format != EXIF_FORMAT_RATIONAL || entry->components < 1 || entry->data == nullptr ||
        entry->size < exif_format_get_size(EXIF_FORMAT_RATIONAL)) {
        return std::nullopt;
    }
    const ExifRational value = exif_get_rational(entry->data, exif_data_get_byte_order(exif.get()));
    if (value.numerator == 0 || value.denominator == 0) {
        return std::nullopt;
    }
    const double ms = 1000.0 * static_cast<double>(value.numerator) / static_cast<double>(value.denominator);
    return std::isfinite(ms) ? std::optional<double>(ms) : std::nullopt;
}

}  // namespace reader
