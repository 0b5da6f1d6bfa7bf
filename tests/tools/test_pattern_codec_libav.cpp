// The stamp through a real H.264 encoder and decoder at a modest bitrate:
// what a phone decodes must still give back the exact push time.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <vector>

#include "testpattern/test_pattern.h"

namespace Veltrix {
namespace {

// BT.709 limited-range luma and 4:2:0 chroma from BGRA.
void BgraToYuv420(const std::vector<std::uint8_t>& bgra, int w, int h, AVFrame* f) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* p = &bgra[(y * w + x) * 4];
            f->data[0][y * f->linesize[0] + x] =
                static_cast<std::uint8_t>(16 + (0.0722 * p[0] + 0.7152 * p[1] + 0.2126 * p[2]) * 219 / 255 + 0.5);
        }
    }
    for (int y = 0; y < h / 2; ++y) {
        for (int x = 0; x < w / 2; ++x) {
            const std::uint8_t* p = &bgra[(2 * y * w + 2 * x) * 4];
            const double b = p[0], g = p[1], r = p[2];
            f->data[1][y * f->linesize[1] + x] = static_cast<std::uint8_t>(128 + (-0.1146 * r - 0.3854 * g + 0.5 * b) * 224 / 255);
            f->data[2][y * f->linesize[2] + x] = static_cast<std::uint8_t>(128 + (0.5 * r - 0.4542 * g - 0.0458 * b) * 224 / 255);
        }
    }
}

TEST(TestPatternCodec, StampSurvivesH264AtTwoMegabits) {
    const AVCodec* enc = avcodec_find_encoder_by_name("libx264");
    const AVCodec* dec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!enc || !dec) GTEST_SKIP() << "no libx264 or H.264 decoder";
    const int w = 640, h = 360;
    AVCodecContext* e = avcodec_alloc_context3(enc);
    e->width = w;
    e->height = h;
    e->pix_fmt = AV_PIX_FMT_YUV420P;
    e->time_base = AVRational{1, 30};
    e->bit_rate = 2'000'000;
    e->gop_size = 30;
    e->max_b_frames = 0;
    av_opt_set(e->priv_data, "preset", "ultrafast", 0);
    av_opt_set(e->priv_data, "tune", "zerolatency", 0);
    ASSERT_EQ(avcodec_open2(e, enc, nullptr), 0);
    AVCodecContext* d = avcodec_alloc_context3(dec);
    ASSERT_EQ(avcodec_open2(d, dec, nullptr), 0);

    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_YUV420P;
    in->width = w;
    in->height = h;
    ASSERT_EQ(av_frame_get_buffer(in, 0), 0);
    AVFrame* out = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
    std::vector<PatternStamp> sent;
    std::vector<PatternStamp> read;
    int decoded = 0;
    auto drainDecoder = [&] {
        while (avcodec_receive_frame(d, out) == 0) {
            ++decoded;
            auto s = ReadStampLuma(out->data[0], out->width, out->height, out->linesize[0]);
            if (s) read.push_back(*s);
        }
    };
    auto drainEncoder = [&] {
        while (avcodec_receive_packet(e, pkt) == 0) {
            ASSERT_EQ(avcodec_send_packet(d, pkt), 0);
            av_packet_unref(pkt);
            drainDecoder();
        }
    };
    for (int i = 0; i < 45; ++i) {
        const PatternStamp stamp{1'765'000'000'000'000ull + 33'333ull * i + (i * 7919ull), static_cast<std::uint32_t>(i)};
        sent.push_back(stamp);
        DrawPattern(PatternKind::kMoving, bgra.data(), w, h, w * 4, stamp);
        ASSERT_EQ(av_frame_make_writable(in), 0);
        BgraToYuv420(bgra, w, h, in);
        in->pts = i;
        ASSERT_EQ(avcodec_send_frame(e, in), 0);
        drainEncoder();
    }
    avcodec_send_frame(e, nullptr);
    drainEncoder();
    avcodec_send_packet(d, nullptr);
    drainDecoder();

    EXPECT_EQ(decoded, 45);
    EXPECT_EQ(read, sent);  // every picture, exactly, in order

    av_packet_free(&pkt);
    av_frame_free(&out);
    av_frame_free(&in);
    avcodec_free_context(&d);
    avcodec_free_context(&e);
}

}  // namespace
}  // namespace Veltrix
