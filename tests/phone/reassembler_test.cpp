// The receiver's datagram parser and reassembler on real packetizer output:
// loss, reordering, duplication, wrap-around and restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "transport/packetizer.h"
#include "vx-phone/datagram.h"
#include "vx-phone/frame_reassembler.h"

namespace Veltrix::phone {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

struct Sent {
    std::vector<std::uint8_t> payload;
    std::vector<std::vector<std::uint8_t>> datagrams;
};

Sent MakeFrame(std::size_t size, std::uint16_t frameNumber, std::uint32_t& seq, bool key = false,
               int parity = -1, std::uint8_t type = kStreamTypeVideo) {
    Sent s;
    s.payload = Bytes(size, frameNumber * 7919u + static_cast<std::uint32_t>(size));
    FrameGroup g;
    const int p = parity >= 0 ? parity : (type == kStreamTypeVideo ? VideoParityCount(size) : 0);
    EXPECT_TRUE(PacketizeGroup(type, key, p, frameNumber, seq, 1000u + frameNumber, s.payload.data(), size,
                               type == kStreamTypeVideo, g));
    s.datagrams = g.datagrams;
    return s;
}

Clock::time_point T(int ms) { return Clock::time_point{} + std::chrono::milliseconds(ms); }

void Push(FrameReassembler& r, const std::vector<std::uint8_t>& d, int ms = 0) { r.Push(d.data(), d.size(), T(ms)); }

TEST(PhoneDatagram, ReadsPacketizerOutputAndRefusesDamage) {
    std::uint32_t seq = 77;
    const Sent s = MakeFrame(3000, 5, seq, true);  // D = 3, P = 1
    ASSERT_EQ(s.datagrams.size(), 4u);
    const auto d0 = ParseDatagram(s.datagrams[0].data(), s.datagrams[0].size());
    ASSERT_TRUE(d0);
    EXPECT_TRUE(d0->keyFrame);
    EXPECT_TRUE(d0->hasSendTime);
    EXPECT_EQ(d0->frameNumber, 5);
    EXPECT_EQ(d0->sequence, 77u);
    EXPECT_EQ(d0->count, 4);
    EXPECT_EQ(d0->parityCount, 1);
    EXPECT_EQ(d0->payloadLength, 1440);
    const auto last = ParseDatagram(s.datagrams[2].data(), s.datagrams[2].size());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->payloadLength, 3000 - 2 * 1440);
    const auto par = ParseDatagram(s.datagrams[3].data(), s.datagrams[3].size());
    ASSERT_TRUE(par);
    EXPECT_TRUE(par->isParity());
    EXPECT_FALSE(par->hasSendTime);
    EXPECT_EQ(par->parityLastLength(), 3000 - 2 * 1440);

    auto damaged = [&](std::size_t which, auto edit) {
        auto d = s.datagrams[which];
        edit(d);
        return ParseDatagram(d.data(), d.size()).has_value();
    };
    EXPECT_FALSE(damaged(0, [](auto& d) { d[0] = 'X'; }));
    EXPECT_FALSE(damaged(0, [](auto& d) { d[3] = 3; }));                 // version
    EXPECT_FALSE(damaged(0, [](auto& d) { d[4] = 3; }));                 // stream type
    EXPECT_FALSE(damaged(0, [](auto& d) { d.pop_back(); }));             // size disagrees
    EXPECT_FALSE(damaged(0, [](auto& d) { d[16] = 4; }));                // index beyond count
    EXPECT_FALSE(damaged(0, [](auto& d) { d[18] = 0; d[19] = 0; }));     // count 0
    EXPECT_FALSE(damaged(3, [](auto& d) { d[22] = 0; d[23] = 0; }));     // last length 0
    EXPECT_FALSE(damaged(0, [](auto& d) {                                // short middle fragment
        d[20] = 100;
        d[21] = 0;
        d.resize(22 + 100 + 4);
    }));
    EXPECT_FALSE(ParseDatagram(nullptr, 0).has_value());
    EXPECT_FALSE(ParseDatagram(s.datagrams[0].data(), 21).has_value());
}

TEST(PhoneReassembler, AnyPLostFragmentsAreRepairedInAnyOrderWithDuplicates) {
    std::mt19937 rng(99);
    FrameReassembler r;
    std::uint32_t seq = 0;
    std::uint16_t fn = 0;
    for (std::size_t size : {std::size_t{1}, std::size_t{1441}, std::size_t{14400}, std::size_t{100000},
                             std::size_t{250 * 1440 - 3}}) {
        for (int trial = 0; trial < 3; ++trial, ++fn) {
            Sent s = MakeFrame(size, fn, seq);
            const int d = static_cast<int>((size + 1439) / 1440);
            const int p = static_cast<int>(s.datagrams.size()) - d;
            std::vector<std::vector<std::uint8_t>> kept = s.datagrams;
            std::shuffle(kept.begin(), kept.end(), rng);
            kept.resize(static_cast<std::size_t>(d));  // exactly P lost: data, parity or both
            kept.insert(kept.begin() + 1, kept.front()); // and one duplicate
            for (const auto& dg : kept) Push(r, dg);
            auto f = r.Pop();
            ASSERT_TRUE(f) << "size=" << size << " trial=" << trial;
            EXPECT_EQ(f->frameNumber, fn);
            EXPECT_EQ(f->bytes, s.payload) << "size=" << size;
            EXPECT_EQ(f->parityFragments, p);
            EXPECT_FALSE(r.Pop());
        }
    }
    const auto& c = r.counters();
    EXPECT_EQ(c.framesComplete, 15u);
    EXPECT_EQ(c.framesLost, 0u);
    EXPECT_EQ(c.repairFailures, 0u);
    EXPECT_GE(c.framesRepaired, 1u);
    EXPECT_EQ(c.duplicates, 12u);  // one-fragment frames were already out when their copy came
    EXPECT_EQ(c.late, 0u);
}

TEST(PhoneReassembler, DeliversInOrderAndGivesUpOnUnrepairableFrames) {
    ReassemblerOptions o;
    o.maxWait = 100ms;
    o.maxNewerFrames = 3;
    FrameReassembler r(o);
    std::uint32_t seq = 0;
    std::vector<Sent> frames;
    for (std::uint16_t i = 0; i < 4; ++i) frames.push_back(MakeFrame(20000, i, seq));  // D 14, P 2
    for (const auto& d : frames[0].datagrams) Push(r, d, 0);
    ASSERT_EQ(r.Pop()->frameNumber, 0);
    // Frame 2 complete before frame 1: both leave in order.
    for (const auto& d : frames[2].datagrams) Push(r, d, 0);
    EXPECT_FALSE(r.Pop());
    for (const auto& d : frames[1].datagrams) Push(r, d, 1);
    ASSERT_EQ(r.Pop()->frameNumber, 1);
    ASSERT_EQ(r.Pop()->frameNumber, 2);
    // Frame 3 loses three data fragments (one more than its parity). While the
    // sender has not moved past its group it is held...
    for (std::size_t i = 3; i < frames[3].datagrams.size(); ++i) Push(r, frames[3].datagrams[i], 10);
    r.Expire(T(50));
    EXPECT_FALSE(r.Pop());
    EXPECT_EQ(r.pending(), 1u);
    // ...until its wait is over.
    r.Expire(T(110));
    EXPECT_EQ(r.TakeLost(), std::vector<std::uint16_t>{3});
    // A fragment of the given-up frame is late now.
    Push(r, frames[3].datagrams[0], 120);
    EXPECT_EQ(r.counters().late, 1u);
    // Frame 4 loses too many as well, and the next group follows: once nothing of
    // frame 4 came for the reordering allowance (2 ms at least), frame 5 goes out.
    std::vector<Sent> later;
    later.push_back(MakeFrame(20000, 4, seq));
    later.push_back(MakeFrame(5000, 5, seq));
    for (std::size_t i = 3; i < later[0].datagrams.size(); ++i) Push(r, later[0].datagrams[i], 130);
    for (const auto& d : later[1].datagrams) Push(r, d, 131);
    EXPECT_FALSE(r.Pop());
    EXPECT_TRUE(r.TakeLost().empty());
    r.Expire(T(132));
    EXPECT_EQ(r.TakeLost(), std::vector<std::uint16_t>{4});
    ASSERT_EQ(r.Pop()->frameNumber, 5);
    // A frame never seen at all (6) is given up once enough newer ones arrived.
    const Sent unseen = MakeFrame(1000, 6, seq);
    std::vector<Sent> more;
    for (std::uint16_t i = 7; i < 11; ++i) more.push_back(MakeFrame(1000, i, seq));
    for (const auto& s : more) {
        for (const auto& d : s.datagrams) Push(r, d, 140);
    }
    EXPECT_EQ(r.TakeLost(), std::vector<std::uint16_t>{6});
    for (std::uint16_t i = 7; i < 11; ++i) ASSERT_EQ(r.Pop()->frameNumber, i);
    EXPECT_EQ(r.counters().framesLost, 3u);
    // Sequence gaps: two of frame 3's (the third came late), three of frame 4's, all of frame 6's.
    const auto& c = r.counters();
    EXPECT_EQ(c.sequenceSpan - c.sequenceReceived, 2 + 3 + unseen.datagrams.size());
}

// Scripted arrival times: the give-up follows the pacing of the frame's group,
// and a complete key frame ends every older wait at once.
TEST(PhoneReassembler, GivesUpByThePacingOfTheGroupAndAtANewerKeyFrame) {
    FrameReassembler r;  // default limits: 250 ms, 8 newer frames
    std::uint32_t seq = 0;
    // 100 KB: 70 data + 7 parity, one datagram a millisecond; the last eight data
    // fragments are lost (one more than the parity).
    const Sent a = MakeFrame(100000, 0, seq, true);
    const Sent b = MakeFrame(3000, 1, seq);
    ASSERT_EQ(a.datagrams.size(), 77u);
    int t = 0;
    for (std::size_t i = 0; i < a.datagrams.size(); ++i)
        if (i < 62 || i >= 70) Push(r, a.datagrams[i], t++);
    const int lastOfA = t - 1;
    // The next group: the sender is past frame 0, which now waits four of its gaps (4 ms).
    for (const auto& d : b.datagrams) Push(r, d, lastOfA + 1);
    r.Expire(T(lastOfA + 3));
    EXPECT_FALSE(r.Pop());
    r.Expire(T(lastOfA + 4));
    EXPECT_EQ(r.TakeLost(), std::vector<std::uint16_t>{0});
    ASSERT_EQ(r.Pop()->frameNumber, 1);

    // Frame 2 is missing most of itself, frame 3 is complete, then key frame 4
    // completes: 2 is given up and 3 and 4 leave at once, with no time passing.
    const Sent c = MakeFrame(20000, 2, seq), d = MakeFrame(3000, 3, seq), k = MakeFrame(3000, 4, seq, true);
    Push(r, c.datagrams[0], 100);
    for (const auto& x : d.datagrams) Push(r, x, 100);
    EXPECT_FALSE(r.Pop());
    for (const auto& x : k.datagrams) Push(r, x, 100);
    EXPECT_EQ(r.TakeLost(), std::vector<std::uint16_t>{2});
    ASSERT_EQ(r.Pop()->frameNumber, 3);
    auto key = r.Pop();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->frameNumber, 4);
    EXPECT_TRUE(key->keyFrame);

    // Frames of 256 data fragments and more carry no parity: counted as such.
    EXPECT_EQ(r.counters().framesUnprotected, 0u);
    const Sent big = MakeFrame(256 * 1440, 5, seq);
    for (const auto& x : big.datagrams) Push(r, x, 200);
    ASSERT_EQ(r.Pop()->frameNumber, 5);
    EXPECT_EQ(r.counters().framesUnprotected, 1u);
}

TEST(PhoneReassembler, FrameNumbersWrapAndARestartStartsOver) {
    FrameReassembler r;
    std::uint32_t seq = 0xFFFFFFF0u;  // sequence numbers wrap too
    for (std::uint16_t fn : {std::uint16_t{65534}, std::uint16_t{65535}, std::uint16_t{0}, std::uint16_t{1}}) {
        for (const auto& d : MakeFrame(3000, fn, seq).datagrams) Push(r, d);
    }
    for (std::uint16_t fn : {std::uint16_t{65534}, std::uint16_t{65535}, std::uint16_t{0}, std::uint16_t{1}}) {
        auto f = r.Pop();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->frameNumber, fn);
    }
    EXPECT_EQ(r.counters().sequenceSpan, r.counters().sequenceReceived);
    // The sender restarts at 30000: far away, so a fresh start rather than "late".
    for (const auto& d : MakeFrame(3000, 30000, seq).datagrams) Push(r, d);
    auto f = r.Pop();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->frameNumber, 30000);
    EXPECT_EQ(r.counters().resets, 1u);
    EXPECT_EQ(r.counters().framesLost, 0u);
}

TEST(PhoneReassembler, RefusesOtherStreamsAndDisagreeingFragments) {
    FrameReassembler video;
    std::uint32_t seq = 0;
    const Sent audio = MakeFrame(8200, 0, seq, false, 0, kStreamTypeAudio);
    for (const auto& d : audio.datagrams) Push(video, d);
    EXPECT_EQ(video.counters().invalid, audio.datagrams.size());
    // Same frame number, other fragment count: not part of the frame.
    Sent a = MakeFrame(3000, 1, seq);
    Sent b = MakeFrame(6000, 1, seq);
    Push(video, a.datagrams[0]);
    Push(video, b.datagrams[1]);
    EXPECT_EQ(video.counters().invalid, audio.datagrams.size() + 1);
    for (std::size_t i = 1; i < a.datagrams.size(); ++i) Push(video, a.datagrams[i]);
    EXPECT_EQ(video.Pop()->bytes, a.payload);

    // The audio stream: no parity, payload header read back.
    FrameReassembler ar(ReassemblerOptions{kStreamTypeAudio});
    const float left[3] = {0.25f, -0.5f, 0.0f};
    const float* channels[2] = {left, nullptr};
    std::vector<std::uint8_t> payload;
    BuildAudioPayload(48000, channels, 2, 3, payload);
    FrameGroup g;
    ASSERT_TRUE(PacketizeGroup(kStreamTypeAudio, false, 0, 9, seq, 0, payload.data(), payload.size(), false, g));
    for (const auto& d : g.datagrams) Push(ar, d);
    auto f = ar.Pop();
    ASSERT_TRUE(f);
    const auto block = ParseAudioPayload(f->bytes.data(), f->bytes.size());
    ASSERT_TRUE(block);
    EXPECT_EQ(block->sampleRate, 48000u);
    EXPECT_EQ(block->channels, 2);
    EXPECT_EQ(block->samples, 3u);
    EXPECT_FLOAT_EQ(block->peak, 0.5f);
    EXPECT_FALSE(ParseAudioPayload(payload.data(), payload.size() - 1));
}

}  // namespace
}  // namespace Veltrix::phone
