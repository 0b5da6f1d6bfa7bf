#include "network/pairing_throttle.h"

#include <algorithm>

namespace Veltrix {

Clock::duration PairingThrottle::DelayAfter(int failures, int free) {
    if (failures < free) return Clock::duration::zero();
    const int doublings = std::min(failures - free, 6);  // 2^6 s already passes the cap
    return std::min<Clock::duration>(kFirstDelay * (1 << doublings), kMaxDelay);
}

Clock::time_point PairingThrottle::NextChallengeAt(std::uint32_t source, Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point at = now;
    if (total_.failures >= kFreeFailuresTotal) at = std::max(at, total_.last + DelayAfter(total_.failures, kFreeFailuresTotal));
    if (const auto it = sources_.find(source); it != sources_.end() && it->second.failures >= kFreeFailures)
        at = std::max(at, it->second.last + DelayAfter(it->second.failures, kFreeFailures));
    return at;
}

void PairingThrottle::RecordFailure(std::uint32_t source, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sources_.size() >= kMaxSources && sources_.find(source) == sources_.end()) {
        // Many addresses: forget the one quiet longest. The total still counts them all.
        const auto oldest = std::min_element(sources_.begin(), sources_.end(),
                                             [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
        sources_.erase(oldest);
    }
    Count& c = sources_[source];
    ++c.failures;
    c.last = now;
    ++total_.failures;
    total_.last = now;
}

void PairingThrottle::RecordSuccess() {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.clear();
    total_ = Count{};
}

int PairingThrottle::TotalFailures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_.failures;
}

}  // namespace Veltrix
