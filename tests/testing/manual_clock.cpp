#include "tests/testing/manual_clock.h"

#include <thread>

namespace Veltrix::testing {

ManualClock::ManualClock(bool autoAdvance)
    : autoAdvance_(autoAdvance), now_(time_point(std::chrono::hours(1000))) {}

Clock::time_point ManualClock::Now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void ManualClock::SleepUntil(time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (autoAdvance_) {
        if (deadline > now_) now_ = deadline;
        lock.unlock();
        WakeAll();
        return;
    }
    ++blocked_;
    sleepers_.wait(lock, [&] { return now_ >= deadline; });
    --blocked_;
}

bool ManualClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            time_point deadline, const std::function<bool()>& pred) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        waiters_.insert(&cv);
    }
    ++blocked_;
    bool result = false;
    for (;;) {
        if (pred()) {
            result = true;
            break;
        }
        if (Now() >= deadline) {
            result = pred();
            break;
        }
        if (autoAdvance_) {
            // A wait nobody satisfies within a real moment jumps to its deadline.
            if (cv.wait_for(lock, std::chrono::milliseconds(1)) == std::cv_status::timeout &&
                !pred()) {
                AdvanceTo(deadline);
            }
            continue;
        }
        // Advance() notifies cv, but without the caller's mutex; a short real
        // timeout closes the window between our check and the wait.
        cv.wait_for(lock, std::chrono::milliseconds(2));
    }
    --blocked_;
    {
        std::lock_guard<std::mutex> g(mutex_);
        waiters_.erase(&cv);
    }
    return result;
}

void ManualClock::Advance(duration d) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += d;
    }
    WakeAll();
}

void ManualClock::AdvanceTo(time_point t) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (t > now_) now_ = t;
    }
    WakeAll();
}

void ManualClock::WakeAll() {
    // Notify under mutex_: a waiter unregisters under it, so every cv here is alive.
    std::lock_guard<std::mutex> lock(mutex_);
    sleepers_.notify_all();
    for (auto* cv : waiters_) cv->notify_all();
}

bool ManualClock::WaitForBlocked(int n, std::chrono::milliseconds timeout) const {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (blocked_.load() < n) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace Veltrix::testing
