#include "encoder/mock_encoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace Veltrix {
namespace {

struct Output {
    std::vector<bool> keys;
    size_t lastSize = 0;
    uint64_t lastTs = 99;
    bool lastBytesOk = false;
};

EncodedFrameCallback Recorder(Output* out) {
    return [out](const uint8_t* d, size_t n, bool key, uint64_t ts) {
        out->keys.push_back(key);
        out->lastSize = n;
        out->lastTs = ts;
        out->lastBytesOk = n == 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1;
    };
}

TEST(MockEncoderTest, DeliversStartCodeWithKeyframeOnFirstFrameAndOnRequest) {
    MockEncoder enc;
    Output out;
    enc.SetOutputCallback(Recorder(&out));
    EXPECT_TRUE(enc.Ready());
    EXPECT_TRUE(enc.Description().empty());
    EXPECT_FALSE(enc.HasEmittedKeyframe());
    ASSERT_TRUE(enc.Configure(640, 360, 2'000'000, 25));
    EXPECT_EQ(enc.Width(), 640);
    EXPECT_EQ(enc.Height(), 360);
    EXPECT_EQ(enc.Bitrate(), 2'000'000u);
    EXPECT_EQ(enc.Fps(), 25);

    enc.Encode(nullptr, 0, 0, 0, 12345);
    enc.Encode(nullptr, 0, 0, 0, 0);
    enc.RequestKeyframe();
    enc.Encode(nullptr, 0, 0, 0, 0);
    enc.Encode(nullptr, 0, 0, 0, 0);
    enc.ForceKeyframe();
    enc.Encode(nullptr, 0, 0, 0, 0);
    EXPECT_EQ(out.keys, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_TRUE(out.lastBytesOk);
    EXPECT_EQ(out.lastTs, 0u);
    EXPECT_TRUE(enc.HasEmittedKeyframe());
    EXPECT_EQ(enc.FramesEncoded(), 5u);

    // An empty callable drops output.
    enc.SetOutputCallback(nullptr);
    enc.Encode(nullptr, 0, 0, 0, 0);
    EXPECT_EQ(out.keys.size(), 5u);
}

TEST(MockEncoderTest, SettersStoreAndIgnoreWhatTheyShould) {
    MockEncoder enc;
    EXPECT_EQ(enc.GopSize(), 1);
    EXPECT_EQ(enc.FrameSizeCap(), 340'000u);
    enc.SetGopSize(0);
    EXPECT_EQ(enc.GopSize(), 1);
    enc.SetGopSize(600);
    EXPECT_EQ(enc.GopSize(), 600);
    enc.SetCodec(kCodecH264);
    EXPECT_EQ(enc.Codec(), kCodecH264);
    enc.SetRateControl(kRateControlVbr, 0.5f);
    EXPECT_EQ(enc.RateControl(), kRateControlVbr);
    enc.SetFrameSizeCap(50);
    EXPECT_EQ(enc.FrameSizeCap(), 100'000u);
    enc.SetFrameSizeCap(30'000'000);
    EXPECT_EQ(enc.FrameSizeCap(), 20'000'000u);
    enc.SetBitrate(7);
    EXPECT_EQ(enc.Bitrate(), 7u);
}

TEST(MockEncoderTest, CloneTakesConfigAndEmitOnEnd) {
    MockEncoder enc;
    enc.SetEmitOnEnd(true);
    EncoderConfig cfg;
    cfg.width = 1280;
    cfg.height = 720;
    cfg.fps = 60;
    cfg.bitrateBps = 9'000'000;
    cfg.gopSize = 5;
    cfg.codec = kCodecH264;
    auto clone = enc.Clone(cfg);
    ASSERT_TRUE(clone);
    EXPECT_EQ(clone->Width(), 1280);
    EXPECT_EQ(clone->Height(), 720);
    EXPECT_EQ(clone->Fps(), 60);
    EXPECT_EQ(clone->Bitrate(), 9'000'000u);
    EXPECT_EQ(clone->GopSize(), 5);
    EXPECT_EQ(clone->Codec(), kCodecH264);
    EXPECT_TRUE(static_cast<MockEncoder*>(clone.get())->EmitOnEnd());

    // Teardown delivers one end keyframe per configured run, however often it is called.
    Output out;
    clone->SetOutputCallback(Recorder(&out));
    clone->Teardown();
    clone->Teardown();
    EXPECT_EQ(out.keys, (std::vector<bool>{true}));
    clone.reset();
    EXPECT_EQ(out.keys.size(), 1u);
}

}  // namespace
}  // namespace Veltrix
