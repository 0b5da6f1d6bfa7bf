#include "vx-host/timeline.h"

#include <algorithm>

namespace Veltrix::host {

const char* PlayStateName(PlayState state) {
    switch (state) {
        case PlayState::kForward: return "playing";
        case PlayState::kReverse: return "reverse";
        default: return "paused";
    }
}

Timeline::Timeline(std::int64_t frameTicks, std::int64_t inTicks, std::int64_t outTicks, std::int64_t endTicks)
    : frameTicks_(frameTicks), in_(std::max<std::int64_t>(inTicks, 0)), out_(outTicks), end_(endTicks) {}

std::int64_t Timeline::Clamp(std::int64_t ticks) const {
    // The end itself is past the last frame: moves stop on the last frame.
    if (end_ >= 0 && ticks > end_ - frameTicks_) ticks = end_ - frameTicks_;
    return ticks < 0 ? 0 : ticks;
}

TimelineView Timeline::View() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return TimelineView{ticks_, state_, version_};
}

std::int64_t Timeline::Frame() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ticks_ / frameTicks_;
}

bool Timeline::Playing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ != PlayState::kStopped;
}

TimelineView Timeline::SetLocked(std::int64_t ticks, PlayState state) {
    if (ticks != ticks_ || state != state_) {
        ticks_ = ticks;
        state_ = state;
        ++version_;
        changed_.notify_all();
    }
    if (state_ == PlayState::kStopped) toOut_ = false;
    return TimelineView{ticks_, state_, version_};
}

TimelineView Timeline::PlayForward() {
    std::lock_guard<std::mutex> lock(mutex_);
    toOut_ = false;
    return SetLocked(ticks_, PlayState::kForward);
}

TimelineView Timeline::PlayReverse() {
    std::lock_guard<std::mutex> lock(mutex_);
    toOut_ = false;
    return SetLocked(ticks_, PlayState::kReverse);
}

TimelineView Timeline::PlayToOut() {
    std::lock_guard<std::mutex> lock(mutex_);
    toOut_ = out_ >= 0 && ticks_ < out_;
    return SetLocked(ticks_, PlayState::kForward);
}

TimelineView Timeline::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    return SetLocked(ticks_, PlayState::kStopped);
}

TimelineView Timeline::PlayStopToggle() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != PlayState::kStopped) return SetLocked(ticks_, PlayState::kStopped);
    toOut_ = false;
    return SetLocked(ticks_, PlayState::kForward);
}

TimelineView Timeline::Step(std::int64_t frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t frame = ticks_ / frameTicks_;
    return SetLocked(Clamp((frame + frames) * frameTicks_), state_);
}

TimelineView Timeline::GotoIn() {
    std::lock_guard<std::mutex> lock(mutex_);
    return SetLocked(Clamp(in_), state_);
}

TimelineView Timeline::GotoOut() {
    std::lock_guard<std::mutex> lock(mutex_);
    return SetLocked(out_ >= 0 ? Clamp(out_) : (end_ >= 0 ? Clamp(end_) : ticks_), state_);
}

void Timeline::Advance(std::int64_t elapsedTicks) {
    if (elapsedTicks <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == PlayState::kForward) {
        std::int64_t next = ticks_ + elapsedTicks;
        if (toOut_ && next >= out_) {
            SetLocked(out_, PlayState::kStopped);
            return;
        }
        if (end_ >= 0 && next >= end_) {
            SetLocked(end_, PlayState::kStopped);
            return;
        }
        SetLocked(next, state_);
    } else if (state_ == PlayState::kReverse) {
        const std::int64_t next = ticks_ - elapsedTicks;
        if (next <= 0) SetLocked(0, PlayState::kStopped);
        else SetLocked(next, state_);
    }
}

TimelineView Timeline::WaitForChange(std::uint64_t seen, Clock& clock, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    clock.WaitUntil(changed_, lock, deadline, [&] { return version_ != seen; });
    return TimelineView{ticks_, state_, version_};
}

}  // namespace Veltrix::host
