// Real encoding through libx264/libx265, every access unit decoded by libavcodec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "encoder/engine_factory.h"
#include "encoder/media_foundation_encoder.h"
#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

struct Unit {
    std::vector<uint8_t> bytes;
    bool key;
    uint64_t ts;
};

// A decoder fed Annex-B access units; Decode returns the decoded frame's luma at (x, y) or -1.
class Decoder {
public:
    explicit Decoder(int codec) {
        const AVCodec* c = avcodec_find_decoder(codec == kCodecH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
        ctx_ = avcodec_alloc_context3(c);
        ctx_->thread_count = 1;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ok_ = avcodec_open2(ctx_, c, nullptr) == 0;
        pkt_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&pkt_);
        avcodec_free_context(&ctx_);
    }
    // True when the unit produced a picture of w x h.
    bool Decode(const std::vector<uint8_t>& au, int w, int h) {
        if (!ok_) return false;
        if (av_new_packet(pkt_, static_cast<int>(au.size())) < 0) return false;
        std::memcpy(pkt_->data, au.data(), au.size());
        int r = avcodec_send_packet(ctx_, pkt_);
        av_packet_unref(pkt_);
        if (r < 0) return false;
        r = avcodec_receive_frame(ctx_, frame_);
        if (r < 0) return false;
        return frame_->width == w && frame_->height == h;
    }
    int Luma(int x, int y) const { return frame_->data[0][y * frame_->linesize[0] + x]; }
    const AVFrame& Frame() const { return *frame_; }

private:
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVFrame* frame_ = nullptr;
    bool ok_ = false;
};

// Grey background with a moving white box at (x0, 16).
std::vector<uint8_t> Pattern(int w, int h, int n) {
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &img[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = static_cast<uint8_t>((x + n * 4) & 0x7F);
            p[1] = static_cast<uint8_t>((y + n * 2) & 0x7F);
            p[2] = 96;
            p[3] = 255;
        }
    const int x0 = 16 + 8 * n;
    for (int y = 16; y < 80 && y < h; ++y)
        for (int x = x0; x < x0 + 64 && x < w; ++x) std::memset(&img[(static_cast<size_t>(y) * w + x) * 4], 255, 4);
    return img;
}

class MfLibav : public ::testing::Test {
public:
    testing::ScopedTestDirs dirs;
    std::vector<Unit> units;
    std::unique_ptr<MediaFoundationEncoder> enc = std::make_unique<MediaFoundationEncoder>();
    void SetUp() override {
        enc->SetOutputCallback([this](const uint8_t* d, size_t n, bool k, uint64_t ts) {
            units.push_back({std::vector<uint8_t>(d, d + n), k, ts});
        });
    }
    void Feed(int w, int h, int first, int count) {
        for (int i = first; i < first + count; ++i) {
            auto img = Pattern(w, h, i);
            const size_t before = units.size();
            enc->Encode(img.data(), w, h, w * 4, 0);
            ASSERT_EQ(units.size(), before + 1) << "one access unit per frame, frame " << i;
        }
    }
    // Decodes every unit in order; each key frame also on its own.
    void CheckDecodes(int codec, int w, int h, size_t from = 0) {
        Decoder stream(codec);
        for (size_t i = from; i < units.size(); ++i) {
            ASSERT_TRUE(stream.Decode(units[i].bytes, w, h)) << "unit " << i;
            if (units[i].key) {
                Decoder alone(codec);
                ASSERT_TRUE(alone.Decode(units[i].bytes, w, h)) << "key unit " << i << " alone";
            }
        }
    }
};

void RunCodec(MfLibav& t, int codec, int w, int h, int frames) {
    t.enc->SetCodec(codec);
    t.enc->SetGopSize(5);
    ASSERT_TRUE(t.enc->Configure(w, h, 20'000'000, 30));
    EXPECT_NE(t.enc->Description().find("[SW, "), std::string::npos) << t.enc->Description();
    t.Feed(w, h, 0, frames);
    ASSERT_TRUE(t.units[0].key);
    EXPECT_TRUE(t.enc->HasEmittedKeyframe());
    EXPECT_EQ(t.units[1].ts, 33'333u);
    t.CheckDecodes(codec, w, h);
    Decoder d(codec);
    ASSERT_TRUE(d.Decode(t.units[0].bytes, w, h));
    EXPECT_NEAR(d.Luma(40, 40), 235, 12);  // inside the white box
    EXPECT_LT(d.Luma(200, 200), 200);
    // Frame 6 is a forced key frame (GOP 5).
    if (frames > 6) {
        EXPECT_TRUE(t.units[6].key);
    }
    if (frames > 3) {
        EXPECT_FALSE(t.units[3].key);
    }
}

TEST_F(MfLibav, H264At720pAnd1080p) {
    RunCodec(*this, kCodecH264, 1280, 720, 8);
    units.clear();
    RunCodec(*this, kCodecH264, 1920, 1080, 4);
}

TEST_F(MfLibav, HevcAt720pAnd1080p) {
    RunCodec(*this, kCodecHevc, 1280, 720, 8);
    EXPECT_NE(enc->Description().find("HEVC"), std::string::npos);
    units.clear();
    RunCodec(*this, kCodecHevc, 1920, 1080, 3);
}

TEST_F(MfLibav, GopOneAndKeyframeRequests) {
    enc->SetCodec(kCodecH264);
    enc->SetGopSize(1);
    ASSERT_TRUE(enc->Configure(640, 360, 4'000'000, 30));
    Feed(640, 360, 0, 4);
    for (auto& u : units) EXPECT_TRUE(u.key);
    CheckDecodes(kCodecH264, 640, 360);

    units.clear();
    enc->SetGopSize(600);  // re-runs Configure
    EXPECT_TRUE(enc->Ready());
    Feed(640, 360, 0, 4);
    EXPECT_TRUE(units[0].key);
    for (size_t i = 1; i < units.size(); ++i) EXPECT_FALSE(units[i].key) << i;
    enc->RequestKeyframe();
    Feed(640, 360, 4, 2);
    EXPECT_TRUE(units[4].key);
    EXPECT_FALSE(units[5].key);
    CheckDecodes(kCodecH264, 640, 360);
}

TEST_F(MfLibav, CodecSwitchAndLiveBitrate) {
    enc->SetCodec(kCodecH264);
    enc->SetGopSize(600);
    ASSERT_TRUE(enc->Configure(640, 360, 4'000'000, 30));
    Feed(640, 360, 0, 3);
    enc->SetBitrate(1'000'000);  // live
    Feed(640, 360, 3, 3);
    CheckDecodes(kCodecH264, 640, 360);

    units.clear();
    enc->SetCodec(kCodecHevc);
    ASSERT_TRUE(enc->Ready());
    EXPECT_NE(enc->Description().find("HEVC"), std::string::npos);
    Feed(640, 360, 0, 3);
    EXPECT_TRUE(units[0].key);
    EXPECT_EQ(units[0].ts, 0u);  // the frame clock restarts with Configure
    enc->SetBitrate(8'000'000);  // x265 reopens: a new key frame
    Feed(640, 360, 3, 3);
    CheckDecodes(kCodecHevc, 640, 360);

    units.clear();
    enc->SetCodec(kCodecH264);
    enc->SetRateControl(kRateControlQuality, 0.5f);
    Feed(640, 360, 0, 3);
    CheckDecodes(kCodecH264, 640, 360);
}

// A gradient under strong grain: far more detail than 150 Mbit/s carries at
// 30 fps, so the uncapped stream exceeds the frame-size cap.
std::vector<uint8_t> Grain(int w, int h, int n) {
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 4);
    uint32_t r = 2463534242u + static_cast<uint32_t>(n) * 7919u;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &img[(static_cast<size_t>(y) * w + x) * 4];
            for (int c = 0; c < 3; ++c) {
                r ^= r << 13, r ^= r >> 17, r ^= r << 5;
                const int v = (x * 255 / w + c * 60) % 256 + static_cast<int>(r % 121) - 60;
                p[c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
            p[3] = 255;
        }
    return img;
}

// The real libx264 and libx265 hold every frame to the cap, key frames of a long
// GOP included, and the stream says it is BT.709 limited range.
TEST_F(MfLibav, GrainyFramesStayUnderTheFrameSizeCap) {
    constexpr int w = 1280, h = 720;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 8; ++i) frames.push_back(Grain(w, h, i));
    auto largest = [&](MediaFoundationEncoder& e, int codec, int gop, int count) {
        units.clear();
        e.SetCodec(codec);
        e.SetGopSize(gop);
        EXPECT_TRUE(e.Configure(w, h, 150'000'000, 30));
        size_t most = 0;
        for (int i = 0; i < count; ++i) {
            const size_t before = units.size();
            e.Encode(frames[static_cast<size_t>(i)].data(), w, h, w * 4, 0);
            EXPECT_EQ(units.size(), before + 1);
        }
        for (auto& u : units) most = std::max(most, u.bytes.size());
        return most;
    };
    MediaFoundationEncoderOptions off;
    off.noFrameCapEnv = "1";
    MediaFoundationEncoder uncapped(std::move(off));
    uncapped.SetOutputCallback([this](const uint8_t* d, size_t n, bool k, uint64_t ts) {
        units.push_back({std::vector<uint8_t>(d, d + n), k, ts});
    });
    EXPECT_GT(largest(uncapped, kCodecH264, 1, 4), kDefaultFrameSizeCap);
    EXPECT_LE(largest(*enc, kCodecH264, 1, 8), kDefaultFrameSizeCap);
    EXPECT_LE(largest(*enc, kCodecH264, 600, 8), kDefaultFrameSizeCap);
    Decoder d(kCodecH264);
    ASSERT_TRUE(d.Decode(units[0].bytes, w, h));
    EXPECT_EQ(d.Frame().colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(d.Frame().color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(d.Frame().color_trc, AVCOL_TRC_BT709);
    EXPECT_EQ(d.Frame().color_range, AVCOL_RANGE_MPEG);
    EXPECT_LE(largest(*enc, kCodecHevc, 1, 4), kDefaultFrameSizeCap);
    Decoder hevc(kCodecHevc);
    ASSERT_TRUE(hevc.Decode(units[0].bytes, w, h));
    EXPECT_EQ(hevc.Frame().colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(hevc.Frame().color_range, AVCOL_RANGE_MPEG);
}

TEST_F(MfLibav, EmergencyCompressionMakesSmallFrames) {
    enc->SetCodec(kCodecH264);
    enc->SetGopSize(1);
    ASSERT_TRUE(enc->Configure(1280, 720, 20'000'000, 30));
    Feed(1280, 720, 0, 3);
    const size_t normal = units[2].bytes.size();
    enc->EmergencyCompress(3);
    Feed(1280, 720, 3, 4);
    EXPECT_TRUE(units[3].key);
    for (int i = 3; i < 6; ++i) EXPECT_LT(units[i].bytes.size() * 4, normal) << i << " " << normal;
    // After the emergency the quality comes back.
    EXPECT_GT(units[6].bytes.size() * 2, normal);
    CheckDecodes(kCodecH264, 1280, 720);
}

// libx265 refuses frames below 32 pixels a side at the stream's bit rate:
// Configure says so instead of reporting an encoder that fails every frame.
TEST_F(MfLibav, FramesBelowTheCodecsSmallestFailConfigure) {
    enc->SetCodec(kCodecHevc);
    EXPECT_FALSE(enc->Configure(16, 16, 150'000'000, 30));
    EXPECT_FALSE(enc->Ready());
    EXPECT_EQ(enc->Description(), "");
    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("BEGIN_STREAMING failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("Configure OK: 16x16"), std::string::npos);

    const int side = MinimumFrameSide(kCodecHevc);
    ASSERT_TRUE(enc->Configure(side, side, 150'000'000, 30));
    Feed(side, side, 0, 2);
    CheckDecodes(kCodecHevc, side, side);

    units.clear();
    enc->SetCodec(kCodecH264);
    ASSERT_TRUE(enc->Configure(MinimumFrameSide(kCodecH264), 16, 150'000'000, 30));
    Feed(16, 16, 0, 2);
    CheckDecodes(kCodecH264, 16, 16);
}

TEST_F(MfLibav, ResizedInputAndEngines) {
    enc->SetCodec(kCodecH264);
    ASSERT_TRUE(enc->Configure(640, 360, 4'000'000, 30));
    auto img = Pattern(1280, 720, 0);
    enc->Encode(img.data(), 1280, 720, 1280 * 4, 0);
    ASSERT_EQ(units.size(), 1u);
    CheckDecodes(kCodecH264, 640, 360);

    auto engines = EnumerateEngines();
    ASSERT_FALSE(engines.empty());
    EXPECT_EQ(engines.back().id, "software");
    auto e = CreateForEngine("NVIDIA");
    EXPECT_EQ(static_cast<MediaFoundationEncoder*>(e.get())->Engine(), "nvidia");
    e->SetCodec(kCodecH264);
    // No NVIDIA here: the relaxed second round still finds x264.
    EXPECT_TRUE(e->Configure(320, 240, 0, 30));
    EXPECT_EQ(static_cast<MediaFoundationEncoder*>(CreateDefaultEncoder().get())->Engine(), "auto");
}

// Every setting change reopens the encoder: a day of them must not add up. (libx265
// 3.5 without SAO kept about 100 KB of each 720p encoder it closed.) The heap also
// steps up now and then as libx265 fills its tables for each new QP, a cache
// with a ceiling: a leak is the heap rising at nearly every reopen.
TEST_F(MfLibav, ReopeningEncodersKeepsNoMemory) {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "measures glibc's heap, which a sanitizer replaces";
#else
    const auto inUse = [] {
        const struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    for (int codec : {kCodecHevc, kCodecH264}) {
        enc->SetCodec(codec);
        std::size_t last = 0;
        int rises = 0;
        for (int i = 0; i < 26; ++i) {
            ASSERT_TRUE(enc->Configure(1280, 720, 20'000'000 + (i % 2) * 1'000'000, 30));
            Feed(1280, 720, 0, 2);
            units.clear();
            const std::size_t now = inUse();
            if (i > 6 && now > last + 48 * 1024) ++rises;
            last = now;
        }
        EXPECT_LT(rises, 6) << "codec " << codec << ": the heap rose at " << rises << " of 19 reopens";
    }
#endif
}

}  // namespace
}  // namespace Veltrix
