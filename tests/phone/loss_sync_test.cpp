// The simulated loss (shares and burst lengths with a fixed seed) and the
// sync meter on synthetic pictures and audio.
#include <gtest/gtest.h>

#include <vector>

#include "vx-phone/loss_model.h"
#include "vx-phone/phone_options.h"
#include "vx-phone/sync_meter.h"

namespace Veltrix::phone {
namespace {

struct Runs {
    double share = 0, meanBurst = 0;
};

Runs Measure(LossModel& m, int n) {
    int dropped = 0, bursts = 0;
    bool previous = false;
    for (int i = 0; i < n; ++i) {
        const bool d = m.Drop();
        dropped += d;
        if (d && !previous) ++bursts;
        previous = d;
    }
    return {static_cast<double>(dropped) / n, bursts ? static_cast<double>(dropped) / bursts : 0};
}

TEST(LossModelTest, RandomAndBurstyDropsHaveTheShareAndBurstLengthAskedFor) {
    LossModel random(0.05, 0, 11);
    const Runs r = Measure(random, 400000);
    EXPECT_NEAR(r.share, 0.05, 0.002);
    EXPECT_NEAR(r.meanBurst, 1 / 0.95, 0.02);  // independent: runs only by chance
    EXPECT_EQ(random.seen(), 400000u);

    LossModel bursty(0.05, 4, 11);
    const Runs b = Measure(bursty, 400000);
    EXPECT_NEAR(b.share, 0.05, 0.004);
    EXPECT_NEAR(b.meanBurst, 4.0, 0.25);

    // The same seed gives the same drops; no rate, no drops.
    LossModel a(0.02, 3, 99), c(0.02, 3, 99);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(a.Drop(), c.Drop()) << i;
    LossModel none(0, 0, 1);
    for (int i = 0; i < 1000; ++i) ASSERT_FALSE(none.Drop());
    EXPECT_FALSE(none.active());
}

// The prediction must match what the model does to frames of 20 data + 4 parity
// datagrams sent back to back, the way the delivery figures use it.
TEST(LossModelTest, DeliveryChanceMatchesTheDropsOfWholeFrames) {
    EXPECT_NEAR(LossModel(0.1, 0, 1).DeliveryChance(3, 1), 0.9 * 0.9 * 0.9 + 3 * 0.1 * 0.9 * 0.9, 1e-12);
    EXPECT_DOUBLE_EQ(LossModel(0, 0, 1).DeliveryChance(24, 0), 1.0);
    for (const double burst : {0.0, 4.0}) {
        LossModel model(0.05, burst, 5);
        const double predicted = model.DeliveryChance(24, 4);
        int whole = 0;
        constexpr int kFrames = 40000;
        for (int f = 0; f < kFrames; ++f) {
            int dropped = 0;
            for (int d = 0; d < 24; ++d) dropped += model.Drop();
            whole += dropped <= 4;
        }
        EXPECT_NEAR(static_cast<double>(whole) / kFrames, predicted, 0.006) << "burst " << burst;
        EXPECT_LT(predicted, 1.0);
    }
}

TEST(LossModelTest, DropTallyCountsAFrameRepairableWhileItsDropsFitItsParity) {
    DropTally tally;
    // Frames of 6 datagrams with 2 parity, numbered across the wrap; frame k loses k % 4.
    for (int k = 0; k < 40; ++k) {
        DatagramView d;
        d.frameNumber = static_cast<std::uint16_t>(65530 + k);
        d.parityCount = 2;
        d.count = 6;
        for (int i = 0; i < 6; ++i) tally.Note(d, i < k % 4);
    }
    EXPECT_EQ(tally.frames(), 40u) << "settled and open frames alike";
    EXPECT_EQ(tally.repairable(), 30u);  // losing 3 of 6 with 2 parity is too many
    DatagramView late;
    late.frameNumber = 65530;  // long settled: ignored
    late.parityCount = 2;
    tally.Note(late, true);
    late.frameNumber = 65530 + 38;  // open, 2 of 2 dropped: one more is too many
    tally.Note(late, true);
    EXPECT_EQ(tally.frames(), 40u);
    EXPECT_EQ(tally.repairable(), 29u);
}

TEST(LossModelTest, DropOptionsTakeASharePercentOrFraction) {
    std::string err;
    auto o = ParsePhoneOptions({"--drop", "2%", "--drop-burst", "3", "--drop-seed", "7", "--sync", "--show"}, &err);
    ASSERT_TRUE(o) << err;
    EXPECT_DOUBLE_EQ(o->dropRate, 0.02);
    EXPECT_DOUBLE_EQ(o->dropBurst, 3);
    EXPECT_EQ(o->dropSeed, 7u);
    EXPECT_TRUE(o->sync && o->show);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--drop", "1"}, {"--drop", "-0.1"},
                                                {"--drop", "x%"}, {"--drop-burst", "0.5"}, {"--silence-limit", "0"}}) {
        EXPECT_FALSE(ParsePhoneOptions(bad, &err));
        EXPECT_NE(err.find(bad[0]), std::string::npos) << err;
    }
}

TEST(SyncMeterTest, PairsEachFlashWithItsClickAndReportsTheSkew) {
    SyncMeter meter;
    const auto t0 = Clock::time_point{} + std::chrono::hours(1);
    auto at = [&](double seconds) { return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)); };
    const int w = 160, h = 90;
    std::vector<std::uint8_t> dark(w * h, 100), white(w * h, 235);
    constexpr int kRate = 48000, kBlock = 1024;
    // Ten seconds: a click 100 samples into each second; the flash decoded 25 or 35 ms after it.
    std::vector<float> block(kBlock * 2);
    for (int b = 0; b < 10 * kRate / kBlock; ++b) {
        for (int i = 0; i < kBlock; ++i) {
            const int sample = b * kBlock + i;
            const float v = (sample % kRate >= 100 && sample % kRate < 340) ? 0.9f : 0.25f * ((sample / 50) % 2 ? 1 : -1);
            block[2 * i] = block[2 * i + 1] = v;
        }
        meter.OnAudio(block.data(), kBlock, 2, kRate, at(static_cast<double>(b) * kBlock / kRate));
    }
    for (int f = 0; f < 300; ++f) {
        const int second = f / 30;
        const bool flash = f % 30 == 0;
        const double when = flash ? second + 100.0 / kRate + (second % 2 ? 0.035 : 0.025) : f / 30.0 + 0.01;
        meter.OnPicture(flash ? white.data() : dark.data(), w, h, w, at(when));
    }
    // A flash with no click near it stays unpaired.
    meter.OnPicture(white.data(), w, h, w, at(20));
    const SyncSummary s = meter.Summary();
    EXPECT_EQ(s.flashes, 11u);
    EXPECT_EQ(s.clicks, 10u);
    EXPECT_EQ(s.pairs, 10u);
    EXPECT_NEAR(s.p50Ms, 30, 0.5);
    EXPECT_NEAR(s.minMs, 25, 0.5);
    EXPECT_NEAR(s.maxMs, 35, 0.5);
    EXPECT_NEAR(s.spreadMs, 10, 0.5);
}

}  // namespace
}  // namespace Veltrix::phone
