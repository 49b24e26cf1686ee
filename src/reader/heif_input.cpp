#include "reader/heif_input.h"

#include <libheif/heif.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "reader/exif.h"

namespace reader {

namespace {

using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using Handle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;
using Image = std::unique_ptr<heif_image, decltype(&heif_image_release)>;
using DecodingOptions = std::unique_ptr<heif_decoding_options, decltype(&heif_decoding_options_free)>;

// Still images and their sequences, HEVC (HEIC) and AV1 (AVIF); mif1 is
// HEIF's own brand, which any of them may carry.
constexpr std::array<const char*, 10> IMAGE_BRANDS = {"heic", "heix", "heim", "heis", "hevc",
                                                      "hevx", "mif1", "msf1", "avif", "avis"};
// Far more than any camera's EXIF block, which a JPEG bounds to 64 kB.
constexpr std::size_t MAX_EXIF_BYTES = std::size_t{16} << 20U;

std::uint64_t readBig(const unsigned char* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8U) | p[i];
    }
    return value;
}

bool isImageBrand(const unsigned char* brand)
{
    return std::any_of(IMAGE_BRANDS.begin(), IMAGE_BRANDS.end(),
                       [brand](const char* name) { return std::memcmp(brand, name, 4) == 0; });
}

// "AVIF" or "HEIC", for the sentences about the file.
std::string nameOf(const std::vector<unsigned char>& bytes)
{
    const bool avif =
        bytes.size() >= 12 && (std::memcmp(&bytes[8], "avif", 4) == 0 || std::memcmp(&bytes[8], "avis", 4) == 0);
    return avif ? "AVIF" : "HEIC";
}

ImageCheck failed(ImageCheck check, std::string error)
{
    check.error = std::move(error);
    return check;
}

// A truncated file is told by its top-level boxes: the last one ends past
// the file's end. libheif alone would find it only when it decodes.
std::string checkBoxes(const std::vector<unsigned char>& bytes, const std::string& name)
{
    std::string truncated = "truncated " + name + ": the file ends before the image does";
    const std::size_t size = bytes.size();
    bool sawMeta = false;
    for (std::size_t pos = 0; pos < size;) {
        if (size - pos < 8) {
            return truncated;
        }
        std::uint64_t length = readBig(&bytes[pos], 4);
        std::uint64_t header = 8;
        if (length == 1) {
            if (size - pos < 16) {
                return truncated;
            }
            length = readBig(&bytes[pos + 8], 8);
            header = 16;
        } else if (length == 0) {
            length = size - pos;  // to the end of the file
        }
        if (length < header) {
            return "damaged " + name + ": a box of impossible length at byte " + std::to_string(pos);
        }
        if (length > size - pos) {
            return truncated;
        }
        sawMeta = sawMeta || std::memcmp(&bytes[pos + 4], "meta", 4) == 0;
        pos += static_cast<std::size_t>(length);
    }
    return sawMeta ? std::string() : "damaged " + name + ": it does not describe an image (no meta box)";
}

// A sentence for what libheif reports.
std::string describe(const heif_error& error, const std::string& name)
{
    const std::string message = error.message != nullptr ? error.message : "no reason given";
    switch (error.code) {
        case heif_error_Memory_allocation_error:
            return "out of memory decoding it";
        case heif_error_Unsupported_filetype:
        case heif_error_Unsupported_feature:
        case heif_error_Plugin_loading_error:
            return "a " + name + " photo that this build of libheif cannot decode: " + message;
        case heif_error_Invalid_input:
            if (error.subcode == heif_suberror_End_of_data) {
                return "truncated " + name + ": " + message;
            }
            break;
        default:
            break;
    }
    return "damaged " + name + ": " + message;
}

struct OpenedHeif {
    Context context{nullptr, &heif_context_free};
    Handle handle{nullptr, &heif_image_handle_release};
    ImageCheck check;
};

OpenedHeif openHeif(const std::vector<unsigned char>& bytes)
{
    OpenedHeif opened;
    opened.check.format = ImageFormat::Heif;
    const std::string name = nameOf(bytes);
    std::string error = checkBoxes(bytes, name);
    if (!error.empty()) {
        opened.check = failed(opened.check, std::move(error));
        return opened;
    }
    opened.context.reset(heif_context_alloc());
    if (!opened.context) {
        opened.check = failed(opened.check, "out of memory decoding it");
        return opened;
    }
    heif_error status =
        heif_context_read_from_memory_without_copy(opened.context.get(), bytes.data(), bytes.size(), nullptr);
    heif_image_handle* handle = nullptr;
    if (status.code == heif_error_Ok) {
        status = heif_context_get_primary_image_handle(opened.context.get(), &handle);
    }
    opened.handle.reset(handle);
    if (status.code != heif_error_Ok || !opened.handle) {
        opened.check = failed(opened.check, describe(status, name));
        return opened;
    }
    // The size shown, rotation applied: the same number of pixels.
    opened.check.width = heif_image_handle_get_width(handle);
    opened.check.height = heif_image_handle_get_height(handle);
    if (opened.check.width <= 0 || opened.check.height <= 0) {
        opened.check = failed(opened.check, "damaged " + name + ": its header does not give the image's size");
    } else if (static_cast<long long>(opened.check.width) * opened.check.height > MAX_IMAGE_PIXELS) {
        opened.check = failed(opened.check, tooManyPixels(opened.check.width, opened.check.height));
    }
    return opened;
}

// The exposure in the image's EXIF block, if it has one. HEIF puts four
// bytes before the block: the offset of its TIFF header from their end.
std::optional<double> exposureOf(const heif_image_handle* handle)
{
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1) {
        return std::nullopt;
    }
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size < 4 || size > MAX_EXIF_BYTES) {
        return std::nullopt;
    }
    std::vector<unsigned char> block(size);
    if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) {
        return std::nullopt;
    }
    const std::uint64_t tiff = 4 + readBig(block.data(), 4);
    if (tiff >= size) {
        return std::nullopt;
    }
    // libexif takes a block that starts with the header JPEG's APP1 has.
    std::vector<unsigned char> exif = {'E', 'x', 'i', 'f', 0, 0};
    exif.insert(exif.end(), block.begin() + static_cast<std::ptrdiff_t>(tiff), block.end());
    return exifExposureMs(exif.data(), exif.size());
}

}  // namespace

bool isHeif(const std::vector<unsigned char>& bytes)
{
    if (bytes.size() < 12 || std::memcmp(&bytes[4], "ftyp", 4) != 0) {
        return false;
    }
    if (isImageBrand(&bytes[8])) {
        return true;
    }
    // The compatible brands, after the minor version, to the box's end.
    const std::size_t end = std::min<std::size_t>(bytes.size(), readBig(bytes.data(), 4));
    for (std::size_t pos = 16; pos + 4 <= end; pos += 4) {
        if (isImageBrand(&bytes[pos])) {
            return true;
        }
    }
    return false;
}

ImageCheck inspectHeif(const std::vector<unsigned char>& bytes)
{
    try {
        return openHeif(bytes).check;
    } catch (const std::bad_alloc&) {
        ImageCheck check;
        check.format = ImageFormat::Heif;
        return failed(check, "out of memory decoding it");
    }
}

LoadedImage decodeHeif(const std::vector<unsigned char>& bytes)
{
    LoadedImage loaded;
    const std::string name = nameOf(bytes);
    try {
        const OpenedHeif opened = openHeif(bytes);
        if (!opened.check.error.empty()) {
            loaded.error = opened.check.error;
            return loaded;
        }
        const DecodingOptions options(heif_decoding_options_alloc(), &heif_decoding_options_free);
        if (!options) {
            loaded.error = "out of memory decoding it";
            return loaded;
        }
        options->convert_hdr_to_8bit = 1;  // 10-bit HEICs too
        heif_image* decoded = nullptr;
        const heif_error status = heif_decode_image(opened.handle.get(), &decoded, heif_colorspace_RGB,
                                                    heif_chroma_interleaved_RGB, options.get());
        const Image image(decoded, &heif_image_release);
        if (status.code != heif_error_Ok || !image) {
            loaded.error = describe(status, name);
            return loaded;
        }
        int stride = 0;
        const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
        const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
        const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
        if (plane == nullptr || width != opened.check.width || height != opened.check.height ||
            heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
            loaded.error = "damaged " + name + ": its image data is not of the size or depth its header declares";
            return loaded;
        }
        // The decoder's plane as it is; one conversion makes the BGR picture.
        const cv::Mat rgb(height, width, CV_8UC3, const_cast<std::uint8_t*>(plane), static_cast<std::size_t>(stride));
        cv::cvtColor(rgb, loaded.image, cv::COLOR_RGB2BGR);
        loaded.exposureMs = exposureOf(opened.handle.get());
    } catch (const cv::Exception& e) {
        loaded.image.release();
        loaded.error = "the " + name + " cannot be decoded: " + e.err;
    } catch (const std::bad_alloc&) {
        loaded.image.release();
        loaded.error = "out of memory decoding it";
    }
    return loaded;
}

}  // namespace reader
