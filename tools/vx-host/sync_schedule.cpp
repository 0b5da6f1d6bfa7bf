#include "vx-host/sync_schedule.h"

namespace Veltrix::host {
namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

SyncSchedule::SyncSchedule(std::int64_t fpsNum, std::int64_t fpsDen, std::int64_t sampleRate)
    : num_(fpsNum > 0 ? fpsNum : 30), den_(fpsDen > 0 ? fpsDen : 1), rate_(sampleRate > 0 ? sampleRate : 48000) {}

bool SyncSchedule::IsFlashFrame(std::int64_t frame) const {
    if (frame < 0) return false;
    // A whole second k lies in ((frame-1)/fps, frame/fps].
    return FloorDiv(frame * den_, num_) > FloorDiv((frame - 1) * den_, num_);
}

std::int64_t SyncSchedule::ClickStart(std::int64_t second) const {
    // The flash frame of that second, then its start in samples, rounded.
    const std::int64_t frame = (second * num_ + den_ - 1) / den_;
    return (2 * frame * den_ * rate_ + num_) / (2 * num_);
}

bool SyncSchedule::InClick(std::int64_t sample, float* level) const {
    if (sample < 0) return false;
    const std::int64_t second = sample / rate_;
    const std::int64_t start = ClickStart(second);
    const std::int64_t length = static_cast<std::int64_t>(kClickSeconds * static_cast<double>(rate_));
    if (sample < start || sample >= start + length) return false;
    // A 2 kHz square burst: loud, and plainly not the quarter-scale 440 Hz tone.
    const bool high = ((sample - start) * 4000 / rate_) % 2 == 0;
    if (level) *level = high ? kClickLevel : -kClickLevel;
    return true;
}

}  // namespace Veltrix::host
