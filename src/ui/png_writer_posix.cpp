#include "ui/png_writer.h"

#include <png.h>

#include <cstring>
#include <system_error>

namespace Veltrix {

bool WriteRgbaPng(const std::filesystem::path& path, const RgbaImage& image) {
    if (image.width < 1 || image.height < 1 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
        return false;
    }
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGBA;
    std::filesystem::path temp = path;
    temp += ".tmp";
    const bool written = png_image_write_to_file(&png, temp.c_str(), 0, image.pixels.data(), 0, nullptr) != 0;
    png_image_free(&png);
    std::error_code ec;
    if (!written) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    // rename() replaces a link at the destination instead of writing through it.
    std::filesystem::rename(temp, path, ec);
    if (ec) std::filesystem::remove(temp, ec);
    return !ec;
}

}  // namespace Veltrix
