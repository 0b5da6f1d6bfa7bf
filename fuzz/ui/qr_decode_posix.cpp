#include <zbar.h>

#include <cstdint>

#include "qr_decode.h"

namespace Veltrix::fuzzing {

std::optional<std::vector<std::string>> DecodeQr(const RgbaImage& image) {
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(image.width) * image.height);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = image.pixels[i * 4];
    zbar::zbar_image_scanner_t* scanner = zbar::zbar_image_scanner_create();
    zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_BINARY, 1);  // bytes as they are
    zbar::zbar_image_t* zimage = zbar::zbar_image_create();
    zbar::zbar_image_set_format(zimage, zbar_fourcc('Y', '8', '0', '0'));
    zbar::zbar_image_set_size(zimage, static_cast<unsigned>(image.width), static_cast<unsigned>(image.height));
    zbar::zbar_image_set_data(zimage, grey.data(), grey.size(), nullptr);
    std::vector<std::string> found;
    if (zbar::zbar_scan_image(scanner, zimage) > 0) {
        for (const zbar::zbar_symbol_t* s = zbar::zbar_image_first_symbol(zimage); s; s = zbar::zbar_symbol_next(s))
            found.emplace_back(zbar::zbar_symbol_get_data(s), zbar::zbar_symbol_get_data_length(s));
    }
    zbar::zbar_image_destroy(zimage);
    zbar::zbar_image_scanner_destroy(scanner);
    return found;
}

}  // namespace Veltrix::fuzzing
