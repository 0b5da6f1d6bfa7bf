#include "encoder/nv12_converter.h"

#include <cstring>
#include <vector>

namespace Veltrix {

void ConvertBgraToNv12Cpu(const uint8_t* bgra, int pitch, uint8_t* yPlane, uint8_t* uvPlane, int width,
                          int height) {
    const size_t w = static_cast<size_t>(width);
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = bgra + static_cast<size_t>(y) * pitch;
        uint8_t* d = yPlane + static_cast<size_t>(y) * w;
        for (int x = 0; x < width; ++x, s += 4)
            d[x] = static_cast<uint8_t>(bt709::Y(s[2], s[1], s[0]));
    }
    for (int j = 0; j < height / 2; ++j) {
        const uint8_t* r0 = bgra + static_cast<size_t>(2 * j) * pitch;
        const uint8_t* r1 = r0 + pitch;
        uint8_t* d = uvPlane + static_cast<size_t>(j) * w;
        for (int i = 0; i < width / 2; ++i) {
            const uint8_t* a = r0 + 8 * i;
            const uint8_t* b = r1 + 8 * i;
            const int bl = (a[0] + a[4] + b[0] + b[4]) >> 2;
            const int gr = (a[1] + a[5] + b[1] + b[5]) >> 2;
            const int rd = (a[2] + a[6] + b[2] + b[6]) >> 2;
            d[2 * i] = static_cast<uint8_t>(bt709::U(rd, gr, bl));
            d[2 * i + 1] = static_cast<uint8_t>(bt709::V(rd, gr, bl));
        }
    }
}

void ScaleNearest(const uint8_t* src, int srcPitch, int srcWidth, int srcHeight, uint8_t* dst,
                  int dstPitch, int dstWidth, int dstHeight) {
    if (!src || !dst || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return;
    std::vector<int> cols(static_cast<size_t>(dstWidth));
    for (int x = 0; x < dstWidth; ++x) {
        int sx = static_cast<int>((x + 0.5) * srcWidth / dstWidth);
        cols[x] = sx < srcWidth ? sx : srcWidth - 1;
    }
    for (int y = 0; y < dstHeight; ++y) {
        int sy = static_cast<int>((y + 0.5) * srcHeight / dstHeight);
        if (sy >= srcHeight) sy = srcHeight - 1;
        const uint8_t* srow = src + static_cast<size_t>(sy) * srcPitch;
        uint8_t* drow = dst + static_cast<size_t>(y) * dstPitch;
        for (int x = 0; x < dstWidth; ++x) std::memcpy(drow + 4 * x, srow + 4 * cols[x], 4);
    }
}

}  // namespace Veltrix
