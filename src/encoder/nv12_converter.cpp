#include "encoder/nv12_converter.h"

#include <cstring>
#include <system_error>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

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
// AVX2 code, chosen at run time where the CPU has it. The compiler's vector code
// for the loops above spends most of its time regrouping the interleaved bytes,
// and the conversion is bound by that arithmetic, not by memory: so the colour
// sums are done here on whole BGRA pixels with multiply-add, 32 pixels of two rows
// at a time. Same integer formulas as above, so the same bytes come out.
#define VX_AVX2 __attribute__((target("avx2"))) VX_ALWAYS_INLINE

// 32 signed 32-bit values in four registers (in order) to 32 bytes, in order.
VX_AVX2 __m256i PackBytes(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i words01 = _mm256_packus_epi32(a, b);  // packs within 128-bit lanes
    const __m256i words23 = _mm256_packus_epi32(c, d);
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words01, words23),
                                       _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Y of 8 BGRA pixels as 32-bit values.
VX_AVX2 __m256i Luma8(__m256i px) {
    const __m256i lowBytes = _mm256_set1_epi32(0x00FF00FF);
    const __m256i br = _mm256_and_si256(px, lowBytes);  // words B, R
    const __m256i ga = _mm256_srli_epi16(px, 8);         // words G, A
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32((bt709::kYR << 16) | bt709::kYB)),
                                         _mm256_madd_epi16(ga, _mm256_set1_epi32(bt709::kYG)));
    // ((s + 128) >> 8) + 16 == (s + 128 + (16 << 8)) >> 8; s is never negative.
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128 + (bt709::kYOff << 8))), 8);
}

// Four 16-bit values repeated in every 64-bit group.
VX_AVX2 __m256i Words(int w0, int w1, int w2, int w3) {
    return _mm256_set1_epi64x(static_cast<long long>(static_cast<uint16_t>(w0)) |
                              static_cast<long long>(static_cast<uint16_t>(w1)) << 16 |
                              static_cast<long long>(static_cast<uint16_t>(w2)) << 32 |
                              static_cast<long long>(static_cast<uint16_t>(w3)) << 48);
}

// U, V pairs (32-bit values U0 V0 U1 V1 ...) of the four 2x2 blocks of 8 pixels in two rows.
VX_AVX2 __m256i Chroma8(__m256i top, __m256i bottom) {
    const __m256i lowBytes = _mm256_set1_epi32(0x00FF00FF);
    __m256i br = _mm256_add_epi16(_mm256_and_si256(top, lowBytes), _mm256_and_si256(bottom, lowBytes));
    __m256i ga = _mm256_add_epi16(_mm256_srli_epi16(top, 8), _mm256_srli_epi16(bottom, 8));
    // Add each pixel's sums to its right neighbour's: the low half of every 64-bit
    // group then holds the block's four-pixel sums of B, R (and G, A).
    br = _mm256_add_epi16(br, _mm256_srli_epi64(br, 32));
    ga = _mm256_add_epi16(ga, _mm256_srli_epi64(ga, 32));
    // Copy those into the high half too (one copy for U, one for V), then average.
    br = _mm256_srli_epi16(_mm256_shuffle_epi32(br, 0xA0), 2);
    ga = _mm256_srli_epi16(_mm256_shuffle_epi32(ga, 0xA0), 2);
    const __m256i sum =
        _mm256_add_epi32(_mm256_madd_epi16(br, Words(bt709::kCbB, bt709::kCbR, bt709::kCrB, bt709::kCrR)),
                         _mm256_madd_epi16(ga, Words(bt709::kCbG, 0, bt709::kCrG, 0)));
    // ((s + 128) >> 8) + 128 == (s + 128 + (128 << 8)) >> 8 with an arithmetic shift.
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128 + (bt709::kCOff << 8))), 8);
}

VX_AVX2 __m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
VX_AVX2 void Store(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

VX_AVX2 void LumaRowAvx2(const uint8_t* s, uint8_t* d, int n) {
    int x = 0;
    for (; x + 32 <= n; x += 32) {
        const uint8_t* p = s + 4 * x;
        Store(d + x, PackBytes(Luma8(Load(p)), Luma8(Load(p + 32)), Luma8(Load(p + 64)), Luma8(Load(p + 96))));
    }
    LumaRow(s + 4 * x, d + x, n - x);
}

__attribute__((target("avx2"))) void ConvertAvx2(const uint8_t* bgra, int pitch, uint8_t* yPlane,
                                                 uint8_t* uvPlane, int width, int height) {
    const size_t w = static_cast<size_t>(width);
    int y = 0;
    for (; y + 1 < height; y += 2) {
        const uint8_t* r0 = bgra + static_cast<size_t>(y) * pitch;
        const uint8_t* r1 = r0 + pitch;
        uint8_t* y0 = yPlane + static_cast<size_t>(y) * w;
        uint8_t* y1 = y0 + w;
        uint8_t* uv = uvPlane + static_cast<size_t>(y / 2) * w;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            __m256i a[4], b[4];
            for (int k = 0; k < 4; ++k) {
                a[k] = Load(r0 + 4 * x + 32 * k);
                b[k] = Load(r1 + 4 * x + 32 * k);
            }
            Store(y0 + x, PackBytes(Luma8(a[0]), Luma8(a[1]), Luma8(a[2]), Luma8(a[3])));
            Store(y1 + x, PackBytes(Luma8(b[0]), Luma8(b[1]), Luma8(b[2]), Luma8(b[3])));
            Store(uv + x, PackBytes(Chroma8(a[0], b[0]), Chroma8(a[1], b[1]), Chroma8(a[2], b[2]),
                                    Chroma8(a[3], b[3])));
        }
        // The rest of the row (fewer than 32 pixels); x is even, so the 2x2 blocks line up.
        LumaRow(r0 + 4 * x, y0 + x, width - x);
        LumaRow(r1 + 4 * x, y1 + x, width - x);
        ChromaRow(r0 + 4 * x, r1 + 4 * x, uv + x, (width - x) / 2);
    }
    if (y < height) LumaRowAvx2(bgra + static_cast<size_t>(y) * pitch, yPlane + static_cast<size_t>(y) * w, width);
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

Nv12Converter::~Nv12Converter() {
    if (!helper_.joinable()) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        quit_ = true;
    }
    wake_.notify_one();
    helper_.join();
}

void Nv12Converter::Run() {
    std::unique_lock<std::mutex> l(lock_);
    for (;;) {
        wake_.wait(l, [this] { return pending_ || quit_; });
        if (quit_) return;
        pending_ = false;
        const Job job = job_;
        l.unlock();
        ConvertBgraToNv12Cpu(job.bgra, job.pitch, job.y, job.uv, job.width, job.height);
        l.lock();
        finished_ = true;
        done_.notify_one();
    }
}

void Nv12Converter::Convert(const uint8_t* bgra, int pitch, uint8_t* yPlane, uint8_t* uvPlane, int width,
                            int height) {
    // Below this many rows waking the helper costs about what it saves.
    constexpr int kMinRowsToSplit = 128;
    static const bool kSeveralCores = std::thread::hardware_concurrency() > 1;
    if (height < kMinRowsToSplit || width <= 0 || !kSeveralCores) {
        ConvertBgraToNv12Cpu(bgra, pitch, yPlane, uvPlane, width, height);
        return;
    }
    if (!helper_.joinable()) {
        try {
            helper_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            ConvertBgraToNv12Cpu(bgra, pitch, yPlane, uvPlane, width, height);  // no thread to be had: do it alone
            return;
        }
    }
    // The split row is even, so each part's 2x2 chroma blocks are whole.
    const int top = height / 4 * 2;
    const size_t w = static_cast<size_t>(width);
    {
        std::lock_guard<std::mutex> g(lock_);
        job_ = Job{bgra + static_cast<size_t>(top) * pitch, pitch, yPlane + static_cast<size_t>(top) * w,
                   uvPlane + static_cast<size_t>(top / 2) * w, width, height - top};
        pending_ = true;
        finished_ = false;
    }
    wake_.notify_one();
    ConvertBgraToNv12Cpu(bgra, pitch, yPlane, uvPlane, width, top);
    std::unique_lock<std::mutex> l(lock_);
    done_.wait(l, [this] { return finished_; });
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
