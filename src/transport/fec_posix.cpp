// Linux: cm256cc as packaged by the distribution.
#include <cm256cc/cm256.h>

#include <memory>

#include "support/log.h"
#include "transport/fec.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "fec"};

// One codec object for the process: it is large and builds its tables on
// construction; afterwards encoding only reads it, so threads can share it.
CM256* Codec() {
    static CM256* codec = [] {
        auto* c = new CM256();
        if (!c->isInitialized()) {
            Log(kLog, kLogError, "cm256 initialisation failed: sending without parity");
        }
        return c;
    }();
    return codec;
}

}  // namespace

bool FecAvailable() {
    static const bool available = Codec()->isInitialized();
    return available;
}

int FecEncode(const uint8_t* originals, int originalCount, int recoveryCount, uint8_t* recovery) {
    if (!FecAvailable()) return -4;
    if (originalCount <= 0 || recoveryCount <= 0) return -1;
    if (originalCount + recoveryCount > kFecMaxBlocks) return -2;
    CM256::cm256_block blocks[kFecMaxBlocks];
    for (int j = 0; j < originalCount; ++j) {
        blocks[j].Block = const_cast<uint8_t*>(originals) + static_cast<std::size_t>(j) * kFecBlockBytes;
        blocks[j].Index = static_cast<unsigned char>(j);
    }
    CM256::cm256_encoder_params params{originalCount, recoveryCount, kFecBlockBytes};
    return Codec()->cm256_encode(params, blocks, recovery);
}

}  // namespace Veltrix
