// A clock that moves only when the test says so.
//
// Now() starts at an arbitrary fixed point and changes only through Advance()
// or, with autoAdvance, when a thread sleeps (the sleep then returns at once
// with time moved to its deadline). Waiters blocked in SleepUntil/WaitUntil
// are woken on every Advance; BlockedCount() lets a test wait until a thread
// under test has reached its wait before moving time.
#pragma once

#include <atomic>
#include <set>

#include "support/clock.h"

namespace Veltrix::testing {

class ManualClock final : public Clock {
public:
    explicit ManualClock(bool autoAdvance = false);

    time_point Now() const override;
    void SleepUntil(time_point deadline) override;
    bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   time_point deadline, const std::function<bool()>& pred) override;

    // Moves time forward and wakes every waiter.
    void Advance(duration d);
    // Sets time (never backwards) and wakes every waiter.
    void AdvanceTo(time_point t);

    // Number of threads currently blocked in SleepUntil or WaitUntil.
    int BlockedCount() const { return blocked_.load(); }
    // Waits (in real time, up to timeout) until at least n threads are blocked.
    bool WaitForBlocked(int n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    void WakeAll();

    bool autoAdvance_;
    mutable std::mutex mutex_;
    std::condition_variable sleepers_;
    time_point now_;
    std::set<std::condition_variable*> waiters_;
    std::atomic<int> blocked_{0};
};

}  // namespace Veltrix::testing
