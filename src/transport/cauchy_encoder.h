// Our own Cauchy Reed-Solomon encoder over GF(256) (polynomial 0x14D), block
// for block identical to cm256 (version 2): recovery row 0 is the XOR of the
// originals, row i > 0 uses coefficients (j ^ D) / ((D + i) ^ j). With a single
// original every recovery block is a copy of it, as cm256 does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Veltrix {

// Field arithmetic, exposed for tests and decoding helpers.
uint8_t GfMul(uint8_t a, uint8_t b);
uint8_t GfDiv(uint8_t a, uint8_t b);  // b != 0

// Same contract as cm256_encode with blocks laid out end to end: returns 0, or
// -1 for bad counts, -2 when originals + recoveries exceed 256, -3 for null.
int CauchyEncode(const uint8_t* originals, int originalCount, int recoveryCount, int blockBytes,
                 uint8_t* recovery);

// Whether the SSSE3 multiply path is in use (chosen at run time).
bool CauchyEncoderUsesSsse3();

namespace detail {
// dst ^= c * src over n bytes; the scalar and the vector variants, for tests.
void MulAddScalar(uint8_t* dst, const uint8_t* src, uint8_t c, std::size_t n);
void MulAdd(uint8_t* dst, const uint8_t* src, uint8_t c, std::size_t n);
}  // namespace detail

}  // namespace Veltrix
