// A deliberately plain GF(256) (polynomial 0x14D) and the recovery-block
// formula, written independently of the production encoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace Veltrix::testing {

inline uint8_t RefMul(uint8_t a, uint8_t b) {
    unsigned r = 0, x = a;
    for (int bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) r ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x14D;
    }
    return static_cast<uint8_t>(r);
}

inline uint8_t RefInv(uint8_t a) {  // a^254
    uint8_t r = 1;
    for (int i = 0; i < 254; ++i) r = RefMul(r, a);
    return r;
}

// Recovery block i of D blocks (each `bytes` long, end to end).
inline std::vector<uint8_t> RefRecovery(const uint8_t* blocks, unsigned d, unsigned i, std::size_t bytes) {
    std::vector<uint8_t> out(bytes, 0);
    for (unsigned j = 0; j < d; ++j) {
        uint8_t c = 1;
        if (i > 0) c = RefMul(static_cast<uint8_t>(j ^ d), RefInv(static_cast<uint8_t>((d + i) ^ j)));
        for (std::size_t k = 0; k < bytes; ++k) out[k] ^= RefMul(c, blocks[j * bytes + k]);
    }
    return out;
}

// Fixed-seed bytes shared by the vector generator and the tests that read the vectors.
inline std::vector<uint8_t> SeededBytes(uint32_t seed, std::size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

struct VectorCase {
    int d;
    int p;
};
// The cases in fec_vectors.bin, in file order; the originals of case n are SeededBytes(n + 1, d * 1440).
inline constexpr VectorCase kVectorCases[] = {{1, 1}, {2, 1}, {2, 2}, {10, 1}, {11, 2}, {37, 4},
                                              {64, 7}, {200, 20}, {250, 5}, {192, 63}};

}  // namespace Veltrix::testing
