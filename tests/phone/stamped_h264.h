// Real H.264 of the stamped test pattern from libx264, one access unit per
// picture, as the production encoder hands them to the packetizer.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <vector>

#include "testpattern/test_pattern.h"

namespace Veltrix::testing {

struct EncodedUnit {
    std::vector<std::uint8_t> bytes;
    bool keyFrame = false;
    PatternStamp stamp;
};

// Encodes `count` pictures of w x h, a key frame every `gop`; empty when libx264 is missing.
inline std::vector<EncodedUnit> EncodeStampedH264(int count, int w = 320, int h = 180, int gop = 10,
                                                  std::uint64_t firstPushUs = 1'000'000) {
    std::vector<EncodedUnit> units;
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* enc = avcodec_find_encoder_by_name("libx264");
    if (!enc) return units;
    AVCodecContext* e = avcodec_alloc_context3(enc);
    e->width = w;
    e->height = h;
    e->pix_fmt = AV_PIX_FMT_YUV420P;
    e->time_base = AVRational{1, 30};
    e->bit_rate = 1'500'000;
    e->gop_size = gop;
    e->max_b_frames = 0;
    e->thread_count = 1;
    av_opt_set(e->priv_data, "preset", "ultrafast", 0);
    av_opt_set(e->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(e, enc, nullptr) < 0) {
        avcodec_free_context(&e);
        return units;
    }
    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_YUV420P;
    in->width = w;
    in->height = h;
    av_frame_get_buffer(in, 0);
    AVPacket* pkt = av_packet_alloc();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
    std::vector<PatternStamp> pending;
    auto drain = [&] {
        while (avcodec_receive_packet(e, pkt) == 0) {
            EncodedUnit u;
            u.bytes.assign(pkt->data, pkt->data + pkt->size);
            u.keyFrame = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            u.stamp = pending[static_cast<std::size_t>(pkt->pts)];
            units.push_back(std::move(u));
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < count; ++i) {
        const PatternStamp stamp{firstPushUs + 33'333ull * static_cast<std::uint64_t>(i), static_cast<std::uint32_t>(i)};
        pending.push_back(stamp);
        DrawPattern(PatternKind::kMoving, bgra.data(), w, h, w * 4, stamp);
        av_frame_make_writable(in);
        // BT.709 limited-range luma; flat chroma is enough for the stamp.
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * w + x) * 4];
                in->data[0][y * in->linesize[0] + x] =
                    static_cast<std::uint8_t>(16 + (0.0722 * p[0] + 0.7152 * p[1] + 0.2126 * p[2]) * 219 / 255 + 0.5);
            }
        }
        for (int y = 0; y < h / 2; ++y) {
            for (int x = 0; x < w / 2; ++x) {
                in->data[1][y * in->linesize[1] + x] = 128;
                in->data[2][y * in->linesize[2] + x] = 128;
            }
        }
        in->pts = i;
        avcodec_send_frame(e, in);
        drain();
    }
    avcodec_send_frame(e, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&in);
    avcodec_free_context(&e);
    return units;
}

}  // namespace Veltrix::testing
