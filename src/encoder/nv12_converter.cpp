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
// AVX2 code, chosen at run time where the CPU has it. The colour sums are done
// on bytes with unsigned-by-signed multiply-add (vpmaddubsw), 16 results per
// instruction, and stay exact: every coefficient fits a signed byte once G's
// luma weight is split over two byte pairs (157 = 78 + 79), every partial sum
// fits 16 bits, and the final sums, wrapped to 16 bits, are read back unsigned
// with the offsets folded in so that a logical shift gives the formula's value.
// Same integer formulas as above, so the same bytes come out.
#define VX_AVX2 __attribute__((target("avx2"))) VX_ALWAYS_INLINE

VX_AVX2 __m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
VX_AVX2 void Store(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

VX_AVX2 __m256i Lanes(const int8_t (&b)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
}

// Packs two registers of 16-bit results, produced lane by lane from four
// consecutive 8-pixel groups, into 32 bytes in pixel order.
VX_AVX2 __m256i PackInOrder(__m256i lo, __m256i hi) {
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

struct Avx2Constants {
    __m256i dupG, coefY, offY, pairUp, ones, coefUV, offUV;
};

VX_AVX2 Avx2Constants MakeConstants() {
    using namespace bt709;
    static constexpr int8_t kDupG[16] = {0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13};
    static constexpr int8_t kCoefY[16] = {kYB, 78, kYR, 79, kYB, 78, kYR, 79, kYB, 78, kYR, 79, kYB, 78, kYR, 79};
    static_assert(78 + 79 == kYG, "luma G weight split over two byte pairs");
    static constexpr int8_t kPairUp[16] = {0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15};
    static constexpr int8_t kCoefUV[16] = {kCbB, kCbG, kCbR, 0, kCrB, kCrG, kCrR, 0,
                                           kCbB, kCbG, kCbR, 0, kCrB, kCrG, kCrR, 0};
    return {Lanes(kDupG),
            Lanes(kCoefY),
            _mm256_set1_epi16(128 + (kYOff << 8)),
            Lanes(kPairUp),
            _mm256_set1_epi8(1),
            Lanes(kCoefUV),
            // +32768 makes the signed chroma sum non-negative; it is 128 << 8, the chroma offset.
            _mm256_set1_epi16(static_cast<short>(128 + (kCOff << 8)))};
}

// Y of 32 pixels (four registers of 8 BGRA pixels) as 32 bytes.
VX_AVX2 __m256i Luma32(const Avx2Constants& k, const __m256i (&p)[4]) {
    __m256i m[4];
    // Bytes B G R G: pairs (B, G) and (R, G) weighted (16, 78) and (47, 79).
    for (int i = 0; i < 4; ++i) m[i] = _mm256_maddubs_epi16(_mm256_shuffle_epi8(p[i], k.dupG), k.coefY);
    // The pair sums reach 56100: past int16, but exact modulo 2^16, and so is
    // the offset sum (at most 60324), read unsigned.
    const __m256i y01 = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(m[0], m[1]), k.offY), 8);
    const __m256i y23 = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(m[2], m[3]), k.offY), 8);
    return PackInOrder(y01, y23);
}

// Channel sums of the 2x2 blocks of 8 pixels of two rows, as 16-bit B G R A, shifted to averages.
VX_AVX2 __m256i BlockSums(const Avx2Constants& k, __m256i top, __m256i bottom) {
    // Neighbours' channels side by side, summed pairwise, then the two rows added.
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(top, k.pairUp), k.ones),
                                              _mm256_maddubs_epi16(_mm256_shuffle_epi8(bottom, k.pairUp), k.ones)),
                             2);
}

// Averages of 2x2 blocks as bytes B G R A, for the 8 blocks of 16 pixels of two rows
// (a0, a1 top; b0, b1 bottom), in lane order: blocks 0 1 4 5 | 2 3 6 7.
VX_AVX2 __m256i BlockAverages(const Avx2Constants& k, __m256i a0, __m256i b0, __m256i a1, __m256i b1) {
    return _mm256_packus_epi16(BlockSums(k, a0, b0), BlockSums(k, a1, b1));
}

// U V words of the 8 blocks of BlockAverages, in the same lane order.
VX_AVX2 __m256i ChromaWords(const Avx2Constants& k, __m256i avg) {
    // Each block's bytes twice: once weighted for U, once for V.
    const __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi32(avg, avg), k.coefUV);
    const __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi32(avg, avg), k.coefUV);
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(lo, hi), k.offUV), 8);
}

// U V bytes of the 16 blocks of 32 pixels of two rows, in order.
VX_AVX2 __m256i Chroma32(const Avx2Constants& k, const __m256i (&a)[4], const __m256i (&b)[4]) {
    return PackInOrder(ChromaWords(k, BlockAverages(k, a[0], b[0], a[1], b[1])),
                       ChromaWords(k, BlockAverages(k, a[2], b[2], a[3], b[3])));
}

VX_AVX2 void LumaRowAvx2(const Avx2Constants& k, const uint8_t* s, uint8_t* d, int n) {
    int x = 0;
    for (; x + 32 <= n; x += 32) {
        const uint8_t* p = s + 4 * x;
        const __m256i px[4] = {Load(p), Load(p + 32), Load(p + 64), Load(p + 96)};
        Store(d + x, Luma32(k, px));
    }
    LumaRow(s + 4 * x, d + x, n - x);
}

__attribute__((target("avx2"))) void ConvertAvx2(const uint8_t* bgra, int pitch, uint8_t* yPlane,
                                                 uint8_t* uvPlane, int width, int height) {
    const Avx2Constants k = MakeConstants();
    constexpr int kPrefetchBytes = 512;  // four steps ahead on both rows: measured faster than the hardware prefetcher alone
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
            _mm_prefetch(reinterpret_cast<const char*>(r0 + 4 * x + kPrefetchBytes), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(r0 + 4 * x + kPrefetchBytes + 64), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(r1 + 4 * x + kPrefetchBytes), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(r1 + 4 * x + kPrefetchBytes + 64), _MM_HINT_T0);
            for (int i = 0; i < 4; ++i) {
                a[i] = Load(r0 + 4 * x + 32 * i);
                b[i] = Load(r1 + 4 * x + 32 * i);
            }
            Store(y0 + x, Luma32(k, a));
            Store(y1 + x, Luma32(k, b));
            Store(uv + x, Chroma32(k, a, b));
        }
        // The rest of the row (fewer than 32 pixels); x is even, so the 2x2 blocks line up.
        LumaRow(r0 + 4 * x, y0 + x, width - x);
        LumaRow(r1 + 4 * x, y1 + x, width - x);
        ChromaRow(r0 + 4 * x, r1 + 4 * x, uv + x, (width - x) / 2);
    }
    if (y < height) LumaRowAvx2(k, bgra + static_cast<size_t>(y) * pitch, yPlane + static_cast<size_t>(y) * w, width);
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
