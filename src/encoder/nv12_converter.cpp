#include "encoder/nv12_converter.h"

#include <cstring>
#include <vector>

namespace Veltrix {

namespace {

// The loops below are plain per-pixel arithmetic without branches so that the
// compiler turns them into vector code; the results are those of the formulas in
// the header, bit for bit. One pass over two source rows writes both luma rows and
// their chroma row, so every source pixel is read from memory once.
#define VX_ALWAYS_INLINE inline __attribute__((always_inline))

VX_ALWAYS_INLINE void LumaRow(const uint8_t* __restrict s, uint8_t* __restrict d, int n) {
    for (int x = 0; x < n; ++x) d[x] = static_cast<uint8_t>(bt709::Y(s[4 * x + 2], s[4 * x + 1], s[4 * x]));
}

VX_ALWAYS_INLINE void ChromaRow(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict d,
                                int pairs) {
    for (int i = 0; i < pairs; ++i) {
        const int bl = (a[8 * i] + a[8 * i + 4] + b[8 * i] + b[8 * i + 4]) >> 2;
        const int gr = (a[8 * i + 1] + a[8 * i + 5] + b[8 * i + 1] + b[8 * i + 5]) >> 2;
        const int rd = (a[8 * i + 2] + a[8 * i + 6] + b[8 * i + 2] + b[8 * i + 6]) >> 2;
        d[2 * i] = static_cast<uint8_t>(bt709::U(rd, gr, bl));
        d[2 * i + 1] = static_cast<uint8_t>(bt709::V(rd, gr, bl));
    }
}

VX_ALWAYS_INLINE void ConvertRows(const uint8_t* bgra, int pitch, uint8_t* yPlane, uint8_t* uvPlane, int width,
                                  int height) {
    const size_t w = static_cast<size_t>(width);
    int y = 0;
    for (; y + 1 < height; y += 2) {
        const uint8_t* r0 = bgra + static_cast<size_t>(y) * pitch;
        const uint8_t* r1 = r0 + pitch;
        LumaRow(r0, yPlane + static_cast<size_t>(y) * w, width);
        LumaRow(r1, yPlane + static_cast<size_t>(y + 1) * w, width);
        ChromaRow(r0, r1, uvPlane + static_cast<size_t>(y / 2) * w, width / 2);
    }
    if (y < height) LumaRow(bgra + static_cast<size_t>(y) * pitch, yPlane + static_cast<size_t>(y) * w, width);
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same loops compiled for AVX2, chosen at run time where the CPU has it.
__attribute__((target("avx2"))) void ConvertAvx2(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv,
                                                 int width, int height) {
    ConvertRows(bgra, pitch, y, uv, width, height);
}
bool HaveAvx2() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return have;
}
#endif

}  // namespace

void ConvertBgraToNv12Portable(const uint8_t* bgra, int pitch, uint8_t* yPlane, uint8_t* uvPlane, int width,
                               int height) {
    ConvertRows(bgra, pitch, yPlane, uvPlane, width, height);
}

void ConvertBgraToNv12Cpu(const uint8_t* bgra, int pitch, uint8_t* yPlane, uint8_t* uvPlane, int width,
                          int height) {
#if defined(__GNUC__) && defined(__x86_64__)
    if (HaveAvx2()) {
        ConvertAvx2(bgra, pitch, yPlane, uvPlane, width, height);
        return;
    }
#endif
    ConvertRows(bgra, pitch, yPlane, uvPlane, width, height);
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
