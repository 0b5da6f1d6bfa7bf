#include "transport/pacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/log.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using namespace std::chrono_literals;

FrameGroup Group(StreamKind kind, std::size_t datagrams, std::size_t size, uint8_t tag = 0) {
    FrameGroup g;
    g.kind = kind;
    for (std::size_t i = 0; i < datagrams; ++i) g.datagrams.emplace_back(size, tag);
    g.totalBytes = datagrams * size;
    return g;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class PacerTest : public ::testing::Test {
protected:
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    testing::ScopedTestDirs dirs_;
};

TEST_F(PacerTest, SixthVideoGroupDropsTheOldest) {
    testing::ManualClock clock;
    Pacer pacer(clock);
    for (std::size_t i = 0; i < 6; ++i) pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 100 + i));
    EXPECT_EQ(pacer.Dropped(), 1u);
    EXPECT_EQ(pacer.QueuedVideoGroups(), 5u);
    EXPECT_EQ(pacer.QueuedBytes(), 101u + 102 + 103 + 104 + 105);
    EXPECT_NE(LogText().find("Pacer overflow: dropped 1 video frame(s) in last ~1s (100 bytes). queue=5 "
                             "queuedBytes=515 bitrate=15000000 bps total_dropped=1"),
              std::string::npos)
        << LogText();
}

TEST_F(PacerTest, AudioOverflowNeverTouchesVideo) {
    testing::ManualClock clock;
    Pacer pacer(clock);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 2, 1000));
    for (int i = 0; i < 5; ++i) pacer.EnqueueAudio(Group(StreamKind::kAudio, 1, 10 + i));
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 7));
    pacer.EnqueueAudio(FrameGroup{});  // empty: ignored
    EXPECT_EQ(pacer.Dropped(), 1u);
    EXPECT_EQ(pacer.QueuedVideoGroups(), 2u);
    EXPECT_EQ(pacer.QueuedAudioGroups(), 4u);
    EXPECT_EQ(pacer.QueuedBytes(), 2000u + 7 + 11 + 12 + 13 + 14);
}

TEST_F(PacerTest, OverflowReportedAtMostOncePerSecond) {
    testing::ManualClock clock;
    Pacer pacer(clock);
    for (int i = 0; i < 6; ++i) pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 50));  // drop 1, reported
    clock.Advance(300ms);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 50));  // drop 2, inside the window
    EXPECT_EQ(Count(LogText(), "Pacer overflow"), 1u);
    clock.Advance(900ms);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 50));  // drop 3, 1.2 s after the first report
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "Pacer overflow"), 2u);
    EXPECT_NE(log.find("dropped 2 video frame(s) in last ~1s (100 bytes)"), std::string::npos) << log;
    EXPECT_NE(log.find("total_dropped=3"), std::string::npos);
}

TEST_F(PacerTest, SendsInArrivalOrderAtTheSetRate) {
    testing::ManualClock clock(/*autoAdvance=*/true);
    Pacer pacer(clock);
    pacer.SetBitrate(8'000'000);  // 1,000,000 bytes/s: one 1000-byte datagram per ms
    std::mutex m;
    std::vector<std::pair<uint8_t, Clock::time_point>> sent;
    std::atomic<int> calls{0};
    auto record = [&](bool ok) {
        return [&, ok](const uint8_t* d, std::size_t) {
            {
                std::lock_guard<std::mutex> lock(m);
                sent.emplace_back(d[0], clock.Now());
            }
            ++calls;
            return ok;
        };
    };
    // Queued while stopped: kept and sent after Start.
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 3, 1000, 1));
    pacer.EnqueueAudio(Group(StreamKind::kAudio, 2, 1000, 2));
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 1000, 3));
    const auto start = clock.Now();
    pacer.Start(record(true), record(false));
    for (int i = 0; i < 500 && calls.load() < 6; ++i) std::this_thread::sleep_for(2ms);
    pacer.Stop();
    ASSERT_EQ(sent.size(), 6u);
    const uint8_t order[] = {1, 1, 1, 2, 2, 3};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(sent[i].first, order[i]);
        const auto at = std::chrono::duration_cast<std::chrono::microseconds>(sent[i].second - start).count();
        EXPECT_NEAR(static_cast<double>(at), 1000.0 * (i + 1), 2.0) << i;  // paced, not bursted
    }
    EXPECT_EQ(pacer.BytesSent(), 4000u);
    EXPECT_EQ(pacer.Failed(), 2u);
    EXPECT_EQ(pacer.QueuedBytes(), 0u);
}

TEST_F(PacerTest, LifecycleAndClearQueue) {
    testing::ManualClock clock(true);
    Pacer pacer(clock);
    pacer.ClearQueue();
    EXPECT_EQ(Count(LogText(), "Pacer queue cleared"), 0u);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 2, 300));
    pacer.EnqueueAudio(Group(StreamKind::kAudio, 1, 40));
    pacer.ClearQueue();
    EXPECT_NE(LogText().find("Pacer queue cleared: 2 frame groups (640 bytes) discarded"), std::string::npos);
    EXPECT_EQ(pacer.QueuedBytes(), 0u);

    std::atomic<int> first{0}, second{0};
    pacer.Start([&](const uint8_t*, std::size_t) { ++first; return true; }, nullptr);
    pacer.Start([&](const uint8_t*, std::size_t) { ++second; return true; }, nullptr);  // ignored
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 10));
    pacer.EnqueueAudio(Group(StreamKind::kAudio, 1, 10));  // no audio function: counted as failed
    for (int i = 0; i < 500 && (first.load() < 1 || pacer.Failed() < 1); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 0);
    EXPECT_EQ(pacer.Failed(), 1u);
    pacer.Stop();
    pacer.Stop();
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "Pacer started bitrate=15000000 bps"), 1u);
    EXPECT_EQ(Count(log, "Pacer stopped dropped=0 failed=1 bytes=10"), 1u) << log;
    // Restartable; statistics carry on.
    pacer.Start([&](const uint8_t*, std::size_t) { ++first; return true; }, nullptr);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 10));
    for (int i = 0; i < 500 && first.load() < 2; ++i) std::this_thread::sleep_for(2ms);
    pacer.Stop();
    EXPECT_EQ(pacer.BytesSent(), 20u);
}

TEST_F(PacerTest, StopCutsAPacingWaitShort) {
    testing::ManualClock clock;  // never advances: the sender waits for tokens for ever
    Pacer pacer(clock);
    std::atomic<int> sent{0};
    pacer.Start([&](const uint8_t*, std::size_t) { ++sent; return true; }, nullptr);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 3, 1400));
    ASSERT_TRUE(clock.WaitForBlocked(1));
    pacer.Stop();
    EXPECT_EQ(sent.load(), 0);
}

// Real time: a datagram larger than 20 ms of the rate is still sent.
TEST_F(PacerTest, LowBitrateStillSendsLargeDatagram) {
    Pacer pacer;
    pacer.SetBitrate(500'000);
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int64_t> tookUs{0};
    pacer.Start(
        [&](const uint8_t*, std::size_t) {
            tookUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
            done = true;
            return true;
        },
        nullptr);
    pacer.EnqueueVideo(Group(StreamKind::kVideo, 1, 1400));
    for (int i = 0; i < 1000 && !done.load(); ++i) std::this_thread::sleep_for(2ms);
    pacer.Stop();
    ASSERT_TRUE(done.load());
    EXPECT_GE(tookUs.load(), 20'000);  // 1400 bytes at 62,500 bytes/s is 22.4 ms
}

TEST_F(PacerTest, ConcurrentProducers) {
    Pacer pacer;
    pacer.SetBitrate(4'000'000'000u);
    std::atomic<uint64_t> sentBytes{0};
    auto send = [&](const uint8_t*, std::size_t n) { sentBytes += n; return true; };
    pacer.Start(send, send);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&pacer, t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2) pacer.EnqueueAudio(Group(StreamKind::kAudio, 2, 100));
                else pacer.EnqueueVideo(Group(StreamKind::kVideo, 3, 1000));
                if (i % 50 == 0) pacer.SetBitrate(300'000'000);
            }
        });
    }
    std::thread clearer([&pacer] {
        for (int i = 0; i < 20; ++i) pacer.ClearQueue();
    });
    for (auto& p : producers) p.join();
    clearer.join();
    pacer.Stop();
    EXPECT_EQ(sentBytes.load(), pacer.BytesSent());
    EXPECT_EQ(pacer.QueuedBytes(), 0u);
    EXPECT_EQ(pacer.Failed(), 0u);
}

}  // namespace
}  // namespace Veltrix
