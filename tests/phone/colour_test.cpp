// Colour through the whole road: the colour-bar pattern, the production
// encoder (libx264/libx265 through libavcodec), vx-phone's decoder and its PNG.
// The stream says BT.709 limited range and the phone converts with that, so the
// bars come back as they were drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "encoder/media_foundation_encoder.h"
#include "testpattern/test_pattern.h"
#include "tests/testing/test_env.h"
#include "vx-phone/video_decoder.h"

namespace Veltrix {
namespace {

// RGB24 pixels of a PNG file, decoded by libavcodec.
std::vector<uint8_t> ReadPng(const std::filesystem::path& path, int* w, int* h) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const AVCodec* c = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(c);
    std::vector<uint8_t> rgb;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    if (avcodec_open2(ctx, c, nullptr) == 0 && av_new_packet(pkt, static_cast<int>(file.size())) == 0) {
        std::copy(file.begin(), file.end(), pkt->data);
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, f) == 0 && f->format == AV_PIX_FMT_RGB24) {
            *w = f->width;
            *h = f->height;
            for (int y = 0; y < f->height; ++y)
                rgb.insert(rgb.end(), f->data[0] + y * f->linesize[0], f->data[0] + y * f->linesize[0] + f->width * 3);
        }
    }
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return rgb;
}

// Largest difference of any channel at the middle of each of the eight bars.
int WorstBarError(int codec, int encodeW, int encodeH, const std::filesystem::path& png) {
    constexpr int srcW = 1280, srcH = 720;
    std::vector<uint8_t> bgra(static_cast<size_t>(srcW) * srcH * 4);
    DrawPattern(PatternKind::kStatic, bgra.data(), srcW, srcH, srcW * 4, PatternStamp{});
    MediaFoundationEncoder enc;
    std::vector<uint8_t> unit;
    enc.SetOutputCallback([&](const uint8_t* d, size_t n, bool, uint64_t) { unit.assign(d, d + n); });
    enc.SetCodec(codec);
    enc.SetGopSize(1);
    if (!enc.Configure(encodeW, encodeH, 20'000'000, 30)) return 1000;
    enc.Encode(bgra.data(), srcW, srcH, srcW * 4, 0);  // scaled when the encoder is smaller
    std::string error;
    auto dec = phone::CreateVideoDecoder(codec == kCodecH264 ? phone::VideoCodec::kH264 : phone::VideoCodec::kHevc,
                                         &error);
    if (!dec || unit.empty()) return 1000;
    bool saved = false;
    dec->Decode(unit.data(), unit.size(), 0, [&](const phone::DecodedPicture& p) { saved = phone::SavePng(p, png, &error); });
    dec->Flush([&](const phone::DecodedPicture& p) { saved = saved || phone::SavePng(p, png, &error); });
    if (!saved) return 1000;
    int w = 0, h = 0;
    const auto rgb = ReadPng(png, &w, &h);
    if (w != encodeW || h != encodeH) return 1000;
    int worst = 0;
    for (int bar = 0; bar < 8; ++bar) {
        const int sx = srcW / 8 * bar + srcW / 16, sy = srcH * 3 / 8;
        const int dx = sx * encodeW / srcW, dy = sy * encodeH / srcH;
        const uint8_t* s = &bgra[(static_cast<size_t>(sy) * srcW + sx) * 4];
        const uint8_t* d = &rgb[(static_cast<size_t>(dy) * w + dx) * 3];
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int{d[c]} - int{s[2 - c]}));
    }
    return worst;
}

TEST(PhoneColour, BarsComeBackAsDrawnAtBothSizes) {
    testing::ScopedTestDirs dirs;
    const auto png = dirs.root() / "bars.png";
    // Measured: at most 2 levels (8-bit rounding in two conversions and the encoder's
    // quantiser); an unsignalled stream read as BT.601 was up to 30 off.
    constexpr int kTolerance = 3;
    for (auto [codec, w, h] : {std::tuple{kCodecH264, 1280, 720}, {kCodecH264, 640, 360}, {kCodecHevc, 1280, 720},
                               {kCodecHevc, 640, 360}}) {
        const int worst = WorstBarError(codec, w, h, png);
        EXPECT_LE(worst, kTolerance) << (codec == kCodecH264 ? "H.264 " : "HEVC ") << w << "x" << h;
        std::printf("bars %s %dx%d: largest error %d levels\n", codec == kCodecH264 ? "H.264" : "HEVC", w, h, worst);
    }
}

}  // namespace
}  // namespace Veltrix
