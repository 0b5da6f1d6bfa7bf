// A decoded picture as tightly packed 8-bit 4:2:0 planes (Y, then U and V at
// half size, rounded up), whatever layout the decoder gave it.
#pragma once

#include <cstdint>
#include <vector>

#include "vx-phone/video_decoder.h"

namespace Veltrix::phone {

struct I420Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> y, u, v;
    bool bt709 = false;      // the stream signals the BT.709 matrix (else BT.601)
    bool fullRange = false;  // the stream signals full range (else limited)
    int chromaWidth() const { return (width + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
};

// False when the picture has no decoder frame behind it or cannot be converted.
bool CopyI420(const DecodedPicture& picture, I420Picture* out);

}  // namespace Veltrix::phone
