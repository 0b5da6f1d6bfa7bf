#include "ui/png_writer.h"

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/store_platform.h"
#include "support/paths.h"

namespace Veltrix {

bool WriteRgbaPng(const std::filesystem::path& path, const RgbaImage& image) {
    if (image.width < 1 || image.height < 1 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
        return false;
    }
    // A fresh name, created exclusively and never through a link, as the
    // stores make theirs: whatever was planted beside the target is not touched.
    std::filesystem::path temp;
    std::intptr_t handle = -1;
    int error = 0;
    for (int attempt = 0; attempt < 4 && handle == -1; ++attempt) {
        temp = path;
        temp += "." + RandomHex(8) + ".tmp";
        handle = platform::StoreCreateExclusive(temp, error);
        if (handle == -1 && !platform::StoreAlreadyExists(error)) break;
    }
    if (handle == -1) return false;
    FILE* file = ::fdopen(static_cast<int>(handle), "wb");
    if (!file) {
        platform::StoreClose(handle);
        platform::StoreRemove(temp);
        return false;
    }
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGBA;
    bool written = png_image_write_to_stdio(&png, file, 0, image.pixels.data(), 0, nullptr) != 0;
    png_image_free(&png);
    written = std::fflush(file) == 0 && written;
    written = platform::StoreFlushToDisk(handle, error) && written;
    written = std::fclose(file) == 0 && written;
    // rename() replaces a link at the destination instead of writing through it;
    // its error is kept apart so that cleaning up cannot turn it into a success.
    if (!written || platform::StoreRename(temp, path) != 0) {
        platform::StoreRemove(temp);
        return false;
    }
    return true;
}

}  // namespace Veltrix
