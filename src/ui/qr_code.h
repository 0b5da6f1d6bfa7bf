// QR code symbols (Model 2) for the pairing address: byte mode, error
// correction level H, the smallest version from 1 to 40 that holds the payload.
// No state but the Galois-field tables, no logging; callers log failures.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace Veltrix {

struct QrCode {
    std::int32_t size = 0;     // modules per side (4 * version + 17); 0 when encoding failed
    std::int32_t version = 0;  // 1..40; 0 when encoding failed
    std::vector<std::uint8_t> modules;        // size * size, row-major, 1 = dark
    std::vector<std::uint8_t> functionFlags;  // 1 where finder, timing, alignment, format, version or dark module
};

// The symbol for these bytes; the empty code (size 0) when they do not fit version 40.
QrCode EncodeQrText(std::string_view payload);

// False outside the symbol, else whether module (x, y) is dark.
bool IsQrModuleDark(const QrCode& code, int x, int y);

// An image of 8-bit RGBA pixels, row-major, top row first.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4
};

// The code drawn as pixels x pixels, black on opaque white, with a quiet zone of
// two modules plus the centring offset: the same pixels RenderQrToBitmap draws.
// Empty (width 0) when the code is empty or pixels < size + 4.
RgbaImage RenderQrToRgba(const QrCode& code, int pixels);

// The geometry both renderers share: scale = pixels / (size + 4), offset = (pixels mod (size + 4)) / 2.
struct QrLayout {
    int scale = 0;
    int offset = 0;
};
// Scale 0 when the code is empty or too large for the pixels.
QrLayout QrLayoutFor(const QrCode& code, int pixels);

}  // namespace Veltrix
