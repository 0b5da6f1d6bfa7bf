#include "transmit_fixture.h"

namespace Veltrix {
namespace {

const std::vector<int> kNewPhoneMessages = {0x36, 0x39, 0x38, 0x37};

TEST_F(TransmitInstanceTest, NewPhoneSequenceForOneAndTwoInstances) {
    TransmitInstance& first = NewInstance();
    first.Start();
    {
        WirePhone phone(Port());
        const std::vector<Frame> frames = Connect(phone);
        std::vector<int> expected = kNewPhoneMessages;
        expected.insert(expected.end(), {0x1A, 0x35});
        ASSERT_EQ(Opcodes(frames), expected);
        EXPECT_EQ(frames[0].payload, (Bytes{1, 2}));
        EXPECT_EQ(frames[1].payload, (Bytes{1}));
        // Two engines: count, then id/label/detail each with a length byte.
        const Bytes& list = frames[2].payload;
        ASSERT_GE(list.size(), 3u);
        EXPECT_EQ(list[0], list.size() - 1);
        EXPECT_EQ(list[1], 2);
        EXPECT_EQ(std::string(list.begin() + 3, list.begin() + 9), "nvidia");
        // The count in the log is the message's: the length byte and the list.
        EXPECT_NE(LogText().find("SendControl: kEncoderEngineList 2 entries (" + std::to_string(list.size()) +
                                 " B frame)"),
                  std::string::npos);
        EXPECT_EQ(frames[3].payload[0], 12);
        EXPECT_EQ(std::string(frames[3].payload.begin() + 1, frames[3].payload.end()), "Test encoder");
        EXPECT_EQ(frames[4].payload, (Bytes{0}));  // no clock running
        EXPECT_EQ(frames[5].payload, (Bytes{1}));  // an instance is active
        EXPECT_EQ(bridgeNudges_.load(), 1);
        EXPECT_EQ(keyboardNudges_.load(), 1);
    }
    ASSERT_TRUE(Eventually([&] { return !transport_->PeerKnown(); }));
    NewInstance().Start();
    WirePhone phone(Port());
    const std::vector<Frame> frames = Connect(phone);
    std::vector<int> expected = kNewPhoneMessages;
    expected.insert(expected.end(), kNewPhoneMessages.begin(), kNewPhoneMessages.end());
    expected.insert(expected.end(), {0x1A, 0x35});
    EXPECT_EQ(Opcodes(frames), expected);
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "new client — forcing IDR, re-pushing StreamInfo"), 3u);
    EXPECT_EQ(Count(log, "OnNewClient replay: no cache, waiting on Premiere"), 3u);
    EXPECT_EQ(Count(log, "Ctrl bridge unavailable — fallback to keyboard nudge"), 3u);
    EXPECT_NE(log.find("AcquireSuites: err=0 ppix="), std::string::npos);
}

// No encoder takes the stream: it is tried again on later frames, ever less
// often, and its failure is written once and then counted.
TEST_F(TransmitInstanceTest, AFailingConfigureIsRetriedWithBackOffAndLoggedOnce) {
    encoders_->failConfigure = true;
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    auto pic = Picture(640, 360);
    const auto pushFor = [&](std::chrono::seconds span) {
        for (int i = 0; i < span.count() * 60; ++i) {
            Push(inst, *pic);
            clock_.Advance(std::chrono::nanoseconds(1'000'000'000 / 60));
        }
    };
    const std::string failed = "encoder Configure failed (640x360 @ 30 fps) — Ready() stays false, retry on a later frame";
    pushFor(10s);  // 600 frames
    const int early = encoders_->configures.load();
    EXPECT_GE(early, 3);
    EXPECT_LE(early, 8);
    EXPECT_EQ(Count(LogText(), failed), 1u);
    // Past the first minute the wait between tries has grown to seconds, and one line sums the repeats up.
    pushFor(60s);
    EXPECT_LE(encoders_->configures.load() - early, 16);
    EXPECT_EQ(Count(LogText(), failed + " — repeated "), 1u);
    EXPECT_FALSE(inst.Pipeline()->Ready());

    // A target of another size is tried at once; once the encoder takes it, so is the stream.
    encoders_->failConfigure = false;
    const int before = encoders_->configures.load();
    auto other = Picture(1280, 720);
    Push(inst, *other);
    EXPECT_EQ(encoders_->configures.load(), before + 1);
    EXPECT_TRUE(inst.Pipeline()->Ready());
}

TEST_F(TransmitInstanceTest, ForcePromoteAtOnceThenDebouncedSourceChange) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    phone.Send({0x07, 0xD0, 0x02});  // cap 720
    ASSERT_TRUE(phone.Sync().size() == 1u);  // its own acknowledgement

    auto big = Picture(1920, 1080);
    Push(inst, *big);
    std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x16, 0x06}));
    EXPECT_EQ(U16(&frames[0].payload[0]), 1920);
    EXPECT_EQ(U16(&frames[0].payload[2]), 1080);
    float fps = 0;
    std::memcpy(&fps, &frames[0].payload[4], 4);
    EXPECT_EQ(fps, 30.0f);
    EXPECT_EQ(U16(&frames[1].payload[0]), 1920);
    EXPECT_EQ(U16(&frames[1].payload[2]), 1080);
    EXPECT_EQ(U16(&frames[1].payload[4]), 30);
    EXPECT_EQ(U32(&frames[1].payload[6]), kDefaultFrameSizeCap);
    EXPECT_EQ(inst.Pipeline()->Width(), 1280);
    EXPECT_EQ(inst.Pipeline()->Height(), 720);
    EXPECT_EQ(big->disposed, 1);

    // 1900 wide: the cap gives 1266x720, within 5 % of 1280x720, so no
    // reconfigure; announced once stable for 0.5 s.
    auto narrower = Picture(1900, 1080);
    Push(inst, *narrower);
    clock_.Advance(300ms);
    Push(inst, *narrower);
    EXPECT_TRUE(phone.Sync().empty());
    clock_.Advance(250ms);
    Push(inst, *narrower);
    frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x16, 0x06}));
    EXPECT_EQ(U16(&frames[0].payload[0]), 1900);
    EXPECT_EQ(U16(&frames[1].payload[0]), 1900);
    EXPECT_EQ(inst.Pipeline()->Width(), 1280);
    EXPECT_EQ(narrower->disposed, 3);
    EXPECT_NE(LogText().find("SendControl: kSourceChanged 1900x1080 @ 30 fps"), std::string::npos);

    // A small source is not scaled; 1921x1080 under the cap: 1280.67 rounds to 1281, made even.
    auto small = Picture(640, 360);
    Push(inst, *small);
    EXPECT_EQ(inst.Pipeline()->Width(), 640);
    auto odd = Picture(1921, 1080);
    Push(inst, *odd);
    EXPECT_EQ(inst.Pipeline()->Width(), 1280);
    EXPECT_EQ(inst.Pipeline()->Height(), 720);
}

TEST_F(TransmitInstanceTest, FramesThatCannotBeEncodedAreDisposedAndLoggedOnce) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    // 8-bit ARGB in the SDK's byte order ('a' lowest): the value a most-significant-first 'bgra' would have.
    auto argb = Picture(64, 64, TX_PIXEL_FORMAT_FOURCC('a', 'r', 'g', 'b'));
    ASSERT_EQ(TX_PIXEL_FORMAT_FOURCC('a', 'r', 'g', 'b'), 0x62677261u);
    Push(inst, *argb);
    Push(inst, *argb);
    auto thin = Picture(15, 1080);
    Push(inst, *thin);
    EXPECT_TRUE(phone.Sync().empty());
    EXPECT_FALSE(ReceiveDatagram(video_, 100).has_value());
    EXPECT_EQ(argb->disposed, 2);
    EXPECT_EQ(thin->disposed, 1);
    EXPECT_EQ(Count(LogText(), "PushVideo: unsupported pixel format 0x62677261 'argb' (wanted 'bgra'); dropping frame"),
              1u);

    // Only the first frame of a push is encoded; every handle is disposed once.
    auto a = Picture(64, 64), b = Picture(64, 64);
    const TxLabeledFrame two[2] = {{HandleOf(*a), nullptr}, {HandleOf(*b), nullptr}};
    const TxLabeledFrame withNull[2] = {{nullptr, nullptr}, {HandleOf(*b), nullptr}};
    TxPushVideo video{};
    video.frames = two;
    video.frameCount = 2;
    inst.PushVideo(&video);
    TxPushVideo video2{};
    video2.frames = withNull;
    video2.frameCount = 2;
    inst.PushVideo(&video2);
    inst.PushVideo(nullptr);
    EXPECT_EQ(a->disposed, 1);
    EXPECT_EQ(b->disposed, 2);
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{0x16, 0x06}));
}

TEST_F(TransmitInstanceTest, VideoAccessUnitGoesOutWithParity) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    auto pic = Picture(64, 64);
    Push(inst, *pic);  // no phone yet: nothing encoded
    EXPECT_EQ(pic->disposed, 1);
    auto phone = std::make_unique<WirePhone>(Port());
    Connect(*phone);
    Push(inst, *pic);
    EXPECT_EQ(pic->lastAccess, 0);  // read access, the SDK's PrPPixBufferAccess_ReadOnly
    auto data = ReceiveDatagram(video_);
    auto parity = ReceiveDatagram(video_);
    ASSERT_TRUE(data && parity);
    EXPECT_EQ(data->size(), 22u + 4u + 4u);  // header, the 4-byte access unit, send time
    EXPECT_EQ((*data)[4], 1);                // video
    EXPECT_EQ((*data)[5] & 0x01, 0x01);      // key frame
    EXPECT_EQ(U16(&(*data)[16]), 0);         // fragment 0 of 2
    EXPECT_EQ(U16(&(*data)[18]), 2);
    EXPECT_EQ(Bytes(data->begin() + 22, data->begin() + 26), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(parity->size(), 22u + 2u + 1440u);
    EXPECT_EQ(U16(&(*parity)[16]), 1);
    EXPECT_EQ(U32(&(*parity)[8]), U32(&(*data)[8]) + 1);  // consecutive sequence numbers

    // A new phone while the host is paused gets the cached picture as a key frame.
    DrainVideo();
    phone.reset();
    ASSERT_TRUE(Eventually([&] { return !transport_->PeerKnown(); }));
    clock_.Advance(1s);
    WirePhone second(Port());
    const std::vector<Frame> frames = Connect(second);
    const std::vector<int> expected{0x36, 0x39, 0x38, 0x37, 0x1A, 0x35};
    EXPECT_EQ(Opcodes(frames), expected);  // source forgotten: no stream info until frames show it again
    auto replay = ReceiveDatagram(video_);
    ASSERT_TRUE(replay.has_value());
    EXPECT_EQ((*replay)[5] & 0x01, 0x01);
    EXPECT_NE(LogText().find("OnNewClient replay: cached 64x64 fresh IDR"), std::string::npos);
    // Same format again: announced only after 0.5 s (no reconfigure needed).
    Push(inst, *pic);
    EXPECT_TRUE(second.Sync().empty());
    clock_.Advance(600ms);
    Push(inst, *pic);
    EXPECT_EQ(Opcodes(second.Sync()), (std::vector<int>{0x16, 0x06}));
}

TEST_F(TransmitInstanceTest, AudioGoesOutAsSixFragmentsWithoutParity) {
    TransmitInstance& inst = NewInstance();
    inst.SetAudioFormat(0.0f, 6);
    EXPECT_EQ(inst.AudioRate(), 48000u);
    EXPECT_EQ(inst.AudioChannels(), 2u);
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    std::vector<float> left(1024, 0.5f), right(1024, -0.5f);
    float* buffers[2] = {left.data(), right.data()};
    const TxPushAudio audio{0, buffers, 1024, 2};
    inst.PushAudio(&audio);
    std::vector<Bytes> got;
    for (int i = 0; i < 6; ++i) {
        auto d = ReceiveDatagram(audio_);
        ASSERT_TRUE(d.has_value()) << i;
        got.push_back(*d);
    }
    EXPECT_FALSE(ReceiveDatagram(audio_, 100).has_value());
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i][4], 2);                 // audio
        EXPECT_EQ(got[i][5], 0);                 // no key frame, no send time
        EXPECT_EQ(U16(&got[i][16]), i);
        EXPECT_EQ(U16(&got[i][18]), 6);          // data only
        EXPECT_EQ(U32(&got[i][8]), U32(&got[0][8]) + static_cast<std::uint32_t>(i));
    }
    EXPECT_EQ(U32(&got[0][22]), 48000u);  // audio header: rate, channels, 32 bits
    EXPECT_EQ(got[0][26], 2);
    // Inactive: dropped.
    inst.Stop();
    inst.PushAudio(&audio);
    EXPECT_FALSE(ReceiveDatagram(audio_, 100).has_value());
}

TEST_F(TransmitInstanceTest, StallIsRebuiltOncePerFiveSecondsButAPauseIsNoStall) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    auto pic = Picture(64, 64);
    Push(inst, *pic);
    // A 2 s pause, then output still flows: no stall.
    clock_.Advance(2s);
    Push(inst, *pic);
    encoders_->mute.store(true);
    const std::string stall = "encoder stall: no output for";
    for (int i = 0; i < 94; ++i) {  // 3.1 s of pushes every 33 ms
        clock_.Advance(33ms);
        Push(inst, *pic);
    }
    EXPECT_EQ(Count(LogText(), stall), 1u);
    EXPECT_NE(LogText().find("rebuilding session 64x64 @ 30 fps"), std::string::npos);
    for (int i = 0; i < 140; ++i) {  // 4.6 s more: still only one
        clock_.Advance(33ms);
        Push(inst, *pic);
    }
    EXPECT_EQ(Count(LogText(), stall), 1u);
    for (int i = 0; i < 20; ++i) {
        clock_.Advance(33ms);
        Push(inst, *pic);
    }
    EXPECT_EQ(Count(LogText(), stall), 2u);
    EXPECT_NE(LogText().find(":FAULT] encoder stall"), std::string::npos);
}

TEST_F(TransmitInstanceTest, SettingsAreAppliedCachedAndAcknowledgedInOrder) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    phone.Send({0x05, 0});
    phone.Send({0x05, 7});
    phone.Send({0x04, 2});
    phone.Send({0x04, 9});
    phone.Send({0x08, 1, 250});
    phone.Send({0x13, 0});
    phone.Send({0x01});
    phone.Send({0x11, 1});
    phone.Send({0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24});
    std::vector<Frame> acks = phone.Sync();
    std::vector<std::uint8_t> acked;
    for (const Frame& f : acks) {
        ASSERT_EQ(f.opcode, 0x0F);
        acked.push_back(f.payload[0]);
    }
    EXPECT_EQ(acked, (Bytes{0x05, 0x05, 0x04, 0x04, 0x08, 0x13}));
    ClientSettingsCache cache = transport_->GetClientSettings();
    EXPECT_EQ(cache.codec, 0);
    EXPECT_EQ(cache.gopMode, 9);
    EXPECT_EQ(cache.gopSize, 1);
    EXPECT_EQ(cache.quality, 100);
    EXPECT_EQ(cache.encoderMode, 1);
    EXPECT_EQ(inst.EncoderMode(), 1);
    EXPECT_EQ(inst.EngineId(), "auto");
    EXPECT_EQ(inst.Pipeline()->GopSize(), 1);
    // 30 fps x 340,000 B x 32 is above the 300 Mbit/s floor.
    EXPECT_EQ(transport_->GetPacer().Bitrate(), 326'400'000u);

    // Snapshot: cap 1080, H.264, long GOP, quality mode, no engine.
    phone.Send({0x18, 0x38, 0x04, 1, 3, 1, 0});
    acked.clear();
    for (const Frame& f : phone.Sync()) acked.push_back(f.opcode == 0x0F ? f.payload[0] : 0xEE);
    EXPECT_EQ(acked, (Bytes{0x07, 0x05, 0x04, 0x08}));
    cache = transport_->GetClientSettings();
    EXPECT_EQ(cache.maxShortSide, 1080);
    EXPECT_EQ(cache.codec, 1);
    EXPECT_EQ(cache.gopSize, 600);
    EXPECT_EQ(cache.quality, 70);
    EXPECT_EQ(inst.ShortSideCap(), 1080);
    EXPECT_EQ(inst.Pipeline()->GopSize(), 600);
    EXPECT_EQ(inst.Pipeline()->Codec(), kCodecH264);
    EXPECT_EQ(transport_->GetEncoderStatus().isH264, 1);
    EXPECT_EQ(transport_->GetEncoderStatus().gopClass, 3);

    // Host transport opcodes never reach the instance.
    phone.Send({0x21});
    EXPECT_TRUE(phone.Sync().empty());
    {
        std::lock_guard<std::mutex> l(opsMutex_);
        EXPECT_EQ(transportOps_, (Bytes{0x21}));
    }

    const std::string log = LogText();
    EXPECT_EQ(Count(log, "control: SetCodec HEVC"), 2u);
    EXPECT_EQ(Count(log, "control: SetCodec H264"), 1u);
    EXPECT_NE(log.find("control: SetGopMode AUTO is retired — keeping current=1"), std::string::npos);
    EXPECT_NE(log.find("control: SetEncoderMode Quality q=100%"), std::string::npos);
    EXPECT_NE(log.find("control: SetEncoderEngine (legacy 1B) — treating as 'auto' no-op"), std::string::npos);
    EXPECT_NE(log.find("control: AppSettingsSnapshot resLimit=1080 codec=1 gop=3 rc=1 engine="), std::string::npos);
    EXPECT_NE(log.find("control: retired opcode 0x02 (SetBitrate) — ignored"), std::string::npos);
    EXPECT_NE(log.find("control: retired opcode 0x11 — ignored"), std::string::npos);
    EXPECT_NE(log.find("control: IDR requested by client"), std::string::npos);
}

TEST_F(TransmitInstanceTest, TwoInstancesAcknowledgeEachSetting) {
    TransmitInstance& a = NewInstance();
    TransmitInstance& b = NewInstance();
    a.Start();
    b.Start();
    WirePhone phone(Port());
    Connect(phone);
    phone.Send({0x05, 1});
    const std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x0F, 0x0F}));
    EXPECT_EQ(frames[0].payload, (Bytes{0x05}));
    EXPECT_EQ(a.Pipeline()->Codec(), kCodecH264);
    EXPECT_EQ(b.Pipeline()->Codec(), kCodecH264);
    // A third instance created now starts with the cached codec.
    TransmitInstance& c = NewInstance();
    EXPECT_EQ(c.Pipeline()->Codec(), kCodecH264);
}

TEST_F(TransmitInstanceTest, EngineSwitchMessages) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    auto withId = [](const std::string& id) { return ShortStringCommand(0x13, id); };
    phone.Send(withId("nvidia"));  // from the start-up "auto": rebuilt silently
    std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x0F}));
    EXPECT_EQ(inst.EngineId(), "nvidia");
    phone.Send(withId("software"));
    frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x37, 0x0F}));
    EXPECT_EQ(std::string(frames[0].payload.begin() + 1, frames[0].payload.end()), "Switching encoder...");
    EXPECT_EQ(frames[0].payload[0], 20);
    phone.Send(withId("software"));
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{0x0F}));
    phone.Send(withId("broken"));
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{0x37, 0x0F}));
    EXPECT_EQ(inst.EngineId(), "broken");  // the default encoder stands in
    const Bytes malformed{5, 'a'};  // claims 5 bytes, has 1 (the reader never passes this on)
    inst.HandleControl(0x13, malformed.data(), malformed.size());
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{0x0F}));
    // The rebuilt pipeline configures itself on the next frame and streams.
    auto pic = Picture(64, 64);
    DrainVideo();
    Push(inst, *pic);
    EXPECT_TRUE(ReceiveDatagram(video_).has_value());
    EXPECT_EQ(inst.Pipeline()->Width(), 64);

    const std::string log = LogText();
    EXPECT_NE(log.find("engine seed 'auto' → 'nvidia' — rebuilding to honor saved choice"), std::string::npos);
    EXPECT_NE(log.find("engine switch: 'nvidia' → 'software' — full refresh"), std::string::npos);
    EXPECT_NE(log.find("engine switch: same id 'software' — no-op"), std::string::npos);
    EXPECT_NE(log.find("engine switch: CreateForEngine('broken') failed — falling back to default"), std::string::npos);
    EXPECT_NE(log.find("engine switch: rebuilt pipeline with 'broken'"), std::string::npos);
    EXPECT_NE(log.find("control: SetEncoderEngine malformed (idLen=5 payloadLen=2)"), std::string::npos);
    inst.SwitchEngine("broken");
    EXPECT_NE(LogText().find("engine switch: same id 'broken' — no-op"), std::string::npos);
}



// Engine ids come from the phone: every engine line logs them escaped.
TEST_F(TransmitInstanceTest, EngineIdsNeverForgeALogLine) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    const std::string forged = "\r\n[1999-09-09 09:09:09.999 com.veltrix.plugin:transmit:INFO] FAKE\xC2\x9B\x85";
    for (const std::string& id : {"a" + forged, "a" + forged, "broken" + forged}) {
        phone.Send(ShortStringCommand(0x13, id));
        phone.Sync();
    }
    const Bytes snapshot = [&] {
        Bytes b{0x18, 0, 0, 1, 1, 0, static_cast<std::uint8_t>(forged.size())};
        b.insert(b.end(), forged.begin(), forged.end());
        return b;
    }();
    phone.Send(snapshot);
    phone.Sync();
    EXPECT_EQ(inst.EngineId(), forged);

    std::string bad;
    const auto lines = testing::WellFormedLogLines(LogText(), &bad);
    ASSERT_FALSE(lines.empty()) << "bad line: " << bad;
    for (const std::string& line : lines) EXPECT_NE(line.rfind("[1999", 0), 0u) << line;
    const std::string escaped =
        "\\x0d\\x0a[1999-09-09 09:09:09.999 com.veltrix.plugin:transmit:INFO] FAKE\\xc2\\x9b\\x85";
    const std::string log = LogText();
    for (const std::string& line : {"control: SetEncoderEngine id='a" + escaped + "' (was 'auto')",
                                    "engine seed 'auto' → 'a" + escaped + "' — rebuilding",
                                    "engine switch: same id 'a" + escaped + "' — no-op",
                                    "engine switch: 'a" + escaped + "' → 'broken" + escaped + "' — full refresh",
                                    "engine switch: CreateForEngine('broken" + escaped + "') failed",
                                    "engine switch: rebuilt pipeline with 'broken" + escaped + "'",
                                    "control: AppSettingsSnapshot resLimit=0 codec=1 gop=1 rc=0 engine=" + escaped})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(TransmitInstanceTest, ClockTicksPullsAudioAndCountsOnce) {
    TransmitInstance& inst = NewInstance();
    // 29.97 fps at 48 kHz: 1601 samples per pull.
    inst.SetVideoFrameRate(kTxDefaultTicksPerSecond * 1001 / 30000);
    EXPECT_EQ(inst.Fps(), 30);
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    std::vector<std::int64_t> ticks;
    inst.StartClock(CountTicks, &ticks, kTxPlayModeStopped, 7);    // wrong mode
    inst.StartClock(CountTicks, &ticks, kTxPlayModeScrubbing, 7);  // wrong mode
    inst.StartClock(nullptr, &ticks, kTxPlayModePlaying, 7);  // no callback
    EXPECT_FALSE(inst.ClockRunning());
    EXPECT_TRUE(phone.Sync().empty());

    inst.StartClock(CountTicks, &ticks, kTxPlayModePlaying, 7);
    inst.StartClock(CountTicks, &ticks, kTxPlayModePlaying, 7);  // one thread only
    std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x1A}));
    EXPECT_EQ(frames[0].payload, (Bytes{1}));
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(std::chrono::nanoseconds(1'000'000'000 / 30));
    ASSERT_TRUE(Eventually([&] { return host_.pulls.load() == 1; }));
    EXPECT_EQ(host_.lastPullSamples.load(), 1601u);
    EXPECT_EQ(host_.lastPullPlayId.load(), 7);
    auto d = ReceiveDatagram(audio_);  // the pulled samples go out as audio
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ((*d)[4], 2);

    // A non-scrubbing push while the clock runs does not count twice; its stop
    // ends the count, and the clock's stop then sends nothing.
    inst.SetAudioPushActive(true, false);
    EXPECT_TRUE(phone.Sync().empty());
    inst.SetAudioPushActive(false, false);
    frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x1A}));
    EXPECT_EQ(frames[0].payload, (Bytes{0}));
    EXPECT_FALSE(inst.CountedRunning());
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    inst.StopClock();
    inst.StopClock();
    EXPECT_TRUE(phone.Sync().empty());
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0], 8'467'199'915LL);  // 254,016,000,000 x 33,333,333 ns
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "] StopClock\r\n"), 1u);
    EXPECT_EQ(Count(log, "StartClock: fps=30 ticksPerSecond=254016000000 playID=7"), 1u);
}

TEST_F(TransmitInstanceTest, ScrubbingNeverCountsAsPlayback) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    inst.SetAudioPushActive(true, true);
    EXPECT_TRUE(phone.Sync().empty());
    inst.SetAudioPushActive(true, false);
    inst.SetAudioPushActive(true, false);
    std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x1A}));
    EXPECT_EQ(frames[0].payload, (Bytes{1}));
    inst.SetAudioPushActive(true, true);  // scrubbing ends the count
    frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x1A}));
    EXPECT_EQ(frames[0].payload, (Bytes{0}));
    // The destructor of a counted instance takes its count back.
    inst.SetAudioPushActive(true, false);
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{0x1A}));
    instances_.clear();
    const Frame last = phone.Next();  // no instance left to acknowledge a sync
    EXPECT_EQ(last.opcode, 0x1A);
    EXPECT_EQ(last.payload, (Bytes{0}));
}

TEST_F(TransmitInstanceTest, SilenceSwitchesAudioStateOffAndSamplesOnAgain) {
    TransmitInstance& inst = NewInstance();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    std::vector<std::int64_t> ticks;
    inst.StartClock(CountTicks, &ticks, kTxPlayModePlaying, 0);  // no play id: no pull
    phone.Sync();
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(1600ms);
    Frame f = phone.Next();
    EXPECT_EQ(f.opcode, 0x39);
    EXPECT_EQ(f.payload, (Bytes{0}));
    EXPECT_FALSE(inst.AudioOutputEnabled());
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(1600ms);  // told once only
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    EXPECT_EQ(Opcodes(phone.Sync()), (std::vector<int>{}));
    std::vector<float> samples(1024, 0.1f);
    float* buffers[2] = {samples.data(), samples.data()};
    const TxPushAudio audio{0, buffers, 1024, 2};
    inst.PushAudio(&audio);
    std::vector<Frame> frames = phone.Sync();
    ASSERT_EQ(Opcodes(frames), (std::vector<int>{0x39}));
    EXPECT_EQ(frames[0].payload, (Bytes{1}));
    inst.StopClock();
    EXPECT_EQ(Count(LogText(), "SetAudioOutputEnabled: 0"), 1u);
    EXPECT_EQ(Count(LogText(), "SendControl: kAudioState enabled=0"), 1u);
}

TEST_F(TransmitInstanceTest, SelfTestMarkers) {
    NewInstance().Start();
    WirePhone phone(Port());
    Connect(phone);
    auto marker = [](const std::string& text) { return ShortStringCommand(0x40, text); };
    phone.Send(marker("SELFTEST pipeline \r\n"));
    phone.Send(marker("SELFTEST nothing"));
    phone.Send(marker("hello"));
    EXPECT_TRUE(phone.Sync(20000).empty());
    const std::string log = LogText();
    EXPECT_NE(log.find("SELFTEST pipeline: PASS"), std::string::npos) << log;
    EXPECT_NE(log.find("SELFTEST nothing: no such self-test"), std::string::npos);
    EXPECT_NE(log.find("[TEST] hello"), std::string::npos);
}

TEST_F(TransmitInstanceTest, StressDriverFeedsFramesUntilStop) {
    testing::SetEnv("VX_STRESS", "1");
    TransmitInstance& inst = NewInstance(&Clock::Real());
    inst.Start();
    testing::SetEnv("VX_STRESS", nullptr);
    EXPECT_TRUE(inst.StressDriverRunning());
    WirePhone phone(Port());
    Connect(phone);
    EXPECT_TRUE(ReceiveDatagram(video_, 10000).has_value());
    EXPECT_TRUE(Eventually([&] { return inst.Pipeline()->Width() == 1280; }));
    inst.Stop();
    EXPECT_FALSE(inst.StressDriverRunning());
    DrainVideo();
    EXPECT_FALSE(ReceiveDatagram(video_, 200).has_value());
}

}  // namespace
}  // namespace Veltrix
