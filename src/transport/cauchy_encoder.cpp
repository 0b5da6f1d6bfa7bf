#include "transport/cauchy_encoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VX_HAVE_X86 1
#endif

namespace Veltrix {
namespace {

constexpr unsigned kPolynomial = 0x14D;

struct Tables {
    uint8_t mul[256][256];
    uint8_t inv[256];
    // Split tables for the nibble-wise multiply: c * x for x in 0..15 and c * (x << 4).
    alignas(16) uint8_t lo[256][16];
    alignas(16) uint8_t hi[256][16];
    bool ssse3 = false;
    bool avx2 = false;

    Tables() {
        for (unsigned a = 0; a < 256; ++a) {
            for (unsigned b = 0; b < 256; ++b) {
                unsigned r = 0, x = a, y = b;
                while (y) {
                    if (y & 1) r ^= x;
                    y >>= 1;
                    x <<= 1;
                    if (x & 0x100) x ^= kPolynomial;
                }
                mul[a][b] = static_cast<uint8_t>(r);
            }
        }
        inv[0] = 0;
        for (unsigned a = 1; a < 256; ++a) {
            for (unsigned b = 1; b < 256; ++b) {
                if (mul[a][b] == 1) {
                    inv[a] = static_cast<uint8_t>(b);
                    break;
                }
            }
        }
        for (unsigned c = 0; c < 256; ++c) {
            for (unsigned x = 0; x < 16; ++x) {
                lo[c][x] = mul[c][x];
                hi[c][x] = mul[c][x << 4];
            }
        }
#if VX_HAVE_X86
        __builtin_cpu_init();
        ssse3 = __builtin_cpu_supports("ssse3");
        avx2 = __builtin_cpu_supports("avx2");
#endif
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

}  // namespace

uint8_t GfMul(uint8_t a, uint8_t b) { return T().mul[a][b]; }
uint8_t GfDiv(uint8_t a, uint8_t b) { return T().mul[a][T().inv[b]]; }


namespace {

// Recovery rows are built a column stripe at a time: for one stripe the
// accumulators of up to four rows stay in registers while every original is
// read once, so each source byte is loaded once per four rows and each output
// byte is stored once, instead of a load and a store per original.
constexpr int kRowsPerPass = 4;

// Scalar tail of a stripe range [begin, end) for `rows` rows; `out` is zeroed.
void RowsScalar(const uint8_t* originals, unsigned d, std::size_t bytes, const uint8_t* coefs, int rows,
                uint8_t* const* out, std::size_t begin, std::size_t end) {
    const Tables& t = T();
    for (int r = 0; r < rows; ++r) {
        std::memset(out[r] + begin, 0, end - begin);
        for (unsigned j = 0; j < d; ++j) {
            const uint8_t* row = t.mul[coefs[static_cast<std::size_t>(r) * d + j]];
            const uint8_t* s = originals + j * bytes;
            for (std::size_t k = begin; k < end; ++k) out[r][k] ^= row[s[k]];
        }
    }
}

#if VX_HAVE_X86
template <int R>
__attribute__((target("avx2"))) std::size_t RowsAvx2(const uint8_t* originals, unsigned d, std::size_t bytes,
                                                     const uint8_t* coefs, uint8_t* const* out) {
    const Tables& t = T();
    const __m256i mask = _mm256_set1_epi8(0x0F);
    std::size_t off = 0;
    for (; off + 64 <= bytes; off += 64) {
        __m256i acc0[R], acc1[R];
        for (int r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm256_setzero_si256();
        const uint8_t* s = originals + off;
        for (unsigned j = 0; j < d; ++j, s += bytes) {
            const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
            const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 32));
            const __m256i l0 = _mm256_and_si256(a0, mask), h0 = _mm256_and_si256(_mm256_srli_epi64(a0, 4), mask);
            const __m256i l1 = _mm256_and_si256(a1, mask), h1 = _mm256_and_si256(_mm256_srli_epi64(a1, 4), mask);
            for (int r = 0; r < R; ++r) {
                const uint8_t c = coefs[static_cast<std::size_t>(r) * d + j];
                const __m256i lo = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.lo[c])));
                const __m256i hi = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.hi[c])));
                acc0[r] = _mm256_xor_si256(acc0[r], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l0), _mm256_shuffle_epi8(hi, h0)));
                acc1[r] = _mm256_xor_si256(acc1[r], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l1), _mm256_shuffle_epi8(hi, h1)));
            }
        }
        for (int r = 0; r < R; ++r) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[r] + off), acc0[r]);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[r] + off + 32), acc1[r]);
        }
    }
    for (; off + 32 <= bytes; off += 32) {
        __m256i acc[R];
        for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_si256();
        const uint8_t* s = originals + off;
        for (unsigned j = 0; j < d; ++j, s += bytes) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
            const __m256i l = _mm256_and_si256(a, mask), h = _mm256_and_si256(_mm256_srli_epi64(a, 4), mask);
            for (int r = 0; r < R; ++r) {
                const uint8_t c = coefs[static_cast<std::size_t>(r) * d + j];
                const __m256i lo = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.lo[c])));
                const __m256i hi = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.hi[c])));
                acc[r] = _mm256_xor_si256(acc[r], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l), _mm256_shuffle_epi8(hi, h)));
            }
        }
        for (int r = 0; r < R; ++r) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[r] + off), acc[r]);
    }
    return off;
}

template <int R>
__attribute__((target("ssse3"))) std::size_t RowsSsse3(const uint8_t* originals, unsigned d, std::size_t bytes,
                                                       const uint8_t* coefs, uint8_t* const* out) {
    const Tables& t = T();
    const __m128i mask = _mm_set1_epi8(0x0F);
    std::size_t off = 0;
    for (; off + 32 <= bytes; off += 32) {
        __m128i acc0[R], acc1[R];
        for (int r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm_setzero_si128();
        const uint8_t* s = originals + off;
        for (unsigned j = 0; j < d; ++j, s += bytes) {
            const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
            const __m128i l0 = _mm_and_si128(a0, mask), h0 = _mm_and_si128(_mm_srli_epi64(a0, 4), mask);
            const __m128i l1 = _mm_and_si128(a1, mask), h1 = _mm_and_si128(_mm_srli_epi64(a1, 4), mask);
            for (int r = 0; r < R; ++r) {
                const uint8_t c = coefs[static_cast<std::size_t>(r) * d + j];
                const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(t.lo[c]));
                const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(t.hi[c]));
                acc0[r] = _mm_xor_si128(acc0[r], _mm_xor_si128(_mm_shuffle_epi8(lo, l0), _mm_shuffle_epi8(hi, h0)));
                acc1[r] = _mm_xor_si128(acc1[r], _mm_xor_si128(_mm_shuffle_epi8(lo, l1), _mm_shuffle_epi8(hi, h1)));
            }
        }
        for (int r = 0; r < R; ++r) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[r] + off), acc0[r]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[r] + off + 16), acc1[r]);
        }
    }
    return off;
}

using RowsFn = std::size_t (*)(const uint8_t*, unsigned, std::size_t, const uint8_t*, uint8_t* const*);

RowsFn PickRows(CauchyKernel kernel, int rows) {
    if (kernel == CauchyKernel::kAvx2) {
        switch (rows) {
            case 1: return RowsAvx2<1>;
            case 2: return RowsAvx2<2>;
            case 3: return RowsAvx2<3>;
            default: return RowsAvx2<4>;
        }
    }
    if (kernel == CauchyKernel::kSsse3) {
        switch (rows) {
            case 1: return RowsSsse3<1>;
            case 2: return RowsSsse3<2>;
            case 3: return RowsSsse3<3>;
            default: return RowsSsse3<4>;
        }
    }
    return nullptr;
}
#else
using RowsFn = std::size_t (*)(const uint8_t*, unsigned, std::size_t, const uint8_t*, uint8_t* const*);
RowsFn PickRows(CauchyKernel, int) { return nullptr; }
#endif

bool KernelAvailable(CauchyKernel kernel) {
    switch (kernel) {
        case CauchyKernel::kScalar: return true;
        case CauchyKernel::kSsse3: return T().ssse3;
        case CauchyKernel::kAvx2: return T().avx2;
    }
    return false;
}

}  // namespace

CauchyKernel CauchyEncoderKernel() {
    if (T().avx2) return CauchyKernel::kAvx2;
    if (T().ssse3) return CauchyKernel::kSsse3;
    return CauchyKernel::kScalar;
}

const char* CauchyKernelName(CauchyKernel kernel) {
    switch (kernel) {
        case CauchyKernel::kScalar: return "scalar";
        case CauchyKernel::kSsse3: return "SSSE3";
        case CauchyKernel::kAvx2: return "AVX2";
    }
    return "?";
}

int CauchyEncode(const uint8_t* originals, int originalCount, int recoveryCount, int blockBytes,
                 uint8_t* recovery) {
    return detail::CauchyEncodeWith(CauchyEncoderKernel(), originals, originalCount, recoveryCount, blockBytes,
                                    recovery);
}

namespace detail {
int CauchyEncodeWith(CauchyKernel kernel, const uint8_t* originals, int originalCount, int recoveryCount,
                     int blockBytes, uint8_t* recovery) {
    if (originalCount <= 0 || recoveryCount <= 0 || blockBytes <= 0) return -1;
    if (originalCount + recoveryCount > 256) return -2;
    if (!originals || !recovery) return -3;
    if (!KernelAvailable(kernel)) return -4;
    const std::size_t bytes = static_cast<std::size_t>(blockBytes);
    const unsigned d = static_cast<unsigned>(originalCount);

    if (d == 1) {
        for (int i = 0; i < recoveryCount; ++i) std::memcpy(recovery + i * bytes, originals, bytes);
        return 0;
    }

    // Coefficient matrix: row 0 is plain parity (all ones), row i > 0 is
    // (j ^ D) / ((D + i) ^ j). Never zero, since j < D <= D + i.
    std::vector<uint8_t> coefs(static_cast<std::size_t>(recoveryCount) * d, 1);
    for (int i = 1; i < recoveryCount; ++i) {
        const unsigned x = d + static_cast<unsigned>(i);
        for (unsigned j = 0; j < d; ++j) {
            coefs[static_cast<std::size_t>(i) * d + j] = GfDiv(static_cast<uint8_t>(j ^ d), static_cast<uint8_t>(x ^ j));
        }
    }
    for (int i = 0; i < recoveryCount; i += kRowsPerPass) {
        const int rows = std::min(kRowsPerPass, recoveryCount - i);
        uint8_t* out[kRowsPerPass];
        for (int r = 0; r < rows; ++r) out[r] = recovery + static_cast<std::size_t>(i + r) * bytes;
        const uint8_t* rowCoefs = coefs.data() + static_cast<std::size_t>(i) * d;
        std::size_t done = 0;
        if (RowsFn fn = PickRows(kernel, rows)) done = fn(originals, d, bytes, rowCoefs, out);
        if (done < bytes) RowsScalar(originals, d, bytes, rowCoefs, rows, out, done, bytes);
    }
    return 0;
}
}  // namespace detail

}  // namespace Veltrix
