// Windows: no cm256 build is available for this toolchain, so parity comes from
// our own encoder, which produces the same blocks.
#include "transport/cauchy_encoder.h"
#include "transport/fec.h"

namespace Veltrix {

bool FecAvailable() { return true; }

int FecEncode(const uint8_t* originals, int originalCount, int recoveryCount, uint8_t* recovery) {
    return CauchyEncode(originals, originalCount, recoveryCount, kFecBlockBytes, recovery);
}

}  // namespace Veltrix
