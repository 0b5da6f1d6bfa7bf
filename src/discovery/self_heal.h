// The self-heal decision: whether our own instance is still answered on the wire,
// and when to publish it again. No threads; time comes from the injected clock.
// All operations are thread-safe (one mutex, taken after the advertiser's own).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/clock.h"

namespace Veltrix {

class SelfHeal {
public:
    static constexpr std::chrono::nanoseconds kRepublishInterval = std::chrono::milliseconds(1500);
    static constexpr std::int32_t kMissesForAbsent = 2;

    explicit SelfHeal(Clock& clock) : clock_(clock) {}

    // Watches name from now on: present, no misses.
    void Watch(std::u16string name);
    // One browse answer. An answer naming us marks us present; consecutive answers
    // without us count misses and the second marks us absent. An empty answer, or
    // one while nothing is watched, changes nothing.
    void OnAnswer(const std::vector<std::u16string>& ptrNames);
    // True when absent and the last detection or attempt is at least kRepublishInterval
    // old; the attempt is then timed from now.
    bool TakeRepublishDue();

    std::u16string Name() const;
    bool Present() const;
    std::int32_t Misses() const;

private:
    Clock& clock_;
    mutable std::mutex mutex_;
    std::u16string name_;
    bool present_ = true;
    std::int32_t misses_ = 0;
    Clock::time_point last_{};
};

}  // namespace Veltrix
