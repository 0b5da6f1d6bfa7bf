// Linux back end of the media-platform seam over libavcodec.
//
// libx264 and libx265 appear as software synchronous transforms without a
// vendor id; NVENC appears as a hardware synchronous transform (vendor 10DE)
// only when it actually opens here. The transforms behave as a synchronous
// Media Foundation encoder does: one access unit out per frame in, the
// sequence header as an avcC/hvcC record on the output type, a stream change
// when the parameter sets change, and the codec properties mapped onto the
// encoder's own rate control.
#include "encoder/media_platform.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace Veltrix::media {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;  // sample times are 100 ns units

// --- parameter sets -> decoder configuration records ---

struct Nal {
    const uint8_t* data;
    size_t size;
};

std::vector<Nal> SplitAnnexB(const uint8_t* p, size_t n) {
    std::vector<Nal> out;
    size_t i = 0, start = SIZE_MAX;
    while (i + 3 <= n) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && p[end - 1] == 0) --end;  // 4-byte start code's leading zero
                out.push_back({p + start, end - start});
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < n) out.push_back({p + start, n - start});
    return out;
}

void PutBe16(std::vector<uint8_t>& v, size_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

std::vector<uint8_t> BuildAvcC(const std::vector<Nal>& nals) {
    std::vector<Nal> sps, pps;
    for (auto& n : nals) {
        if (n.size == 0) continue;
        int type = n.data[0] & 0x1F;
        if (type == 7) sps.push_back(n);
        if (type == 8) pps.push_back(n);
    }
    if (sps.empty() || sps[0].size < 4) return {};
    std::vector<uint8_t> r = {1, sps[0].data[1], sps[0].data[2], sps[0].data[3], 0xFF,
                              static_cast<uint8_t>(0xE0 | std::min<size_t>(sps.size(), 31))};
    for (size_t i = 0; i < sps.size() && i < 31; ++i) {
        PutBe16(r, sps[i].size);
        r.insert(r.end(), sps[i].data, sps[i].data + sps[i].size);
    }
    r.push_back(static_cast<uint8_t>(std::min<size_t>(pps.size(), 255)));
    for (size_t i = 0; i < pps.size() && i < 255; ++i) {
        PutBe16(r, pps[i].size);
        r.insert(r.end(), pps[i].data, pps[i].data + pps[i].size);
    }
    if (sps[0].data[1] >= 100) {  // High profiles carry chroma format and bit depths
        r.insert(r.end(), {0xFD, 0xF8, 0xF8, 0x00});
    }
    return r;
}

std::vector<uint8_t> BuildHvcC(const std::vector<Nal>& nals) {
    std::vector<Nal> groups[3];  // VPS, SPS, PPS
    for (auto& n : nals) {
        if (n.size < 2) continue;
        int type = (n.data[0] >> 1) & 0x3F;
        if (type >= 32 && type <= 34) groups[type - 32].push_back(n);
    }
    if (groups[1].empty()) return {};
    // profile_tier_level of the SPS, emulation prevention removed.
    std::vector<uint8_t> rbsp;
    const Nal& sps = groups[1][0];
    for (size_t i = 2; i < sps.size && rbsp.size() < 16; ++i) {
        if (i >= 4 && sps.data[i] == 3 && sps.data[i - 1] == 0 && sps.data[i - 2] == 0) continue;
        rbsp.push_back(sps.data[i]);
    }
    rbsp.resize(16, 0);
    std::vector<uint8_t> r;
    r.push_back(1);
    r.insert(r.end(), rbsp.begin() + 1, rbsp.begin() + 13);  // space/tier/idc, compat 4, constraints 6, level
    r.insert(r.end(), {0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F});
    uint8_t arrays = 0;
    for (auto& g : groups) arrays += g.empty() ? 0 : 1;
    r.push_back(arrays);
    for (int k = 0; k < 3; ++k) {
        if (groups[k].empty()) continue;
        r.push_back(static_cast<uint8_t>(0x80 | (32 + k)));
        PutBe16(r, groups[k].size());
        for (auto& n : groups[k]) {
            PutBe16(r, n.size);
            r.insert(r.end(), n.data, n.data + n.size);
        }
    }
    return r;
}

// --- the encoders this back end knows ---

struct EncoderKind {
    const char* codecName;
    const char* friendlyName;
    Subtype output;
    const char* vendorId;  // null: software
    AVPixelFormat pixFmt;
};

const EncoderKind kSoftware[] = {
    {"libx264", "x264 H.264 Encoder (libavcodec)", Subtype::H264, nullptr, AV_PIX_FMT_NV12},
    {"libx265", "x265 HEVC Encoder (libavcodec)", Subtype::Hevc, nullptr, AV_PIX_FMT_YUV420P},
};
const EncoderKind kHardware[] = {
    {"h264_nvenc", "NVIDIA H.264 Encoder NVENC (libavcodec)", Subtype::H264, "VEN_10DE", AV_PIX_FMT_NV12},
    {"hevc_nvenc", "NVIDIA HEVC Encoder NVENC (libavcodec)", Subtype::Hevc, "VEN_10DE", AV_PIX_FMT_NV12},
};

void QuietLibav() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// A hardware encoder is listed only when it opens on this machine.
bool HardwareOpens(const EncoderKind& kind) {
    const AVCodec* codec = avcodec_find_encoder_by_name(kind.codecName);
    if (!codec) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return false;
    ctx->width = 256;
    ctx->height = 256;
    ctx->time_base = {1, 30};
    ctx->framerate = {30, 1};
    ctx->pix_fmt = kind.pixFmt;
    ctx->bit_rate = 1'000'000;
    bool ok = avcodec_open2(ctx, codec, nullptr) == 0;
    avcodec_free_context(&ctx);
    return ok;
}

const std::vector<const EncoderKind*>& AvailableHardware() {
    static std::once_flag once;
    static std::vector<const EncoderKind*> list;
    std::call_once(once, [] {
        QuietLibav();
        // A missing driver is the normal case here; keep its complaint out of stderr.
        av_log_set_level(AV_LOG_QUIET);
        for (auto& k : kHardware)
            if (HardwareOpens(k)) list.push_back(&k);
        av_log_set_level(AV_LOG_ERROR);
    });
    return list;
}

// --- the transform ---

struct Properties {
    bool lowLatency = false;
    bool realTime = false;
    uint32_t rcMode = kRateControlModeCbr;
    uint32_t mean = 0;
    uint32_t max = 0;
    uint32_t quality = 75;
    uint32_t gop = 1;
    int qpOverride = -1;  // EncodeQp until the rate-control mode is set again
};

struct Packet {
    std::vector<uint8_t> bytes;
    int64_t pts;
    bool key;
};

class LibavTransform;

class LibavCodecApi final : public CodecApi {
public:
    explicit LibavCodecApi(LibavTransform& t) : t_(t) {}
    HResult SetValue(CodecProperty property, uint32_t value) override;

private:
    LibavTransform& t_;
};

class LibavTransform final : public Transform {
public:
    explicit LibavTransform(const EncoderKind& kind) : kind_(kind), api_(*this) {}
    ~LibavTransform() override { Close(); }

    HResult GetAttributes(TransformAttributes* out) override {
        if (!out) return kE_POINTER;
        *out = {};
        return kS_OK;
    }
    HResult SetAsyncUnlock() override { return kE_NOTIMPL; }

    HResult ProcessMessage(TransformMessage message, DeviceManager*) override {
        switch (message) {
            case TransformMessage::SetD3DManager:
                return kE_NOTIMPL;
            case TransformMessage::CommandFlush:
                packets_.clear();
                return kS_OK;
            case TransformMessage::NotifyBeginStreaming:
                return typesSet() ? EnsureOpen() : kMF_E_TRANSFORM_TYPE_NOT_SET;
            default:
                return kS_OK;
        }
    }

    HResult SetOutputType(int stream, const MediaType& type) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!type.video || type.subtype != kind_.output || type.width < 16 || type.height < 16 ||
            type.fpsNum == 0 || type.fpsDen == 0 || (type.width & 1) || (type.height & 1))
            return kMF_E_INVALIDMEDIATYPE;
        bool same = haveOutput_ && type.width == out_.width && type.height == out_.height &&
                    type.fpsNum == out_.fpsNum && type.fpsDen == out_.fpsDen;
        if (!same) {
            Close();
            haveInput_ = false;
            header_.clear();
        }
        std::vector<uint8_t> header = header_;
        out_ = type;
        out_.sequenceHeader = std::move(header);
        if (!same && type.avgBitrate && !props_.mean) props_.mean = type.avgBitrate;
        haveOutput_ = true;
        return kS_OK;
    }

    HResult GetInputAvailableType(int stream, uint32_t index, MediaType* out) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!out) return kE_POINTER;
        if (!haveOutput_) return kMF_E_TRANSFORM_TYPE_NOT_SET;
        if (index > 0) return kMF_E_NO_MORE_TYPES;
        *out = MediaType{};
        out->subtype = Subtype::Nv12;
        out->width = out_.width;
        out->height = out_.height;
        out->fpsNum = out_.fpsNum;
        out->fpsDen = out_.fpsDen;
        return kS_OK;
    }

    HResult SetInputType(int stream, const MediaType& type) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!haveOutput_) return kMF_E_TRANSFORM_TYPE_NOT_SET;
        if (!type.video || type.subtype != Subtype::Nv12 || type.width != out_.width ||
            type.height != out_.height)
            return kMF_E_INVALIDMEDIATYPE;
        haveInput_ = true;
        return kS_OK;
    }

    HResult GetOutputCurrentType(int stream, MediaType* out) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!out) return kE_POINTER;
        if (!haveOutput_) return kMF_E_TRANSFORM_TYPE_NOT_SET;
        if (typesSet()) {
            HResult hr = EnsureOpen();
            if (Failed(hr)) return hr;
        }
        *out = out_;
        return kS_OK;
    }

    HResult GetOutputAvailableType(int stream, uint32_t index, MediaType* out) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!out) return kE_POINTER;
        if (!haveOutput_) return kMF_E_TRANSFORM_TYPE_NOT_SET;
        if (index > 0) return kMF_E_NO_MORE_TYPES;
        *out = out_;
        return kS_OK;
    }

    CodecApi* GetCodecApi() override { return &api_; }

    HResult GetOutputStreamInfo(int stream, OutputStreamInfo* out) override {
        if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
        if (!out) return kE_POINTER;
        out->providesSamples = true;
        out->sampleSize = 0;
        return kS_OK;
    }

    HResult ProcessInput(int stream, Sample& sample) override;
    HResult ProcessOutput(int stream, std::shared_ptr<Sample>* sample) override;

    // Called by the codec API.
    HResult SetProperty(CodecProperty property, uint32_t value);

private:
    bool typesSet() const { return haveOutput_ && haveInput_; }
    HResult EnsureOpen();
    HResult Open();
    void Close();
    void ApplyRateControl(AVCodecContext* ctx);
    void MarkReopen() {
        if (ctx_) reopen_ = true;
    }

    const EncoderKind& kind_;
    LibavCodecApi api_;
    MediaType out_;
    bool haveOutput_ = false;
    bool haveInput_ = false;
    Properties props_;
    std::vector<uint8_t> header_;
    bool streamChange_ = false;
    bool forceKey_ = false;
    bool reopen_ = false;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* wrap_ = nullptr;  // NV12 input referenced in place
    AVPacket* pkt_ = nullptr;
    std::deque<Packet> packets_;
};

HResult LibavCodecApi::SetValue(CodecProperty property, uint32_t value) { return t_.SetProperty(property, value); }

HResult LibavTransform::SetProperty(CodecProperty property, uint32_t value) {
    Properties& p = props_;
    const bool inPlace = ctx_ && std::strcmp(kind_.codecName, "libx264") == 0 && p.qpOverride < 0;
    switch (property) {
        case CodecProperty::LowLatencyMode:
            if (p.lowLatency != (value != 0)) MarkReopen();
            p.lowLatency = value != 0;
            return kS_OK;
        case CodecProperty::RealTime:
            if (p.realTime != (value != 0)) MarkReopen();
            p.realTime = value != 0;
            return kS_OK;
        case CodecProperty::RateControlMode:
            if (value != kRateControlModeCbr && value != kRateControlModePeakConstrainedVbr &&
                value != kRateControlModeQuality)
                return kE_INVALIDARG;
            if (p.rcMode != value || p.qpOverride >= 0) MarkReopen();
            p.rcMode = value;
            p.qpOverride = -1;
            return kS_OK;
        case CodecProperty::MeanBitRate:
        case CodecProperty::MaxBitRate: {
            uint32_t& field = property == CodecProperty::MeanBitRate ? p.mean : p.max;
            if (field == value) return kS_OK;
            field = value;
            if (inPlace) {
                // libx264 reconfigures its rate control from these on the next frame.
                ApplyRateControl(ctx_);
            } else {
                MarkReopen();
            }
            return kS_OK;
        }
        case CodecProperty::Quality:
            if (value > 100) return kE_INVALIDARG;
            if (p.quality == value) return kS_OK;
            p.quality = value;
            if (p.rcMode == kRateControlModeQuality) {
                if (inPlace)
                    ApplyRateControl(ctx_);
                else
                    MarkReopen();
            }
            return kS_OK;
        case CodecProperty::GopSize:
            if (p.gop != std::max<uint32_t>(value, 1)) MarkReopen();
            p.gop = std::max<uint32_t>(value, 1);
            return kS_OK;
        case CodecProperty::BPictureCount:
            return value == 0 ? kS_OK : kE_INVALIDARG;  // B-frames would delay output
        case CodecProperty::ForceKeyFrame:
            forceKey_ = value != 0;
            return kS_OK;
        case CodecProperty::EncodeQp: {
            int qp = static_cast<int>(std::min<uint32_t>(value, 51));
            if (p.qpOverride != qp) MarkReopen();
            p.qpOverride = qp;
            return kS_OK;
        }
    }
    return kE_INVALIDARG;
}

void LibavTransform::ApplyRateControl(AVCodecContext* ctx) {
    const Properties& p = props_;
    const int fps = std::max<int>(1, static_cast<int>(out_.fpsNum / std::max<uint32_t>(out_.fpsDen, 1)));
    const bool nvenc = std::strstr(kind_.codecName, "nvenc") != nullptr;
    void* priv = ctx->priv_data;
    const uint32_t mean = p.mean ? p.mean : out_.avgBitrate;
    const uint32_t max = std::max(p.max, mean);
    if (p.qpOverride >= 0) {
        ctx->bit_rate = 0;
        ctx->rc_max_rate = 0;
        ctx->rc_buffer_size = 0;
        if (nvenc) av_opt_set(priv, "rc", "constqp", 0);
        av_opt_set_int(priv, "qp", p.qpOverride, 0);
        ctx->qmin = ctx->qmax = p.qpOverride;
        return;
    }
    if (p.rcMode == kRateControlModeQuality) {
        // Quality 0..100 onto the constant-quality factor 51..11; the max rate caps peaks.
        const double crf = 51.0 - 0.4 * p.quality;
        ctx->bit_rate = 0;
        if (nvenc) {
            av_opt_set(priv, "rc", "vbr", 0);
            av_opt_set_double(priv, "cq", crf, 0);
        } else {
            av_opt_set_double(priv, "crf", crf, 0);
        }
        ctx->rc_max_rate = max;
        ctx->rc_buffer_size = static_cast<int>(max);
        return;
    }
    ctx->bit_rate = mean;
    if (p.rcMode == kRateControlModeCbr) {
        // Constant bitrate with a one-frame buffer: no frame much above its share.
        ctx->rc_max_rate = mean;
        ctx->rc_buffer_size = static_cast<int>(mean / static_cast<uint32_t>(fps));
        if (nvenc) av_opt_set(priv, "rc", "cbr", 0);
    } else {
        ctx->rc_max_rate = max;
        ctx->rc_buffer_size = static_cast<int>(max);
        if (nvenc) av_opt_set(priv, "rc", "vbr", 0);
    }
}

HResult LibavTransform::EnsureOpen() {
    if (ctx_ && !reopen_) return kS_OK;
    return Open();
}

void LibavTransform::Close() {
    avcodec_free_context(&ctx_);
    av_frame_free(&frame_);
    av_frame_free(&wrap_);
    av_packet_free(&pkt_);
    reopen_ = false;
}

HResult LibavTransform::Open() {
    Close();
    QuietLibav();
    const AVCodec* codec = avcodec_find_encoder_by_name(kind_.codecName);
    if (!codec) return kE_FAIL;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return kE_OUTOFMEMORY;
    const Properties& p = props_;
    const bool nvenc = std::strstr(kind_.codecName, "nvenc") != nullptr;
    const bool x265 = std::strcmp(kind_.codecName, "libx265") == 0;
    ctx->width = static_cast<int>(out_.width);
    ctx->height = static_cast<int>(out_.height);
    ctx->pix_fmt = kind_.pixFmt;
    ctx->time_base = {1, static_cast<int>(kTicksPerSecond)};
    ctx->framerate = {static_cast<int>(out_.fpsNum), static_cast<int>(std::max<uint32_t>(out_.fpsDen, 1))};
    ctx->gop_size = static_cast<int>(p.gop);
    ctx->max_b_frames = 0;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->thread_count = 2;
    void* priv = ctx->priv_data;
    if (nvenc) {
        av_opt_set(priv, "preset", p.realTime ? "p1" : "p4", 0);
        if (p.lowLatency) {
            av_opt_set(priv, "tune", "ull", 0);
            av_opt_set_int(priv, "zerolatency", 1, 0);
            av_opt_set_int(priv, "delay", 0, 0);
        }
        av_opt_set_int(priv, "forced-idr", 1, 0);
    } else {
        av_opt_set(priv, "preset", p.realTime ? "ultrafast" : "veryfast", 0);
        if (p.lowLatency) av_opt_set(priv, "tune", "zerolatency", 0);
        av_opt_set_int(priv, "forced-idr", 1, 0);
        av_opt_set(priv, "profile", x265 ? "main" : "high", 0);
        if (x265) av_opt_set(priv, "x265-params", "log-level=error:frame-threads=1", 0);
    }
    ApplyRateControl(ctx);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return kE_FAIL;
    }
    ctx_ = ctx;
    frame_ = av_frame_alloc();
    wrap_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !wrap_ || !pkt_) {
        Close();
        return kE_OUTOFMEMORY;
    }
    frame_->format = ctx->pix_fmt;
    frame_->width = ctx->width;
    frame_->height = ctx->height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
        Close();
        return kE_OUTOFMEMORY;
    }
    std::vector<uint8_t> header;
    if (ctx->extradata && ctx->extradata_size > 0) {
        auto nals = SplitAnnexB(ctx->extradata, static_cast<size_t>(ctx->extradata_size));
        header = kind_.output == Subtype::H264 ? BuildAvcC(nals) : BuildHvcC(nals);
    }
    if (!header_.empty() && header != header_) streamChange_ = true;
    header_ = header;
    out_.sequenceHeader = header_;
    return kS_OK;
}

HResult LibavTransform::ProcessInput(int stream, Sample& sample) {
    if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
    if (!typesSet()) return kMF_E_TRANSFORM_TYPE_NOT_SET;
    if (!packets_.empty() || streamChange_) return kMF_E_NOTACCEPTING;
    HResult hr = EnsureOpen();
    if (Failed(hr)) return hr;
    std::shared_ptr<MediaBuffer> buffer;
    hr = sample.ConvertToContiguousBuffer(&buffer);
    if (Failed(hr)) return hr;
    uint8_t* data = nullptr;
    size_t length = 0;
    hr = buffer->Lock(&data, nullptr, &length);
    if (Failed(hr)) return hr;
    const size_t w = out_.width, h = out_.height;
    if (length < w * h * 3 / 2) {
        buffer->Unlock();
        return kE_INVALIDARG;
    }
    AVFrame* frame = frame_;
    if (kind_.pixFmt == AV_PIX_FMT_NV12) {
        // The sample already holds NV12: hand libavcodec a reference to it
        // instead of copying. The encoder has no frame delay and copies the
        // picture before it returns, so the memory is free again afterwards.
        av_frame_unref(wrap_);
        wrap_->format = AV_PIX_FMT_NV12;
        wrap_->width = static_cast<int>(w);
        wrap_->height = static_cast<int>(h);
        wrap_->buf[0] = av_buffer_create(data, w * h * 3 / 2, [](void*, uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
        if (!wrap_->buf[0]) {
            buffer->Unlock();
            return kE_OUTOFMEMORY;
        }
        wrap_->data[0] = data;
        wrap_->data[1] = data + w * h;
        wrap_->linesize[0] = wrap_->linesize[1] = static_cast<int>(w);
        frame = wrap_;
    } else {
        if (av_frame_make_writable(frame_) < 0) {
            buffer->Unlock();
            return kE_OUTOFMEMORY;
        }
        for (size_t y = 0; y < h; ++y) std::memcpy(frame_->data[0] + y * frame_->linesize[0], data + y * w, w);
        const uint8_t* uv = data + w * h;
        for (size_t y = 0; y < h / 2; ++y) {
            const uint8_t* s = uv + y * w;
            uint8_t* u = frame_->data[1] + y * frame_->linesize[1];
            uint8_t* v = frame_->data[2] + y * frame_->linesize[2];
            for (size_t x = 0; x < w / 2; ++x) {
                u[x] = s[2 * x];
                v[x] = s[2 * x + 1];
            }
        }
    }
    frame->pts = sample.Time();
    frame->pict_type = forceKey_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    forceKey_ = false;
    const int sent = avcodec_send_frame(ctx_, frame);
    HResult result = sent < 0 ? kE_FAIL : kS_OK;
    while (sent >= 0) {
        int r = avcodec_receive_packet(ctx_, pkt_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            result = kE_FAIL;
            break;
        }
        packets_.push_back({std::vector<uint8_t>(pkt_->data, pkt_->data + pkt_->size), pkt_->pts,
                            (pkt_->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(pkt_);
    }
    av_frame_unref(wrap_);
    buffer->Unlock();
    return result;
}

HResult LibavTransform::ProcessOutput(int stream, std::shared_ptr<Sample>* sample) {
    if (stream != 0) return kMF_E_INVALIDSTREAMNUMBER;
    if (!sample) return kE_POINTER;
    if (streamChange_) {
        streamChange_ = false;
        return kMF_E_TRANSFORM_STREAM_CHANGE;
    }
    if (packets_.empty()) return kMF_E_TRANSFORM_NEED_MORE_INPUT;
    Packet p = std::move(packets_.front());
    packets_.pop_front();
    auto buffer = std::make_shared<MemoryBuffer>(p.bytes.size());
    uint8_t* dst = nullptr;
    buffer->Lock(&dst, nullptr, nullptr);
    if (!p.bytes.empty()) std::memcpy(dst, p.bytes.data(), p.bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(p.bytes.size());
    auto out = std::make_shared<Sample>();
    out->AddBuffer(buffer);
    out->SetTime(p.pts);
    out->SetDuration(out_.fpsNum ? kTicksPerSecond * out_.fpsDen / out_.fpsNum : 0);
    out->SetCleanPoint(p.key ? 1 : 0);
    *sample = std::move(out);
    return kS_OK;
}

class LibavActivation final : public Activation {
public:
    explicit LibavActivation(const EncoderKind& kind) : kind_(kind) {}
    HResult GetFriendlyName(std::string* out) override {
        if (!out) return kE_POINTER;
        *out = kind_.friendlyName;
        return kS_OK;
    }
    HResult GetHardwareVendorId(std::string* out) override {
        if (!out) return kE_POINTER;
        if (!kind_.vendorId) return kMF_E_ATTRIBUTENOTFOUND;
        *out = kind_.vendorId;
        return kS_OK;
    }
    HResult ActivateTransform(std::unique_ptr<Transform>* out) override {
        if (!out) return kE_POINTER;
        if (!avcodec_find_encoder_by_name(kind_.codecName)) return kE_FAIL;
        *out = std::make_unique<LibavTransform>(kind_);
        return kS_OK;
    }

private:
    const EncoderKind& kind_;
};

class LibavPlatform final : public Platform {
public:
    HResult Startup() override {
        QuietLibav();
        return kS_OK;
    }
    HResult Shutdown() override { return kS_OK; }
    // No Direct3D here: the encoder runs CPU-only.
    HResult EnumAdapter(uint32_t, AdapterInfo*) override { return kDXGI_ERROR_NOT_FOUND; }
    HResult CreateDevice(const AdapterInfo*, std::unique_ptr<Device>*) override { return kE_NOTIMPL; }
    HResult CreateDeviceManager(Device&, std::unique_ptr<DeviceManager>*) override { return kE_NOTIMPL; }

    HResult EnumTransforms(uint32_t flags, Subtype output,
                           std::vector<std::unique_ptr<Activation>>* out) override {
        if (!out) return kE_POINTER;
        out->clear();
        // Every transform here is synchronous.
        if ((flags & kEnumSyncMft) == 0 && (flags & kEnumAsyncMft) != 0) return kS_OK;
        if (flags & kEnumHardware) {
            for (const EncoderKind* k : AvailableHardware())
                if (k->output == output) out->push_back(std::make_unique<LibavActivation>(*k));
            return kS_OK;
        }
        for (auto& k : kSoftware)
            if (k.output == output && avcodec_find_encoder_by_name(k.codecName))
                out->push_back(std::make_unique<LibavActivation>(k));
        return kS_OK;
    }
};

}  // namespace

std::shared_ptr<Platform> DefaultPlatform() {
    static const std::shared_ptr<Platform> platform = std::make_shared<LibavPlatform>();
    return platform;
}

}  // namespace Veltrix::media
