// The frame-size cap as a ceiling on the encoder's rate control: frames at or
// below the cap still carry parity (a frame of 256 fragments or more carries
// none, and one lost datagram loses it), so the mean rate, the peak rate and
// the rate-control buffer handed to the transform are held to what the cap
// allows at the frame rate.
#pragma once

#include <cstdint>

namespace Veltrix {

// Share of the cap's rate (cap x 8 x fps) the mean may use: the rest is room
// for a long GOP's key frame above the mean.
inline constexpr double kCapMeanShare = 0.80;
// Share of the cap the rate-control buffer may hold: room for the overshoot
// measured on libx264/libx265 with a full buffer.
inline constexpr double kCapBufferShare = 0.90;

struct CappedRates {
    uint32_t mean = 0;        // bits per second handed to the transform
    uint32_t max = 0;         // peak bits per second
    uint32_t bufferBits = 0;  // rate-control buffer; 0: the transform's own choice (uncapped)
    bool limited = false;     // the cap lowered the mean or the peak
};

// requestedMax 0: no peak asked for (the mean plus 30 %). uncapped: the old
// behaviour, every value as asked and no buffer.
CappedRates CapRates(uint32_t requestedMean, uint32_t requestedMax, int fps, uint32_t frameSizeCap, bool uncapped);

}  // namespace Veltrix
