// How long the next pairing challenge must wait after wrong codes: the decision
// alone, on time points the caller reads from its clock; the handshake does the
// waiting.
//
// Every challenge carries a fresh six-digit code, so each guess wins with
// probability 1e-6 and a guesser needs 1e6 answers on average. The first
// kFreeFailures wrong codes from one address (kFreeFailuresTotal from all) cost
// nothing, so a user who mistypes twice pairs at once on the third try. After
// that each challenge waits 1 s, 2 s, 4 s, ... up to kMaxDelay, from the last
// wrong code. The total count bounds the rate over all addresses together, so
// at the fastest rate allowed a guesser gets one answer per 60 s:
// 1e6 x 60 s = 6e7 s, about 1.9 years on average. A code pairing resets it all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

#include "support/clock.h"

namespace Veltrix {

class PairingThrottle {
public:
    static constexpr int kFreeFailures = 3;
    static constexpr int kFreeFailuresTotal = 6;
    static constexpr std::chrono::seconds kFirstDelay{1};
    static constexpr std::chrono::seconds kMaxDelay{60};
    static constexpr std::size_t kMaxSources = 256;

    // The earliest moment the next challenge to source may be sent (at or before
    // now when it need not wait).
    Clock::time_point NextChallengeAt(std::uint32_t source, Clock::time_point now) const;
    // A wrong code from source at now.
    void RecordFailure(std::uint32_t source, Clock::time_point now);
    // A phone paired with its code: every count starts again.
    void RecordSuccess();
    // Wrong codes counted over all sources since the last pairing.
    int TotalFailures() const;

    // The wait after `failures` wrong codes when `free` of them cost nothing.
    static Clock::duration DelayAfter(int failures, int free);

private:
    struct Count {
        int failures = 0;
        Clock::time_point last{};
    };
    mutable std::mutex mutex_;
    std::map<std::uint32_t, Count> sources_;
    Count total_;
};

}  // namespace Veltrix
