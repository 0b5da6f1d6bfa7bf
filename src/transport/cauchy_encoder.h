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

// The multiply kernels, the fastest the processor has chosen at run time.
enum class CauchyKernel { kScalar, kSsse3, kAvx2 };
CauchyKernel CauchyEncoderKernel();
const char* CauchyKernelName(CauchyKernel kernel);

namespace detail {
// CauchyEncode with a given kernel; -4 when this processor lacks it.
int CauchyEncodeWith(CauchyKernel kernel, const uint8_t* originals, int originalCount, int recoveryCount,
                     int blockBytes, uint8_t* recovery);
}  // namespace detail

}  // namespace Veltrix
