// libavcodec behind VideoDecoder: H.264 / HEVC decoding with no frame delay,
// and PNG writing through libswscale and libavcodec's PNG encoder.
#include "vx-phone/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <fstream>

namespace Veltrix::phone {
namespace {

bool IsEightBitYuv(int format) {
    switch (format) {
        case AV_PIX_FMT_YUV420P: case AV_PIX_FMT_YUVJ420P: case AV_PIX_FMT_YUV422P: case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUV444P: case AV_PIX_FMT_YUVJ444P: case AV_PIX_FMT_NV12: case AV_PIX_FMT_GRAY8:
            return true;
        default:
            return false;
    }
}

class LibavDecoder final : public VideoDecoder {
public:
    LibavDecoder(VideoCodec codec, AVCodecContext* ctx) : codec_(codec), ctx_(ctx) {
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~LibavDecoder() override {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }

    int Decode(const std::uint8_t* data, std::size_t size, std::int64_t tag,
               const std::function<void(const DecodedPicture&)>& onPicture) override {
        if (size == 0 || size > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return AVERROR(EINVAL);
        // The decoder may read past the end: hand it a padded copy.
        if (av_new_packet(packet_, static_cast<int>(size)) < 0) return AVERROR(ENOMEM);
        std::copy(data, data + size, packet_->data);
        packet_->pts = tag;
        int rc = avcodec_send_packet(ctx_, packet_);
        av_packet_unref(packet_);
        const int drained = Drain(onPicture);
        return rc < 0 ? rc : drained;
    }

    void Flush(const std::function<void(const DecodedPicture&)>& onPicture) override {
        avcodec_send_packet(ctx_, nullptr);
        Drain(onPicture);
    }

    VideoCodec codec() const override { return codec_; }

private:
    int Drain(const std::function<void(const DecodedPicture&)>& onPicture) {
        for (;;) {
            const int rc = avcodec_receive_frame(ctx_, frame_);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
            if (rc < 0) return rc;
            if (IsEightBitYuv(frame_->format)) {
                DecodedPicture p;
                p.width = frame_->width;
                p.height = frame_->height;
                p.luma = frame_->data[0];
                p.lumaStride = frame_->linesize[0];
                p.tag = frame_->pts;
                p.native = frame_;
                if (onPicture) onPicture(p);
            }
            av_frame_unref(frame_);
        }
    }

    VideoCodec codec_;
    AVCodecContext* ctx_;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

}  // namespace

std::string DecoderErrorText(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

std::unique_ptr<VideoDecoder> CreateVideoDecoder(VideoCodec codec, std::string* error) {
    const AVCodecID id = codec == VideoCodec::kHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    if (codec == VideoCodec::kUnknown) {
        if (error) *error = "unknown codec";
        return nullptr;
    }
    const AVCodec* dec = avcodec_find_decoder(id);
    if (!dec) {
        if (error) *error = std::string("no ") + VideoCodecName(codec) + " decoder in libavcodec";
        return nullptr;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    if (!ctx) {
        if (error) *error = "out of memory";
        return nullptr;
    }
    // Slice threads only: frame threads would hold pictures back.
    ctx->thread_count = 2;
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    const int rc = avcodec_open2(ctx, dec, nullptr);
    if (rc < 0) {
        if (error) *error = "cannot open the decoder: " + DecoderErrorText(rc);
        avcodec_free_context(&ctx);
        return nullptr;
    }
    return std::make_unique<LibavDecoder>(codec, ctx);
}

bool SavePng(const DecodedPicture& picture, const std::filesystem::path& path, std::string* error) {
    const auto* src = static_cast<const AVFrame*>(picture.native);
    if (!src) {
        if (error) *error = "no picture";
        return false;
    }
    const AVCodec* enc = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!enc) {
        if (error) *error = "no PNG encoder in libavcodec";
        return false;
    }
    bool ok = false;
    AVCodecContext* ctx = avcodec_alloc_context3(enc);
    AVFrame* rgb = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    SwsContext* sws = sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), src->width,
                                     src->height, AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                     nullptr, nullptr, nullptr);
    do {
        if (!ctx || !rgb || !pkt || !sws) {
            if (error) *error = "cannot set up the PNG conversion";
            break;
        }
        rgb->format = AV_PIX_FMT_RGB24;
        rgb->width = src->width;
        rgb->height = src->height;
        if (av_frame_get_buffer(rgb, 0) < 0) {
            if (error) *error = "out of memory";
            break;
        }
        // The matrix and range the stream signals; unsigned streams as BT.601
        // limited range, as most decoders assume.
        const int matrix = src->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : src->colorspace;
        const int fullRange = src->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(sws, sws_getCoefficients(matrix), fullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 0, 1 << 16, 1 << 16);
        sws_scale(sws, src->data, src->linesize, 0, src->height, rgb->data, rgb->linesize);
        ctx->width = src->width;
        ctx->height = src->height;
        ctx->pix_fmt = AV_PIX_FMT_RGB24;
        ctx->time_base = AVRational{1, 25};
        int rc = avcodec_open2(ctx, enc, nullptr);
        if (rc >= 0) rc = avcodec_send_frame(ctx, rgb);
        if (rc >= 0) rc = avcodec_receive_packet(ctx, pkt);
        if (rc < 0) {
            if (error) *error = "PNG encoding failed: " + DecoderErrorText(rc);
            break;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(pkt->data), pkt->size);
        out.close();
        if (!out) {
            if (error) *error = "cannot write " + path.string();
            break;
        }
        ok = true;
    } while (false);
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&rgb);
    avcodec_free_context(&ctx);
    return ok;
}

}  // namespace Veltrix::phone
