// Reed-Solomon (Cauchy, GF(256)) parity for video frames. The platform file
// picks the implementation: cm256cc where it is packaged, our own encoder
// (cauchy_encoder.h) elsewhere. Both produce identical recovery blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Veltrix {

inline constexpr int kFecBlockBytes = 1440;
inline constexpr int kFecMaxBlocks = 256;  // data plus parity

// Decided once, on first use: whether parity can be computed at all.
bool FecAvailable();

// Computes `recoveryCount` recovery blocks of kFecBlockBytes each, end to end in
// `recovery`, from `originalCount` blocks laid out end to end in `originals`.
// Returns 0 on success, negative on bad counts or when FEC is unavailable.
int FecEncode(const uint8_t* originals, int originalCount, int recoveryCount, uint8_t* recovery);

}  // namespace Veltrix
