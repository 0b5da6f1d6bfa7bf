#include "network/pairing_throttle.h"

#include <gtest/gtest.h>

namespace Veltrix {
namespace {

using std::chrono::seconds;

TEST(PairingThrottle, TwoTyposCostNothingThenEachChallengeWaitsLonger) {
    PairingThrottle t;
    const auto t0 = Clock::time_point{} + seconds(1000);
    const std::uint32_t phone = 0x0A000002;
    t.RecordFailure(phone, t0);
    t.RecordFailure(phone, t0);
    EXPECT_EQ(t.NextChallengeAt(phone, t0), t0);  // the third try goes at once
    t.RecordFailure(phone, t0);
    EXPECT_EQ(t.NextChallengeAt(phone, t0), t0 + seconds(1));
    auto now = t0;
    for (const int expected : {2, 4, 8, 16, 32, 60, 60}) {
        now = t.NextChallengeAt(phone, now);
        t.RecordFailure(phone, now);
        EXPECT_EQ(t.NextChallengeAt(phone, now) - now, seconds(expected));
    }
    EXPECT_EQ(t.NextChallengeAt(phone, now + seconds(90)), now + seconds(90));  // waited long enough
    t.RecordSuccess();
    EXPECT_EQ(t.NextChallengeAt(phone, now), now);
    EXPECT_EQ(t.TotalFailures(), 0);
}

// Fresh addresses do not buy fresh tries: the total slows them all.
TEST(PairingThrottle, ManyAddressesShareTheTotal) {
    PairingThrottle t;
    const auto t0 = Clock::time_point{} + seconds(1000);
    for (std::uint32_t ip = 1; ip <= 5; ++ip) t.RecordFailure(ip, t0);
    EXPECT_EQ(t.NextChallengeAt(99, t0), t0);
    t.RecordFailure(6, t0);
    EXPECT_EQ(t.NextChallengeAt(99, t0), t0 + seconds(1));
    for (std::uint32_t ip = 100; ip < 100 + 2 * PairingThrottle::kMaxSources; ++ip) t.RecordFailure(ip, t0);
    EXPECT_EQ(t.NextChallengeAt(12345, t0), t0 + PairingThrottle::kMaxDelay);
}

}  // namespace
}  // namespace Veltrix
