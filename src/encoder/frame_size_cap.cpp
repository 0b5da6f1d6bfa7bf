#include "encoder/frame_size_cap.h"

#include <algorithm>

namespace Veltrix {

CappedRates CapRates(uint32_t requestedMean, uint32_t requestedMax, int fps, uint32_t frameSizeCap, bool uncapped) {
    CappedRates r;
    r.mean = requestedMean;
    r.max = requestedMax != 0 ? std::max(requestedMax, requestedMean)
                              : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{requestedMean} * 13 / 10, UINT32_MAX));
    if (uncapped || frameSizeCap == 0) return r;
    const uint64_t capBits = uint64_t{frameSizeCap} * 8;
    const uint64_t perSecond = capBits * static_cast<uint64_t>(std::max(fps, 1));
    const auto meanLimit = static_cast<uint32_t>(std::min<double>(static_cast<double>(perSecond) * kCapMeanShare, UINT32_MAX));
    const auto maxLimit = static_cast<uint32_t>(std::min<uint64_t>(perSecond, UINT32_MAX));
    r.bufferBits = static_cast<uint32_t>(static_cast<double>(capBits) * kCapBufferShare);
    if (r.mean > meanLimit) {
        r.mean = meanLimit;
        r.limited = true;
    }
    if (r.max > maxLimit) {
        r.max = maxLimit;
        r.limited = true;
    }
    r.max = std::max(r.max, r.mean);
    return r;
}

}  // namespace Veltrix
