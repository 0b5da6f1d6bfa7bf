// A small video file written with libavformat/libavcodec for the --source
// tests: MPEG-4 video of the moving pattern, each frame marked by the grey
// level of its lower-right block (ClipMarkLevel), and optionally a 440 Hz
// tone as 16-bit PCM at 44.1 kHz mono, so the reader has to resample.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "testpattern/test_pattern.h"

namespace Veltrix::testing {

inline int ClipMarkLevel(int frame) { return 40 + (frame % 24) * 8; }

// audioFrames: the tone's length in video frames (-1: as long as the video).
inline bool WriteTestClip(const std::string& path, int w, int h, int fps, int frames, bool withAudio,
                          std::string* error, int audioFrames = -1) {
    if (audioFrames < 0) audioFrames = frames;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    AVFormatContext* fmt = nullptr;
    // The container by the file's name: .mkv, or .nut where time stamps must stay exact.
    if (avformat_alloc_output_context2(&fmt, nullptr, nullptr, path.c_str()) < 0) return fail("no muxer for " + path);
    const AVCodec* venc = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    const AVCodec* aenc = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    if (!venc || !aenc) return fail("no mpeg4 or pcm encoder");
    AVStream* vs = avformat_new_stream(fmt, nullptr);
    AVCodecContext* v = avcodec_alloc_context3(venc);
    v->width = w;
    v->height = h;
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->time_base = AVRational{1, fps};
    v->framerate = AVRational{fps, 1};
    v->gop_size = 12;
    v->flags |= AV_CODEC_FLAG_QSCALE;
    v->global_quality = FF_QP2LAMBDA * 2;
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(v, venc, nullptr) < 0) return fail("cannot open mpeg4");
    avcodec_parameters_from_context(vs->codecpar, v);
    vs->time_base = v->time_base;
    AVStream* as = nullptr;
    AVCodecContext* a = nullptr;
    if (withAudio) {
        as = avformat_new_stream(fmt, nullptr);
        a = avcodec_alloc_context3(aenc);
        a->sample_rate = 44100;
        a->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&a->ch_layout, 1);
        a->time_base = AVRational{1, 44100};
        if (avcodec_open2(a, aenc, nullptr) < 0) return fail("cannot open pcm");
        avcodec_parameters_from_context(as->codecpar, a);
        as->time_base = a->time_base;
    }
    if (avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return fail("cannot write " + path);
    if (avformat_write_header(fmt, nullptr) < 0) return fail("cannot write the header");
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&](AVCodecContext* c, AVStream* s) {
        while (avcodec_receive_packet(c, pkt) == 0) {
            av_packet_rescale_ts(pkt, c->time_base, s->time_base);
            pkt->stream_index = s->index;
            av_interleaved_write_frame(fmt, pkt);
        }
    };
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    const int samplesPerFrame = 44100 / fps;
    AVFrame* af = nullptr;
    if (a) {
        af = av_frame_alloc();
        af->format = AV_SAMPLE_FMT_S16;
        af->sample_rate = 44100;
        av_channel_layout_default(&af->ch_layout, 1);
        af->nb_samples = samplesPerFrame;
        av_frame_get_buffer(af, 0);
    }
    for (int i = 0; i < std::max(frames, audioFrames); ++i) {
        if (i < frames) {
            DrawPattern(PatternKind::kMoving, bgra.data(), w, h, w * 4, PatternStamp{0, static_cast<std::uint32_t>(i)});
            const int level = ClipMarkLevel(i);
            for (int y = h * 3 / 4; y < h; ++y) {
                for (int x = w * 3 / 4; x < w; ++x) {
                    std::uint8_t* p = bgra.data() + (static_cast<std::size_t>(y) * w + x) * 4;
                    p[0] = p[1] = p[2] = static_cast<std::uint8_t>(level);
                }
            }
            av_frame_make_writable(f);
            const std::uint8_t* src[1] = {bgra.data()};
            const int srcStride[1] = {w * 4};
            sws_scale(sws, src, srcStride, 0, h, f->data, f->linesize);
            f->pts = i;
            avcodec_send_frame(v, f);
            drain(v, vs);
        }
        if (a && i < audioFrames) {
            av_frame_make_writable(af);
            auto* s = reinterpret_cast<std::int16_t*>(af->data[0]);
            for (int k = 0; k < samplesPerFrame; ++k) {
                const double t = static_cast<double>(i * samplesPerFrame + k) / 44100.0;
                s[k] = static_cast<std::int16_t>(16000 * std::sin(2 * 3.14159265358979 * 440 * t));
            }
            af->pts = static_cast<std::int64_t>(i) * samplesPerFrame;
            avcodec_send_frame(a, af);
            drain(a, as);
        }
    }
    avcodec_send_frame(v, nullptr);
    drain(v, vs);
    if (a) {
        avcodec_send_frame(a, nullptr);
        drain(a, as);
    }
    av_write_trailer(fmt);
    avio_closep(&fmt->pb);
    av_frame_free(&f);
    av_frame_free(&af);
    av_packet_free(&pkt);
    sws_freeContext(sws);
    avcodec_free_context(&v);
    avcodec_free_context(&a);
    avformat_free_context(fmt);
    return true;
}

}  // namespace Veltrix::testing
