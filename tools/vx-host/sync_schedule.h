// When the sync pattern flashes and clicks: once a second of timeline, the
// first frame that starts at or after the second turns white, and the tone
// carries a click from that frame's own instant, so the two leave the host
// at the same timeline time and any skew seen later was added on the way.
#pragma once

#include <cstdint>

namespace Veltrix::host {

class SyncSchedule {
public:
    // Frame rate as num/den frames per second, audio at `sampleRate`.
    SyncSchedule(std::int64_t fpsNum, std::int64_t fpsDen, std::int64_t sampleRate);

    // True for the frame that shows the flash of its second.
    bool IsFlashFrame(std::int64_t frame) const;
    // The click's level at this sample of the timeline (0 outside a click);
    // the tone is replaced, not mixed, while the click lasts.
    bool InClick(std::int64_t sample, float* level) const;

    static constexpr double kClickSeconds = 0.005;
    static constexpr float kClickLevel = 0.9f;

private:
    std::int64_t ClickStart(std::int64_t second) const;

    std::int64_t num_, den_, rate_;
};

}  // namespace Veltrix::host
