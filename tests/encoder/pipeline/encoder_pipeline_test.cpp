#include "encoder/encoder_pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "encoder/mock_encoder.h"
#include "support/debug_topics.h"
#include "tests/encoder/pipeline/scripted_encoder.h"
#include "tests/testing/eventually.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using testing::ScriptedEncoder;
using testing::ScriptedFrame;
using testing::ScriptedStats;

using testing::Eventually;  // polls in real time: the pipeline's workers run on their own threads

struct Collector {
    std::mutex mutex;
    std::vector<ScriptedFrame> frames;
    int undecodable = 0;

    EncodedFrameCallback Callback() {
        return [this](const uint8_t* d, size_t n, bool key, uint64_t) {
            ScriptedFrame f{};
            std::lock_guard<std::mutex> lock(mutex);
            if (!testing::DecodeScripted(d, n, &f)) {
                ++undecodable;
                return;
            }
            f.keyframe = key;
            frames.push_back(f);
        };
    }
    std::vector<ScriptedFrame> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
};

std::vector<std::vector<std::string>> CsvRows() {
    const std::string text = testing::ReadFileText(DebugFilePath("transitions.csv"));
    std::vector<std::vector<std::string>> rows;
    size_t pos = 0;
    bool header = true;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            const size_t comma = line.find(',', start);
            fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        rows.push_back(fields);
    }
    return rows;
}

enum Col { kTs, kMode, kFromW, kFromH, kToW, kToH, kCloneMs, kFirstKeyMs, kSwapMs, kTotalMs, kDropped, kError };

std::string TopicLog() { return testing::ReadFileText(DebugFilePath("debug_transitions.log")); }

EncoderConfig Config(int w, int h, int codec = kCodecHevc, int gop = 1, uint32_t bps = 4'000'000) {
    EncoderConfig cfg;
    cfg.width = w;
    cfg.height = h;
    cfg.fps = 30;
    cfg.bitrateBps = bps;
    cfg.gopSize = gop;
    cfg.codec = codec;
    return cfg;
}

class EncoderPipelineTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove(DebugFilePath("transitions.csv")); }

    std::unique_ptr<ScriptedEncoder> First() {
        auto enc = std::make_unique<ScriptedEncoder>(stats_, 0);
        enc->Configure(1920, 1080, 8'000'000, 30);
        first_ = enc.get();
        return enc;
    }
    void Feed(EncoderPipeline& p, uint32_t from, uint32_t to) {
        for (uint32_t i = from; i < to; ++i) p.Encode(nullptr, 1920, 1080, 1920 * 4, i);
    }

    std::shared_ptr<ScriptedStats> stats_ = std::make_shared<ScriptedStats>();
    ScriptedEncoder* first_ = nullptr;
    testing::ManualClock clock_{true};
    Collector out_;
};

TEST_F(EncoderPipelineTest, SeamlessSwapDeliversEveryFrameOnceInOrderAndLogsIt) {
    stats_->emitOnTeardown = true;  // the old encoder still emits after the swap
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    Feed(p, 0, 50);

    p.RequestTransition(Config(1280, 720, kCodecH264, 5));
    EXPECT_EQ(p.Width(), 1280);  // the target while the change is under way
    EXPECT_EQ(p.Height(), 720);
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    Feed(p, 50, 200);
    EXPECT_FALSE(p.TransitionPending());
    ASSERT_TRUE(Eventually([&] { return stats_->TeardownsOf(1) == 1; }));  // retired

    const auto frames = out_.Snapshot();
    ASSERT_EQ(frames.size(), 200u);
    for (uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(frames[i].id, i);
        EXPECT_EQ(frames[i].serial, i <= 50 ? 1 : 2) << i;  // frame 50 made the clone ready
    }
    EXPECT_TRUE(frames[51].keyframe);  // the clone's first forwarded frame
    EXPECT_FALSE(frames[52].keyframe);
    EXPECT_EQ(p.Width(), 1280);
    EXPECT_EQ(p.Codec(), kCodecH264);
    EXPECT_EQ(p.GopSize(), 5);

    const auto rows = CsvRows();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 12u);
    EXPECT_EQ(rows[0][kMode], "Seamless");
    EXPECT_EQ(rows[0][kFromW] + "x" + rows[0][kFromH], "1920x1080");
    EXPECT_EQ(rows[0][kToW] + "x" + rows[0][kToH], "1280x720");
    EXPECT_EQ(rows[0][kCloneMs], "");
    EXPECT_EQ(rows[0][kFirstKeyMs], "");
    EXPECT_NE(rows[0][kSwapMs], "");
    EXPECT_NE(rows[0][kTotalMs], "");
    EXPECT_EQ(rows[0][kDropped], "0");
    EXPECT_EQ(rows[0][kError], "");

    const std::string log = TopicLog();
    EXPECT_NE(log.find("begin mode=Seamless fromW=1920 fromH=1080 toW=1280 toH=720 codec=H264 rc=Bitrate "
                       "gop=5 bps=4000000"),
              std::string::npos);
    EXPECT_NE(log.find("clone ok cloneSetupMs="), std::string::npos);
    EXPECT_NE(log.find("swap complete fromW=1920 fromH=1080 toW=1280 toH=720 swapMs="), std::string::npos);
}

TEST_F(EncoderPipelineTest, LateKeyframeCloneNeverForwardsFramesBuiltOnTheDiscardedKeyframe) {
    stats_->cloneLagFrames = 3;
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    Feed(p, 0, 20);
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    Feed(p, 20, 23);
    EXPECT_TRUE(p.TransitionPending());  // keyframe not out yet: both encoders still fed
    Feed(p, 23, 100);
    EXPECT_FALSE(p.TransitionPending());

    const auto frames = out_.Snapshot();
    bool sawClone = false;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(frames[i].id, frames[i - 1].id) << "duplicate or reordered at " << i;
        }
        if (frames[i].serial == 2 && !sawClone) {
            EXPECT_TRUE(frames[i].keyframe) << "first forwarded clone frame must be a keyframe";
            sawClone = true;
        }
    }
    EXPECT_TRUE(sawClone);
    // The old encoder delivered up to frame 23; the clone's frames 21..23 (built on its
    // discarded keyframe) are held back and its forced keyframe is frame 24, so nothing is
    // lost; 97..99 are still inside the clone.
    ASSERT_EQ(frames.size(), 97u);
    for (uint32_t i = 0; i < 97; ++i) EXPECT_EQ(frames[i].id, i);
    EXPECT_EQ(frames[24].serial, 2);
    EXPECT_TRUE(frames[24].keyframe);
}

// Every frame id 0..count-1 exactly once, in order.
void ExpectContiguous(const std::vector<ScriptedFrame>& frames, size_t count) {
    ASSERT_EQ(frames.size(), count);
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(frames[i].id, i) << "at " << i;
}

TEST_F(EncoderPipelineTest, KeyframeRequestsReachingALaggingPendingEncoderNeverDuplicateAtTheSwap) {
    // The clone's output lags by three frames. Keyframe requests while it is pending put
    // keyframes among the frames still inside it at the swap; those were already delivered
    // by the old encoder and must not be forwarded again, nor may anything be lost.
    for (const uint32_t requestAfter : {20u, 21u, 22u, 23u}) {
        SCOPED_TRACE(requestAfter);
        auto stats = std::make_shared<ScriptedStats>();
        stats->cloneLagFrames = 3;
        auto first = std::make_unique<ScriptedEncoder>(stats, 0);
        first->Configure(1920, 1080, 8'000'000, 30);
        Collector out;
        EncoderPipeline p(std::move(first), clock_);
        p.SetOutputCallback(out.Callback());
        Feed(p, 0, 20);
        p.RequestTransition(Config(1280, 720));
        ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
        Feed(p, 20, requestAfter + 1);
        p.RequestKeyframe();  // reaches active and pending
        Feed(p, requestAfter + 1, 24);
        EXPECT_FALSE(p.TransitionPending());
        Feed(p, 24, 60);

        const auto frames = out.Snapshot();
        ExpectContiguous(frames, 57);  // 57..59 are still inside the clone
        for (uint32_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].serial, i < 24 ? 1 : 2) << i;
        EXPECT_TRUE(frames[24].keyframe);  // forced at the swap
    }
}

TEST_F(EncoderPipelineTest, SwapBetweenTwoLaggingEncodersLosesNothing) {
    // After a first swap the active encoder lags too (by more than the next clone). The
    // hand-over waits until the old encoder has delivered every frame before the new one's
    // keyframe, and holds back the new one's output meanwhile.
    stats_->cloneLagFrames = 2;
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    Feed(p, 0, 10);
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    Feed(p, 10, 30);
    ASSERT_FALSE(p.TransitionPending());
    stats_->cloneLagFrames = 1;
    p.RequestTransition(Config(960, 540));
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    Feed(p, 30, 31);
    p.RequestKeyframe();
    Feed(p, 31, 60);
    ASSERT_FALSE(p.TransitionPending());

    const auto frames = out_.Snapshot();
    ExpectContiguous(frames, 59);  // frame 59 is still inside the newest clone
    int serial = 0;
    for (const auto& f : frames) {
        if (f.serial != serial) {
            EXPECT_GT(f.serial, serial);
            EXPECT_TRUE(f.keyframe) << "encoder " << f.serial << " starts with frame " << f.id;
            serial = f.serial;
        }
    }
    EXPECT_EQ(serial, 3);
}

TEST_F(EncoderPipelineTest, MockOutputAfterRetirementIsNotForwarded) {
    auto mock = std::make_unique<MockEncoder>();
    mock->SetEmitOnEnd(true);
    mock->Configure(640, 360, 1'000'000, 30);
    EncoderPipeline p(std::move(mock), clock_);
    int forwarded = 0;
    p.SetOutputCallback([&](const uint8_t*, size_t, bool, uint64_t) { ++forwarded; });
    for (int i = 0; i < 10; ++i) p.Encode(nullptr, 0, 0, 0, 0);
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    for (int i = 0; i < 10; ++i) p.Encode(nullptr, 0, 0, 0, 0);
    EXPECT_FALSE(p.TransitionPending());
    EXPECT_EQ(p.Width(), 1280);
    p.Stop();  // drains the retire queue; the end keyframes of both mocks are dropped
    EXPECT_EQ(forwarded, 20);
}

TEST_F(EncoderPipelineTest, FailedCloneFallsBackToInPlaceReconfiguration) {
    stats_->failClone = true;
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    EncoderConfig cfg = Config(1280, 720, kCodecH264, 600);
    cfg.rateControl = kRateControlVbr;
    cfg.peakBitrateBps = 9'000'000;
    p.RequestTransition(cfg);
    ASSERT_TRUE(Eventually([&] { return CsvRows().size() == 2; }));
    const auto rows = CsvRows();
    EXPECT_EQ(rows[0][kMode], "Seamless");
    EXPECT_EQ(rows[0][kError], "clone_failed");
    EXPECT_NE(rows[0][kCloneMs], "");
    EXPECT_EQ(rows[0][kSwapMs], "");
    EXPECT_EQ(rows[0][kFromW], "1920");
    EXPECT_EQ(rows[1][kMode], "Conservative");
    EXPECT_EQ(rows[1][kFromW] + "x" + rows[1][kFromH], "1920x1080");
    EXPECT_EQ(rows[1][kToW] + "x" + rows[1][kToH], "1280x720");
    EXPECT_EQ(rows[1][kCloneMs] + rows[1][kFirstKeyMs] + rows[1][kSwapMs], "");
    EXPECT_EQ(rows[1][kError], "");

    EXPECT_EQ(p.Width(), 1280);  // the active encoder's, the target is gone
    EXPECT_EQ(first_->Width(), 1280);
    EXPECT_EQ(first_->Codec(), kCodecH264);
    EXPECT_EQ(first_->GopSize(), 600);
    EXPECT_EQ(first_->RateControl(), kRateControlVbr);
    EXPECT_EQ(first_->Peak(), 9'000'000u);
    EXPECT_EQ(stats_->created.load(), 1);
    Feed(p, 0, 2);
    const auto frames = out_.Snapshot();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].keyframe);
    EXPECT_FALSE(frames[1].keyframe);

    const std::string log = TopicLog();
    EXPECT_NE(log.find("clone failed — falling back to conservative in-place reconfigure"), std::string::npos);
    EXPECT_NE(log.find("single-encoder reconfigure fromW=1920 fromH=1080 toW=1280 toH=720 durationMs="),
              std::string::npos);
}

TEST_F(EncoderPipelineTest, WithoutEncoderTransitionWritesCloneFailedOnlyAndGettersDefault) {
    EncoderPipeline p(nullptr, clock_);
    EXPECT_FALSE(p.Configure(640, 360, 1, 30));
    p.Encode(nullptr, 0, 0, 0, 0);
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(Eventually([&] { return CsvRows().size() == 1; }));
    ASSERT_TRUE(Eventually([&] { return p.Width() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto rows = CsvRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][kError], "clone_failed");
    EXPECT_EQ(rows[0][kFromW] + "x" + rows[0][kFromH], "0x0");
    EXPECT_EQ(p.Height(), 0);
    EXPECT_EQ(p.Fps(), 0);
    EXPECT_EQ(p.GopSize(), 1);
    EXPECT_EQ(p.Codec(), 0);
    EXPECT_EQ(p.Bitrate(), 0u);
    EXPECT_EQ(p.FrameSizeCap(), 340'000u);
    EXPECT_FALSE(p.Ready());
    EXPECT_EQ(p.Description(), "");
}

TEST_F(EncoderPipelineTest, RepeatedRequestsAreIgnoredWhileQueuedOrPendingAndSlowCloneDoesNotStallFrames) {
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    stats_->CloseGate();
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(stats_->WaitBlockedInClone(1));
    Feed(p, 0, 10);  // the clone is being built; frames still flow
    EXPECT_EQ(out_.Snapshot().size(), 10u);

    p.RequestTransition(Config(960, 540, kCodecHevc, 1, 1'000'000));  // queued
    p.RequestTransition(Config(960, 540, kCodecHevc, 1, 2'000'000));  // same change: ignored
    EXPECT_EQ(p.Width(), 960);
    stats_->OpenGate();
    // The newer request replaces the first pending clone.
    ASSERT_TRUE(Eventually([&] { return stats_->cloneCalls.load() == 2 && p.TransitionPending() &&
                                        stats_->TeardownsOf(2) == 1; }));
    p.RequestTransition(Config(960, 540, kCodecHevc, 1, 3'000'000));  // pending already: ignored
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stats_->cloneCalls.load(), 2);
    Feed(p, 10, 12);
    EXPECT_FALSE(p.TransitionPending());
    EXPECT_EQ(p.Width(), 960);
    EXPECT_EQ(p.Bitrate(), 1'000'000u);

    // A different change is not de-duplicated.
    p.RequestTransition(Config(960, 540, kCodecH264, 1, 1'000'000));
    ASSERT_TRUE(Eventually([&] { return stats_->cloneCalls.load() == 3; }));
}

TEST_F(EncoderPipelineTest, SettersReachActiveAndPendingEncoders) {
    EncoderPipeline p(First(), clock_);
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
    ScriptedEncoder* pending = stats_->lastClone.load();
    ASSERT_NE(pending, nullptr);
    p.SetCodec(kCodecH264);
    p.SetGopSize(0);
    p.SetRateControl(kRateControlQuality, 0.5f);
    p.EmergencyCompress(30);
    for (ScriptedEncoder* e : {first_, pending}) {
        EXPECT_EQ(e->Codec(), kCodecH264);
        EXPECT_EQ(e->GopSize(), 1);
        EXPECT_EQ(e->RateControl(), kRateControlQuality);
    }
    EXPECT_EQ(first_->Emergency(), 30);
    EXPECT_EQ(pending->Emergency(), 0);  // emergency compression is for the active encoder only
}

TEST_F(EncoderPipelineTest, StopWithPendingEncoderEndsBothExactlyOnce) {
    {
        EncoderPipeline p(First(), clock_);
        p.RequestTransition(Config(1280, 720));
        ASSERT_TRUE(Eventually([&] { return p.TransitionPending(); }));
        p.Stop();
        EXPECT_EQ(stats_->TeardownsOf(1), 1);
        EXPECT_EQ(stats_->TeardownsOf(2), 1);
        EXPECT_FALSE(p.TransitionPending());
        p.RequestTransition(Config(640, 360));  // after Stop: nothing happens
        p.Stop();                                // idempotent
    }
    std::lock_guard<std::mutex> lock(stats_->mutex);
    EXPECT_EQ(stats_->destroyed[1], 1);
    EXPECT_EQ(stats_->destroyed[2], 1);
    EXPECT_EQ(stats_->teardowns[1], 1);
    EXPECT_EQ(stats_->teardowns[2], 1);
    EXPECT_EQ(stats_->created.load(), 2);
}

TEST_F(EncoderPipelineTest, ReconfigureInPlaceClearsTargetsAppliesSettingsAndForcesKeyframe) {
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    Feed(p, 0, 3);
    EncoderConfig cfg = Config(1280, 720, kCodecH264, 0);
    cfg.frameSizeCap = 0;
    cfg.rateControl = kRateControlQuality;
    p.ReconfigureInPlace(cfg);
    EXPECT_EQ(p.Width(), 1280);
    EXPECT_EQ(p.Height(), 720);
    EXPECT_EQ(first_->GopSize(), 1);
    EXPECT_EQ(first_->Codec(), kCodecH264);
    EXPECT_EQ(first_->RateControl(), kRateControlQuality);
    EXPECT_EQ(first_->FrameSizeCap(), 340'000u);
    EXPECT_EQ(first_->Peak(), 0u);  // no peak asked for
    Feed(p, 3, 5);
    const auto frames = out_.Snapshot();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_TRUE(frames[3].keyframe);
    EXPECT_FALSE(frames[4].keyframe);
    const auto rows = CsvRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][kMode], "Conservative");
    EXPECT_EQ(rows[0][kFromW], "1920");
    EXPECT_EQ(rows[0][kToW], "1280");
}

TEST_F(EncoderPipelineTest, InPlaceReconfigurationMakesFramesWaitInsteadOfDroppingThem) {
    // A clone that blocks keeps the shared lock; the in-place route must wait for it and
    // frames submitted behind the in-place route must wait for that, none dropped.
    EncoderPipeline p(First(), clock_);
    p.SetOutputCallback(out_.Callback());
    stats_->failClone = true;
    stats_->CloseGate();
    p.RequestTransition(Config(1280, 720));
    ASSERT_TRUE(stats_->WaitBlockedInClone(1));
    std::thread reconfigure([&] { p.ReconfigureInPlace(Config(640, 360)); });
    std::thread frames([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Feed(p, 0, 5);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stats_->OpenGate();
    reconfigure.join();
    frames.join();
    ASSERT_TRUE(Eventually([&] { return CsvRows().size() == 3; }));
    EXPECT_EQ(out_.Snapshot().size(), 5u);
}

}  // namespace
}  // namespace Veltrix
