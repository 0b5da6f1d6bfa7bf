#include "ui/qr_bitmap_win.h"

#include <cstring>

namespace Veltrix {

HBITMAP RenderQrToBitmap(const QrCode& code, int pixels) {
    if (code.size < 1 || pixels < 1) return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = pixels;
    info.bmiHeader.biHeight = -pixels;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) DeleteObject(bitmap);
        return nullptr;
    }
    const RgbaImage image = RenderQrToRgba(code, pixels);
    if (image.width != pixels) {
        DeleteObject(bitmap);
        return nullptr;
    }
    // Black and white read the same in RGBA and BGRA.
    std::memcpy(bits, image.pixels.data(), image.pixels.size());
    return bitmap;
}

}  // namespace Veltrix
