// The I_PCM writer's stream through libavcodec's decoder: every picture comes
// back equal to the NV12 it was made from, key frame or not, cropped or not.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <random>

#include "h264_pcm_writer.h"

namespace {

using Veltrix::testing::H264PcmWriter;

std::vector<uint8_t> RandomNv12(int w, int h, std::mt19937& rng) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
    // Zero runs too, so emulation prevention has work to do.
    for (auto& b : p) b = rng() % 4 == 0 ? 0 : static_cast<uint8_t>(rng());
    return p;
}

TEST(H264PcmWriter, DecodesToTheSamePictures) {
    for (auto [w, h] : {std::pair{64, 48}, std::pair{320, 180}, std::pair{50, 30}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        ASSERT_NE(codec, nullptr);
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        H264PcmWriter writer(w, h);
        std::mt19937 rng(7);
        for (int i = 0; i < 6; ++i) {
            const auto nv12 = RandomNv12(w, h, rng);
            auto bytes = writer.Encode(nv12.data(), static_cast<size_t>(w), i % 3 == 0);
            pkt->data = bytes.data();
            pkt->size = static_cast<int>(bytes.size());
            ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
            ASSERT_EQ(avcodec_receive_frame(ctx, frame), 0) << "picture " << i;
            ASSERT_EQ(frame->width, w);
            ASSERT_EQ(frame->height, h);
            ASSERT_EQ(frame->format, AV_PIX_FMT_YUV420P);
            const uint8_t* uv = nv12.data() + static_cast<size_t>(w) * h;
            for (int y = 0; y < h; ++y)
                ASSERT_EQ(0, memcmp(frame->data[0] + y * frame->linesize[0], nv12.data() + y * w, w)) << "row " << y;
            for (int y = 0; y < h / 2; ++y)
                for (int x = 0; x < w / 2; ++x) {
                    ASSERT_EQ(frame->data[1][y * frame->linesize[1] + x], uv[y * w + 2 * x]);
                    ASSERT_EQ(frame->data[2][y * frame->linesize[2] + x], uv[y * w + 2 * x + 1]);
                }
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
}

}  // namespace
