// The host's timeline: a position in host ticks, a play state, and in/out
// points. The transport (the control-surface suites, the host's own pause)
// changes it from any thread; the playback clock advances it; the session
// waits for it to move and pushes the picture it shows.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "support/clock.h"

namespace Veltrix::host {

enum class PlayState { kStopped, kForward, kReverse };
// "paused", "playing", "reverse".
const char* PlayStateName(PlayState state);

struct TimelineView {
    std::int64_t ticks = 0;
    PlayState state = PlayState::kStopped;
    std::uint64_t version = 0;  // counts every change (position or state)
};

class Timeline {
public:
    // frameTicks > 0. inTicks and outTicks are the in and out points (outTicks
    // < 0: none); endTicks < 0: the timeline has no end.
    Timeline(std::int64_t frameTicks, std::int64_t inTicks, std::int64_t outTicks, std::int64_t endTicks);

    std::int64_t frameTicks() const { return frameTicks_; }
    TimelineView View() const;
    std::int64_t Frame() const;  // the frame the position is in
    bool Playing() const;

    // --- transport: each returns the view after the change ---
    TimelineView PlayForward();  // to the end of the timeline
    TimelineView PlayReverse();  // to the start
    TimelineView PlayToOut();    // from here to the out point (forward play without one)
    TimelineView Stop();
    TimelineView PlayStopToggle();
    // Moves whole frames (the play state stays); clamped to the timeline.
    TimelineView Step(std::int64_t frames);
    TimelineView GotoIn();
    TimelineView GotoOut();  // without an out point: the last frame, or stays put on an endless timeline

    // The clock: moves the position by elapsed ticks in the play direction and
    // stops at the start, at the end, and at the out point when playing to it.
    void Advance(std::int64_t elapsedTicks);

    // Waits (lock-free for the caller) until the version differs from `seen`
    // or the deadline passes; returns the view then.
    TimelineView WaitForChange(std::uint64_t seen, Clock& clock, Clock::time_point deadline);

private:
    TimelineView SetLocked(std::int64_t ticks, PlayState state);
    std::int64_t Clamp(std::int64_t ticks) const;

    const std::int64_t frameTicks_;
    const std::int64_t in_;
    const std::int64_t out_;
    const std::int64_t end_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t ticks_ = 0;
    PlayState state_ = PlayState::kStopped;
    bool toOut_ = false;
    std::uint64_t version_ = 0;
};

}  // namespace Veltrix::host
