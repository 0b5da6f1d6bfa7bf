#include "transport/cauchy_encoder.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
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
#endif
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

#if VX_HAVE_X86
__attribute__((target("ssse3"))) void MulAddSsse3(uint8_t* dst, const uint8_t* src, uint8_t c,
                                                   std::size_t n) {
    const Tables& t = T();
    const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(t.lo[c]));
    const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(t.hi[c]));
    const __m128i mask = _mm_set1_epi8(0x0F);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
        __m128i p0 = _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(a0, mask)),
                                   _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(a0, 4), mask)));
        __m128i p1 = _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(a1, mask)),
                                   _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(a1, 4), mask)));
        __m128i* d0 = reinterpret_cast<__m128i*>(dst + i);
        __m128i* d1 = reinterpret_cast<__m128i*>(dst + i + 16);
        _mm_storeu_si128(d0, _mm_xor_si128(_mm_loadu_si128(d0), p0));
        _mm_storeu_si128(d1, _mm_xor_si128(_mm_loadu_si128(d1), p1));
    }
    for (; i + 16 <= n; i += 16) {
        __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i p0 = _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(a0, mask)),
                                   _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(a0, 4), mask)));
        __m128i* d0 = reinterpret_cast<__m128i*>(dst + i);
        _mm_storeu_si128(d0, _mm_xor_si128(_mm_loadu_si128(d0), p0));
    }
    const uint8_t* row = t.mul[c];
    for (; i < n; ++i) dst[i] ^= row[src[i]];
}
#endif

void XorInto(uint8_t* dst, const uint8_t* src, std::size_t n) {
    // Word-wise XOR; the compiler vectorises this loop.
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, dst + i, 8);
        std::memcpy(&b, src + i, 8);
        a ^= b;
        std::memcpy(dst + i, &a, 8);
    }
    for (; i < n; ++i) dst[i] ^= src[i];
}

}  // namespace

uint8_t GfMul(uint8_t a, uint8_t b) { return T().mul[a][b]; }
uint8_t GfDiv(uint8_t a, uint8_t b) { return T().mul[a][T().inv[b]]; }

bool CauchyEncoderUsesSsse3() { return T().ssse3; }

namespace detail {
void MulAddScalar(uint8_t* dst, const uint8_t* src, uint8_t c, std::size_t n) {
    const uint8_t* row = T().mul[c];
    for (std::size_t i = 0; i < n; ++i) dst[i] ^= row[src[i]];
}

void MulAdd(uint8_t* dst, const uint8_t* src, uint8_t c, std::size_t n) {
    if (c == 0) return;
    if (c == 1) {
        XorInto(dst, src, n);
        return;
    }
#if VX_HAVE_X86
    if (T().ssse3) {
        MulAddSsse3(dst, src, c, n);
        return;
    }
#endif
    MulAddScalar(dst, src, c, n);
}
}  // namespace detail

int CauchyEncode(const uint8_t* originals, int originalCount, int recoveryCount, int blockBytes,
                 uint8_t* recovery) {
    if (originalCount <= 0 || recoveryCount <= 0 || blockBytes <= 0) return -1;
    if (originalCount + recoveryCount > 256) return -2;
    if (!originals || !recovery) return -3;
    const std::size_t bytes = static_cast<std::size_t>(blockBytes);
    const unsigned d = static_cast<unsigned>(originalCount);

    if (d == 1) {
        for (int i = 0; i < recoveryCount; ++i) std::memcpy(recovery + i * bytes, originals, bytes);
        return 0;
    }

    // Row 0: parity of all originals.
    std::memcpy(recovery, originals, bytes);
    for (unsigned j = 1; j < d; ++j) XorInto(recovery, originals + j * bytes, bytes);

    for (int i = 1; i < recoveryCount; ++i) {
        uint8_t* out = recovery + static_cast<std::size_t>(i) * bytes;
        std::memset(out, 0, bytes);
        const unsigned x = d + static_cast<unsigned>(i);
        for (unsigned j = 0; j < d; ++j) {
            const uint8_t c = GfDiv(static_cast<uint8_t>(j ^ d), static_cast<uint8_t>(x ^ j));
            detail::MulAdd(out, originals + j * bytes, c, bytes);
        }
    }
    return 0;
}

}  // namespace Veltrix
