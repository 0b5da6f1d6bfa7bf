#include "support/clock.h"

#include <thread>

namespace Veltrix {

Clock& Clock::Real() {
    static SteadyClock clock;
    return clock;
}

Clock::time_point SteadyClock::Now() const {
    return std::chrono::time_point_cast<duration>(std::chrono::steady_clock::now());
}

void SteadyClock::SleepUntil(time_point deadline) {
    std::this_thread::sleep_until(deadline);
}

bool SteadyClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            time_point deadline, const std::function<bool()>& pred) {
    return cv.wait_until(lock, deadline, pred);
}

}  // namespace Veltrix
