#include "vx-phone/video_decoder.h"

namespace Veltrix::phone {

const char* VideoCodecName(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::kH264: return "H.264";
        case VideoCodec::kHevc: return "HEVC";
        default: return "unknown";
    }
}

namespace {

// Parameter sets settle it: HEVC VPS/SPS/PPS headers, or an H.264 SPS with a known profile.
VideoCodec FromParameterSets(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 4 < size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        const std::uint8_t b0 = data[i + 3], b1 = data[i + 4];
        if ((b0 == 0x40 || b0 == 0x42 || b0 == 0x44) && b1 == 0x01) return VideoCodec::kHevc;
        if ((b0 & 0x9F) == 0x07) {
            switch (b1) {
                case 44: case 66: case 77: case 88: case 100: case 110: case 118: case 122: case 128: case 244:
                    return VideoCodec::kH264;
                default: break;
            }
        }
    }
    return VideoCodec::kUnknown;
}

}  // namespace

VideoCodec DetectCodec(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr) return VideoCodec::kUnknown;
    if (const VideoCodec c = FromParameterSets(data, size); c != VideoCodec::kUnknown) return c;
    // Skip the start code (00 00 01 or 00 00 00 01).
    std::size_t i = 0;
    while (i < size && i < 4 && data[i] == 0) ++i;
    if (i < 2 || i >= size || data[i] != 1) return VideoCodec::kUnknown;
    ++i;
    if (i + 1 >= size) return VideoCodec::kUnknown;
    const std::uint8_t b0 = data[i], b1 = data[i + 1];
    if (b0 & 0x80) return VideoCodec::kUnknown;  // forbidden bit
    // HEVC: two-byte header, layer 0 and temporal id 1 in the second byte.
    const int hevcType = (b0 >> 1) & 0x3F;
    if ((b0 & 0x01) == 0 && b1 == 0x01 && (hevcType <= 21 || (hevcType >= 32 && hevcType <= 40))) {
        return VideoCodec::kHevc;
    }
    const int avcType = b0 & 0x1F;
    if (avcType >= 1 && avcType <= 12) return VideoCodec::kH264;
    return VideoCodec::kUnknown;
}

}  // namespace Veltrix::phone
