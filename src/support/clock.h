// Injectable time source. Logic that waits or measures takes a Clock& so tests
// can drive time by hand (see tests/testing/manual_clock.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace Veltrix {

class Clock {
public:
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<std::chrono::steady_clock, duration>;

    virtual ~Clock() = default;

    // Monotonic now.
    virtual time_point Now() const = 0;

    // Blocks the caller until Now() >= deadline.
    virtual void SleepUntil(time_point deadline) = 0;

    // Waits on cv (lock held on entry and exit) until pred() is true or Now() >= deadline.
    // Returns pred() at exit. Spurious wake-ups are absorbed; a notify re-checks pred.
    virtual bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           time_point deadline, const std::function<bool()>& pred) = 0;

    void SleepFor(duration d) { SleepUntil(Now() + d); }
    bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, duration d,
                 const std::function<bool()>& pred) {
        return WaitUntil(cv, lock, Now() + d, pred);
    }

    // The process's real steady clock.
    static Clock& Real();
};

class SteadyClock final : public Clock {
public:
    time_point Now() const override;
    void SleepUntil(time_point deadline) override;
    bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   time_point deadline, const std::function<bool()>& pred) override;
};

}  // namespace Veltrix
