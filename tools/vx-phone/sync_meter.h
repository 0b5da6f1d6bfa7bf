// Audio/video skew of the sync pattern as the phone receives it: the time a
// flash picture is decoded against the time its click would play, taking a
// click to play when its audio block arrives plus its place in the block.
// Each flash is paired with the nearest click within half a second; skew is
// flash minus click (positive: the picture is late). Thread-safe: pictures
// and audio come from different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "support/clock.h"

namespace Veltrix::phone {

struct SyncSummary {
    std::size_t flashes = 0, clicks = 0, pairs = 0;
    double p50Ms = 0;
    double spreadMs = 0;  // p95 - p5 of the skews
    double minMs = 0, maxMs = 0;
};

class SyncMeter {
public:
    // A decoded picture (8-bit luma): a flash is a picture far brighter than
    // the one before it.
    void OnPicture(const std::uint8_t* luma, int width, int height, int stride, Clock::time_point decodedAt);
    // One received block of interleaved float samples.
    void OnAudio(const float* interleaved, std::size_t samples, int channels, std::uint32_t sampleRate,
                 Clock::time_point arrivedAt);

    SyncSummary Summary() const;

    static constexpr double kFlashLuma = 200;   // mean luma of a flash (white is 235 or 255)
    static constexpr float kClickLevel = 0.5f;  // the tone stays at a quarter of full scale

private:
    mutable std::mutex mutex_;
    bool lastBright_ = false;
    std::size_t quietSamples_ = SIZE_MAX / 2;  // before the stream: quiet
    std::vector<Clock::time_point> flashes_, clicks_;
};

}  // namespace Veltrix::phone
