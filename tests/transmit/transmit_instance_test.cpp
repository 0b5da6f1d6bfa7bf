#include "transmit_fixture.h"

namespace Veltrix {
namespace {

TEST_F(TransmitInstanceTest, PacingValueIsClampedTo32Bits) {
    encoders_->frameSizeCap.store(kMaxFrameSizeCap);
    host_.ticksPerSecond.store(240'000);
    TransmitInstance& inst = NewInstance();
    inst.SetVideoFrameRate(1000);
    EXPECT_EQ(inst.Fps(), 240);
    const Bytes vbr{2, 50};
    inst.HandleControl(0x08, vbr.data(), vbr.size());
    EXPECT_EQ(transport_->GetPacer().Bitrate(), std::numeric_limits<std::uint32_t>::max());
    const Bytes cbr{0, 50};
    inst.HandleControl(0x08, cbr.data(), cbr.size());
    EXPECT_EQ(transport_->GetPacer().Bitrate(), 300'000'000u);  // 2 x bitrate 0 is below the floor
    // Too short: nothing but the (dropped) acknowledgement.
    inst.HandleControl(0x08, cbr.data(), 1);
    inst.HandleControl(0x04, nullptr, 0);
    EXPECT_EQ(transport_->GetClientSettings().gopMode, -1);
}

TEST_F(TransmitInstanceTest, FrameRateFromTheHostTimeBase) {
    TransmitInstance& inst = NewInstance();
    inst.SetVideoFrameRate(0);
    EXPECT_EQ(inst.Fps(), 30);
    inst.SetVideoFrameRate(kTxDefaultTicksPerSecond / 25);
    EXPECT_EQ(inst.Fps(), 25);
    inst.SetVideoFrameRate(kTxDefaultTicksPerSecond * 10);  // 0.1 fps
    EXPECT_EQ(inst.Fps(), 1);
    host_.timeSuiteMissing.store(true);
    inst.SetVideoFrameRate(kTxDefaultTicksPerSecond / 60);
    EXPECT_EQ(inst.Fps(), 1);
    // The basic suite's 'S!Fd' (suite not found).
    EXPECT_NE(LogText().find("SetVideoFrameRate: AcquireSuite(Time) failed err=1394689636"), std::string::npos);
    EXPECT_NE(LogText().find("SetVideoFrameRate: ticksPerFrame=0 — keeping fallback 30 fps"), std::string::npos);
}


TEST_F(TransmitInstanceTest, DormantWithoutAnEncoder) {
    TransmitInstance::Collaborators c = Seams(&clock_);
    c.createDefaultEncoder = [] { return std::unique_ptr<IHardwareEncoder>(); };
    TransmitInstance inst(host_.Basic(), c);
    EXPECT_FALSE(inst.HasPipeline());
    EXPECT_EQ(transport_->InstanceCount(), 0u);
    EXPECT_NE(LogText().find("TransmitInstance: encoder factory returned null — dormant"), std::string::npos);
}

TEST_F(TransmitInstanceTest, SuitesAreReleasedOnDestruction) {
    {
        TransmitInstance& inst = NewInstance();
        inst.Start();
        inst.Start();  // acquired once
        EXPECT_EQ(host_.acquired.load(), 2);
        EXPECT_EQ(transport_->InstanceCount(), 1u);
        instances_.clear();
    }
    EXPECT_EQ(host_.released.load(), 2);
    EXPECT_EQ(transport_->InstanceCount(), 0u);
    EXPECT_NE(LogText().find("ReleaseSuites done"), std::string::npos);
}

TEST_F(TransmitInstanceTest, CommandsWithoutAPhoneUpdateInstanceAndCache) {
    TransmitInstance& inst = NewInstance();
    auto send = [&](std::uint8_t op, Bytes payload) { inst.HandleControl(op, payload.data(), payload.size()); };
    send(0x05, {7});  // anything but 1 is HEVC
    EXPECT_EQ(transport_->GetClientSettings().codec, 0);
    EXPECT_EQ(inst.Pipeline()->Codec(), kCodecHevc);
    send(0x04, {1});
    EXPECT_EQ(inst.Pipeline()->GopSize(), 5);
    send(0x04, {2});  // automatic: retired, nothing changes but the raw cache
    EXPECT_EQ(inst.Pipeline()->GopSize(), 5);
    EXPECT_EQ(transport_->GetClientSettings().gopMode, 2);
    EXPECT_EQ(transport_->GetClientSettings().gopSize, 5);
    send(0x04, {9});
    EXPECT_EQ(inst.Pipeline()->GopSize(), 1);
    send(0x08, {7, 30});  // unknown mode is bitrate
    EXPECT_EQ(inst.EncoderMode(), 0);
    EXPECT_EQ(inst.Pipeline()->RateControl(), kRateControlBitrate);
    send(0x07, {0x00, 0x05});
    EXPECT_EQ(inst.ShortSideCap(), 1280);
    EXPECT_EQ(transport_->GetClientSettings().maxShortSide, 1280);
    send(0x13, {3});  // legacy one-byte engine
    EXPECT_EQ(inst.EngineByte(), 3);
    EXPECT_EQ(inst.EngineId(), "auto");
    send(0x18, {0, 0, 1, 0, 2, 8, 's', 'o', 'f', 't', 'w', 'a', 'r', 'e'});
    EXPECT_EQ(inst.EngineId(), "software");
    EXPECT_EQ(inst.ShortSideCap(), 0);
    EXPECT_EQ(inst.EncoderMode(), 2);
    EXPECT_EQ(transport_->GetClientSettings().quality, 70);
    // The switch at the end of the snapshot keeps what the snapshot set before it.
    EXPECT_EQ(inst.Pipeline()->Codec(), kCodecH264);
    EXPECT_EQ(inst.Pipeline()->GopSize(), 1);
    EXPECT_EQ(inst.Pipeline()->RateControl(), kRateControlVbr);
    send(0x18, {1, 2, 3});
    send(0x7F, {});
    send(0x40, {200, 'h', 'i'});  // length byte larger than the text: the text there is
    const std::string log = LogText();
    EXPECT_NE(log.find("control: SetGopMode Short-GOP"), std::string::npos);
    EXPECT_NE(log.find("control: SetGopMode ?-fallback-AllIntra"), std::string::npos);
    EXPECT_NE(log.find("control: SetEncoderMode Bitrate q=30%"), std::string::npos);
    EXPECT_NE(log.find("control: AppSettingsSnapshot too short (3)"), std::string::npos);
    EXPECT_NE(log.find("control: unhandled opcode 0x7f"), std::string::npos);
    EXPECT_NE(log.find("[TEST] hi"), std::string::npos);
}

TEST_F(TransmitInstanceTest, ClockPullsSilenceAndCountingWithoutAPhone) {
    TransmitInstance& inst = NewInstance();
    inst.SetAudioFormat(48000.0f, 2);
    inst.SetVideoFrameRate(kTxDefaultTicksPerSecond * 1001 / 30000);  // 29.97 fps
    inst.Start();
    std::vector<std::int64_t> ticks;
    inst.StartClock(CountTicks, &ticks, 0, 3);
    EXPECT_FALSE(inst.ClockRunning());
    EXPECT_FALSE(inst.CountedRunning());
    inst.StartClock(CountTicks, &ticks, kTxPlayModePlaying, 3);
    EXPECT_TRUE(inst.ClockRunning());
    EXPECT_TRUE(inst.CountedRunning());
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(std::chrono::nanoseconds(1'000'000'000 / 30));
    ASSERT_TRUE(Eventually([&] { return host_.pulls.load() == 1; }));
    EXPECT_EQ(host_.lastPullSamples.load(), 1601u);
    EXPECT_TRUE(inst.AudioOutputEnabled());  // samples were pulled
    inst.SetAudioPushActive(true, true);      // scrubbing removes the count
    EXPECT_FALSE(inst.CountedRunning());
    inst.SetAudioPushActive(true, false);
    EXPECT_TRUE(inst.CountedRunning());
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    inst.StopClock();
    EXPECT_FALSE(inst.CountedRunning());
    inst.StopClock();
    EXPECT_EQ(ticks.size(), 1u);

    // A clock without any audio: output is switched off after 1.5 s.
    TransmitInstance& silent = NewInstance();
    silent.StartClock(CountTicks, &ticks, kTxPlayModePlaying, 0);
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(1400ms);
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    EXPECT_TRUE(silent.AudioOutputEnabled());
    clock_.Advance(200ms);
    ASSERT_TRUE(Eventually([&] { return !silent.AudioOutputEnabled(); }));
    std::vector<float> samples(16, 0.0f);
    const float* channels[2] = {samples.data(), nullptr};
    silent.SendAudioSamples(channels, 16, 2);
    EXPECT_TRUE(silent.AudioOutputEnabled());
    silent.StopClock();
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "] StopClock\r\n"), 2u);
    EXPECT_NE(log.find("SetAudioFormat rate=48000 ch=2"), std::string::npos);
    EXPECT_NE(log.find("SetVideoFrameRate: 8475667200 ticks/frame → 29.970 → 30 fps"), std::string::npos);
}

}  // namespace
}  // namespace Veltrix
