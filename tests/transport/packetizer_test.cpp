#include "transport/packetizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "tests/testing/manual_clock.h"
#include "tests/transport/datagram_parse.h"
#include "tests/transport/reference_gf.h"
#include "transport/fec.h"

namespace Veltrix {
namespace {

using testing::Parse;
using testing::Parsed;

std::vector<Parsed> Packets(std::size_t len, int parity, uint32_t& seq, bool key = true, bool sendTime = true,
                        uint8_t type = kStreamTypeVideo, uint16_t frame = 7, const uint8_t* data = nullptr) {
    std::vector<uint8_t> local;
    if (!data) {
        local = testing::SeededBytes(static_cast<uint32_t>(len), len);
        data = local.data();
    }
    FrameGroup g;
    EXPECT_TRUE(PacketizeGroup(type, key, parity, frame, seq, 0xA1B2C3D4u, data, len, sendTime, g));
    std::vector<Parsed> out;
    std::size_t total = 0;
    for (auto& d : g.datagrams) {
        total += d.size();
        out.push_back(Parse(d));
    }
    EXPECT_EQ(total, g.totalBytes);
    return out;
}

TEST(ParityRule, Examples) {
    EXPECT_EQ(VideoParityCount(1), 1);
    EXPECT_EQ(VideoParityCount(10 * 1440), 1);
    EXPECT_EQ(VideoParityCount(11 * 1440), 2);
    EXPECT_EQ(VideoParityCount(200 * 1440), 20);
    EXPECT_EQ(VideoParityCount(250 * 1440), 5);
    EXPECT_EQ(VideoParityCount(255 * 1440), 0);
    EXPECT_EQ(VideoParityCount(256 * 1440), 0);
    EXPECT_EQ(VideoParityCount(630 * 1440 / 10), 7);
    for (std::size_t d = 1; d < 300; ++d) {
        const int p = VideoParityCount(d * 1440);
        EXPECT_LE(p, 63);
        if (d < 255) {
            EXPECT_LE(d + static_cast<std::size_t>(p), 255u);
        }
    }
}

// Every datagram against the wire layout, and every recovery block against the
// field formula computed independently, over random frames.
TEST(PacketizeConformance, RandomFramesMatchFormula) {
    ASSERT_TRUE(FecAvailable());
    std::mt19937 rng(777);
    uint32_t seq = 0xFFFFFFF0u;  // crosses the 32-bit wrap on the way
    std::vector<std::size_t> lengths;
    for (std::size_t d = 1; d <= 255; d += (d < 20 ? 1 : 13)) {
        // Last fragment of every length class: 1 byte, middle, full.
        lengths.push_back((d - 1) * 1440 + 1);
        lengths.push_back((d - 1) * 1440 + 1 + rng() % 1439);
        lengths.push_back(d * 1440);
    }
    lengths.push_back(255 * 1440);
    for (std::size_t len : lengths) {
        const std::size_t d = (len + 1439) / 1440;
        const int p = d == 1 ? 1 : std::min<int>(static_cast<int>(1 + rng() % 63), static_cast<int>(256 - d));
        auto data = testing::SeededBytes(static_cast<uint32_t>(rng()), len);
        const uint32_t first = seq;
        auto dg = Packets(len, p, seq, (len & 1) != 0, true, kStreamTypeVideo, 42, data.data());
        ASSERT_EQ(dg.size(), d + static_cast<std::size_t>(p)) << len;
        ASSERT_EQ(ExpectedFragmentCount(len, p), dg.size());
        EXPECT_EQ(seq, first + static_cast<uint32_t>(dg.size()));
        std::vector<uint8_t> padded(d * 1440, 0);
        std::memcpy(padded.data(), data.data(), len);
        for (std::size_t k = 0; k < dg.size(); ++k) {
            const Parsed& x = dg[k];
            ASSERT_EQ(std::memcmp(x.bytes.data(), "VXV\x02", 4), 0);
            EXPECT_EQ(x.type, kStreamTypeVideo);
            EXPECT_EQ(x.frame, 42);
            EXPECT_EQ(x.seq, first + static_cast<uint32_t>(k));
            EXPECT_EQ(x.time, 0xA1B2C3D4u);
            EXPECT_EQ(x.index, k);
            EXPECT_EQ(x.count, dg.size());
            EXPECT_EQ(x.flags >> 2, p);
            EXPECT_EQ(x.flags & 1, (len & 1) != 0 ? 1 : 0);
            if (k < d) {
                const std::size_t n = std::min<std::size_t>(1440, len - k * 1440);
                EXPECT_EQ(x.flags & 2, 2);
                ASSERT_EQ(x.length, n);
                ASSERT_EQ(x.bytes.size(), 22 + n + 4);
                ASSERT_EQ(std::memcmp(x.payload(), data.data() + k * 1440, n), 0);
            } else {
                EXPECT_EQ(x.flags & 2, 0);
                ASSERT_EQ(x.length, 1442);
                ASSERT_EQ(x.bytes.size(), 1464u);
                EXPECT_EQ(testing::Get16(x.payload()), len - (d - 1) * 1440);
                auto ref = testing::RefRecovery(padded.data(), static_cast<unsigned>(d),
                                                static_cast<unsigned>(k - d), 1440);
                ASSERT_EQ(std::memcmp(x.payload() + 2, ref.data(), 1440), 0) << "D=" << d << " i=" << k - d;
            }
        }
    }
}

TEST(PacketizeEdges, SmallFramesAndBoundaries) {
    uint32_t seq = 100;
    {  // 1-byte frame: 27-byte data fragment and a parity copy of the padded block
        const uint8_t one = 0xEE;
        auto dg = Packets(1, 1, seq, true, true, kStreamTypeVideo, 7, &one);
        ASSERT_EQ(dg.size(), 2u);
        EXPECT_EQ(dg[0].bytes.size(), 27u);
        EXPECT_EQ(dg[0].length, 1);
        EXPECT_EQ(dg[0].flags, 0x01 | 0x02 | (1 << 2));
        EXPECT_EQ(dg[1].bytes.size(), 1464u);
        EXPECT_EQ(dg[1].flags, 0x01 | (1 << 2));
        EXPECT_EQ(testing::Get16(dg[1].payload()), 1);
        EXPECT_EQ(dg[1].payload()[2], 0xEE);
        for (int i = 1; i < 1440; ++i) ASSERT_EQ(dg[1].payload()[2 + i], 0);
    }
    {
        auto dg = Packets(1440, 0, seq);
        ASSERT_EQ(dg.size(), 1u);
        EXPECT_EQ(dg[0].length, 1440);
        dg = Packets(1441, 0, seq);
        ASSERT_EQ(dg.size(), 2u);
        EXPECT_EQ(dg[0].length, 1440);
        EXPECT_EQ(dg[1].length, 1);
    }
    {  // 256 fragments: parity request ignored, flags carry no count
        auto dg = Packets(256 * 1440, 20, seq, false, true);
        ASSERT_EQ(dg.size(), 256u);
        for (auto& x : dg) ASSERT_EQ(x.flags, 0x02);
        EXPECT_EQ(ExpectedFragmentCount(256 * 1440, 20), 256u);
    }
    {  // D + P above the 256 blocks the code handles: no parity rather than a failed frame
        EXPECT_EQ(ExpectedFragmentCount(250 * 1440, 10), 250u);
        auto dg = Packets(250 * 1440, 10, seq, false, false);
        ASSERT_EQ(dg.size(), 250u);
        EXPECT_EQ(dg[0].flags, 0);
        EXPECT_EQ(dg.back().bytes.size(), 22u + 1440u);  // no send time without the flag
    }
}

TEST(PacketizeEdges, RejectsInvalidInput) {
    uint32_t seq = 5;
    int calls = 0;
    DatagramSink sink = [&](const uint8_t*, std::size_t) { ++calls; };
    uint8_t b = 0;
    EXPECT_FALSE(Packetize(kStreamTypeVideo, false, 0, 0, seq, 0, &b, 0, sink, true));
    EXPECT_FALSE(Packetize(kStreamTypeVideo, false, 0, 0, seq, 0, nullptr, 10, sink, true));
    EXPECT_FALSE(Packetize(kStreamTypeVideo, false, -1, 0, seq, 0, &b, 1, sink, true));
    EXPECT_FALSE(Packetize(kStreamTypeVideo, false, 64, 0, seq, 0, &b, 1, sink, true));
    EXPECT_EQ(ExpectedFragmentCount(0, 0), 0u);
    EXPECT_EQ(ExpectedFragmentCount(1, 64), 0u);
    EXPECT_EQ(ExpectedFragmentCount(kMaxFramePayload + 1, 0), 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(seq, 5u);
}

TEST(PacketizeEdges, LargestFrame) {
    std::vector<uint8_t> big(kMaxFramePayload + 1, 0x33);
    uint32_t seq = 0;
    std::size_t count = 0;
    uint16_t lastIndex = 0, fragCount = 0;
    DatagramSink sink = [&](const uint8_t* d, std::size_t) {
        ++count;
        lastIndex = testing::Get16(d + 16);
        fragCount = testing::Get16(d + 18);
    };
    EXPECT_EQ(ExpectedFragmentCount(kMaxFramePayload, 20), 65535u);
    ASSERT_TRUE(Packetize(kStreamTypeVideo, true, 20, 0, seq, 0, big.data(), kMaxFramePayload, sink, false));
    EXPECT_EQ(count, 65535u);
    EXPECT_EQ(fragCount, 65535);
    EXPECT_EQ(lastIndex, 65534);
    EXPECT_EQ(seq, 65535u);
    count = 0;
    EXPECT_FALSE(Packetize(kStreamTypeVideo, true, 0, 0, seq, 0, big.data(), big.size(), sink, false));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(seq, 65535u);
}

TEST(PacketizeEdges, SendTimeFromClock) {
    testing::ManualClock clock;
    clock.Advance(std::chrono::microseconds(0x1'2345'6789));
    const uint32_t expect = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(clock.Now().time_since_epoch()).count());
    std::vector<uint8_t> data(3000, 1);
    uint32_t seq = 0;
    FrameGroup g;
    ASSERT_TRUE(PacketizeGroup(kStreamTypeVideo, false, 1, 0, seq, 0, data.data(), data.size(), true, g, clock));
    ASSERT_EQ(g.datagrams.size(), 4u);
    for (int k = 0; k < 3; ++k) {
        const auto& d = g.datagrams[k];
        EXPECT_EQ(testing::Get32(d.data() + d.size() - 4), expect);
    }
}

TEST(AudioPayload, LayoutAndFragments) {
    std::vector<float> left(1024), right(1024);
    for (int i = 0; i < 1024; ++i) {
        left[i] = static_cast<float>(i) * 0.5f;
        right[i] = -static_cast<float>(i);
    }
    const float* chans[2] = {left.data(), right.data()};
    std::vector<uint8_t> payload;
    BuildAudioPayload(48000, chans, 2, 1024, payload);
    ASSERT_EQ(payload.size(), 8200u);
    EXPECT_EQ(testing::Get32(payload.data()), 48000u);
    EXPECT_EQ(payload[4], 2);
    EXPECT_EQ(testing::Get16(payload.data() + 5), 32);
    EXPECT_EQ(payload[7], 0);
    float f;
    std::memcpy(&f, payload.data() + 8 + 4 * (2 * 3 + 1), 4);
    EXPECT_EQ(f, -3.0f);
    std::memcpy(&f, payload.data() + 8 + 4 * (2 * 5), 4);
    EXPECT_EQ(f, 2.5f);

    const float* withNull[3] = {left.data(), nullptr, right.data()};
    std::vector<uint8_t> three;
    BuildAudioPayload(44100, withNull, 3, 2, three);
    ASSERT_EQ(three.size(), 8u + 24u);
    for (int s = 0; s < 2; ++s) EXPECT_EQ(testing::Get32(three.data() + 8 + 4 * (3 * s + 1)), 0u);

    uint32_t seq = 9;
    auto dg = Packets(payload.size(), 0, seq, false, false, kStreamTypeAudio, 3, payload.data());
    ASSERT_EQ(dg.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(dg[k].type, kStreamTypeAudio);
        EXPECT_EQ(dg[k].flags, 0);
        EXPECT_EQ(dg[k].length, k < 5 ? 1440 : 1000);
        EXPECT_EQ(dg[k].bytes.size(), 22u + dg[k].length);
    }
}

TEST(PacketizeEdges, ConsecutiveFramesAndFrameNumberWrap) {
    uint32_t seq = 1000;
    uint16_t frame = 65534;
    uint32_t expectedSeq = 1000;
    for (int i = 0; i < 3; ++i) {
        auto dg = Packets(5000, 1, seq, false, true, kStreamTypeVideo, frame);
        for (auto& x : dg) {
            EXPECT_EQ(x.frame, frame);
            EXPECT_EQ(x.seq, expectedSeq++);
        }
        ++frame;
    }
    EXPECT_EQ(frame, 1);  // 65534, 65535, 0 were used
}

// Per-thread scratch: two threads packetizing at once must not disturb each other.
TEST(PacketizeThreads, ConcurrentPacketizingIsIndependent) {
    auto work = [](uint32_t seed, bool* ok) {
        uint32_t seq = 0;
        for (int i = 0; i < 40; ++i) {
            const std::size_t len = 1000 + (seed * 7919u + static_cast<uint32_t>(i) * 104729u) % 200000;
            auto data = testing::SeededBytes(seed + static_cast<uint32_t>(i), len);
            FrameGroup g;
            if (!PacketizeGroup(kStreamTypeVideo, false, VideoParityCount(len), 0, seq, 0, data.data(), len, false, g)) {
                *ok = false;
                return;
            }
            const std::size_t d = (len + 1439) / 1440;
            std::vector<uint8_t> padded(d * 1440, 0);
            std::memcpy(padded.data(), data.data(), len);
            // Recovery row 0 is the XOR of all blocks: cheap to check, catches mixed-up scratch.
            if (g.datagrams.size() > d) {
                auto ref = testing::RefRecovery(padded.data(), static_cast<unsigned>(d), 0, 1440);
                if (std::memcmp(g.datagrams[d].data() + 24, ref.data(), 1440) != 0) *ok = false;
            }
            for (std::size_t k = 0; k < d; ++k) {
                const std::size_t n = std::min<std::size_t>(1440, len - k * 1440);
                if (std::memcmp(g.datagrams[k].data() + 22, data.data() + k * 1440, n) != 0) *ok = false;
            }
        }
    };
    bool ok1 = true, ok2 = true;
    std::thread a(work, 1u, &ok1), b(work, 2u, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

}  // namespace
}  // namespace Veltrix
