// Linux back end of the media-platform seam over libavcodec.
//
// libx264 and libx265 appear as software synchronous transforms without a
// vendor id; NVENC (vendor 10DE), VAAPI (the render node's vendor) and QSV
// (vendor 8086) appear as hardware synchronous transforms only when they
// actually open here (media_platform_libav.h). The transforms behave as a synchronous
// Media Foundation encoder does: one access unit out per frame in, the
// sequence header as an avcC/hvcC record on the output type, a stream change
// when the parameter sets change, and the codec properties mapped onto the
// encoder's own rate control.
#include "encoder/media_platform_libav.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
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

using libav::HardwareApi;
using libav::HardwareEncoder;

enum class Api { Software, Nvenc, Vaapi, Qsv };

struct EncoderChoice {
    std::string codecName;
    std::string friendlyName;
    Subtype output = Subtype::H264;
    std::string vendorId;                    // "VEN_10DE"; empty: software
    AVPixelFormat pixFmt = AV_PIX_FMT_NV12;  // what it is fed from system memory
    Api api = Api::Software;
    std::string device;  // VAAPI render node
};

const std::vector<EncoderChoice>& SoftwareEncoders() {
    static const std::vector<EncoderChoice> list = {
        {"libx264", "x264 H.264 Encoder (libavcodec)", Subtype::H264, "", AV_PIX_FMT_NV12, Api::Software, ""},
        {"libx265", "x265 HEVC Encoder (libavcodec)", Subtype::Hevc, "", AV_PIX_FMT_YUV420P, Api::Software, ""},
    };
    return list;
}

EncoderChoice SpecOf(const HardwareEncoder& hw) {
    EncoderChoice choice;
    choice.codecName = hw.codecName;
    choice.output = hw.output;
    choice.vendorId = libav::VendorIdText(hw.vendorId);
    choice.pixFmt = AV_PIX_FMT_NV12;
    choice.device = hw.device;
    const std::string codec = hw.output == Subtype::H264 ? "H.264" : "HEVC";
    switch (hw.api) {
        case HardwareApi::Nvenc:
            choice.api = Api::Nvenc;
            choice.friendlyName = "NVIDIA " + codec + " Encoder NVENC (libavcodec)";
            break;
        case HardwareApi::Vaapi:
            choice.api = Api::Vaapi;
            choice.friendlyName = "VAAPI " + codec + " Encoder on " + hw.device + " (libavcodec)";
            break;
        case HardwareApi::Qsv:
            choice.api = Api::Qsv;
            choice.friendlyName = "Intel Quick Sync " + codec + " Encoder (libavcodec)";
            break;
    }
    return choice;
}

void QuietLibav() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// A VAAPI device on the render node and a pool of NV12 surfaces of the frame size.
bool CreateVaapiFrames(const std::string& node, int width, int height, AVBufferRef** device,
                       AVBufferRef** frames) {
    *device = nullptr;
    *frames = nullptr;
    if (node.empty() || av_hwdevice_ctx_create(device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0)
        return false;
    *frames = av_hwframe_ctx_alloc(*device);
    if (!*frames) {
        av_buffer_unref(device);
        return false;
    }
    auto* fc = reinterpret_cast<AVHWFramesContext*>((*frames)->data);
    fc->format = AV_PIX_FMT_VAAPI;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = width;
    fc->height = height;
    fc->initial_pool_size = 4;
    if (av_hwframe_ctx_init(*frames) < 0) {
        av_buffer_unref(frames);
        av_buffer_unref(device);
        return false;
    }
    return true;
}

// Opens the encoder with a 256x256 frame and closes it again.
bool RealOpens(const HardwareEncoder& hw) {
    const AVCodec* codec = avcodec_find_encoder_by_name(hw.codecName.c_str());
    if (!codec) return false;
    AVBufferRef* device = nullptr;
    AVBufferRef* frames = nullptr;
    if (hw.api == HardwareApi::Vaapi && !CreateVaapiFrames(hw.device, 256, 256, &device, &frames))
        return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    bool ok = false;
    if (ctx) {
        ctx->width = 256;
        ctx->height = 256;
        ctx->time_base = {1, 30};
        ctx->framerate = {30, 1};
        ctx->bit_rate = 1'000'000;
        ctx->max_b_frames = 0;
        ctx->pix_fmt = AV_PIX_FMT_NV12;
        if (frames) {
            ctx->pix_fmt = AV_PIX_FMT_VAAPI;
            ctx->hw_frames_ctx = av_buffer_ref(frames);
        }
        ok = avcodec_open2(ctx, codec, nullptr) == 0;
        avcodec_free_context(&ctx);
    }
    av_buffer_unref(&frames);
    av_buffer_unref(&device);
    return ok;
}

// "0x8086" -> 0x8086; 0 when missing or malformed.
uint32_t ReadVendorFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text)) return 0;
    unsigned value = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%x%c", &value, &extra) < 1 || value > 0xFFFF) return 0;
    return value;
}

// --- the transform ---

// The output type's colour description onto the encoder, which writes it into
// the sequence parameter set's video usability information.
void ApplyColour(AVCodecContext* ctx, const MediaType& type) {
    if (type.yuvMatrix == kYuvMatrixBt709) ctx->colorspace = AVCOL_SPC_BT709;
    if (type.primaries == kPrimariesBt709) ctx->color_primaries = AVCOL_PRI_BT709;
    if (type.transferFunction == kTransferFunction709) ctx->color_trc = AVCOL_TRC_BT709;
    if (type.nominalRange == kNominalRange16To235) ctx->color_range = AVCOL_RANGE_MPEG;
}

struct Properties {
    bool lowLatency = false;
    bool realTime = false;
    uint32_t rcMode = kRateControlModeCbr;
    uint32_t mean = 0;
    uint32_t max = 0;
    uint32_t buffer = 0;  // bits; 0: our own choice below
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
    explicit LibavTransform(EncoderChoice choice) : spec_(std::move(choice)), api_(*this) {}
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
        if (!type.video || type.subtype != spec_.output || type.width < 16 || type.height < 16 ||
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
    void ApplyRateControlModes(AVCodecContext* ctx);
    void ApplyHardwareRateControl(AVCodecContext* ctx, uint32_t mean, uint32_t max, int fps);
    void MarkReopen() {
        if (ctx_) reopen_ = true;
    }

    const EncoderChoice spec_;
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
    AVBufferRef* hwDevice_ = nullptr;  // VAAPI only
    AVBufferRef* hwFrames_ = nullptr;
    AVFrame* hwFrame_ = nullptr;
    AVPacket* pkt_ = nullptr;
    std::deque<Packet> packets_;
};

HResult LibavCodecApi::SetValue(CodecProperty property, uint32_t value) { return t_.SetProperty(property, value); }

HResult LibavTransform::SetProperty(CodecProperty property, uint32_t value) {
    Properties& p = props_;
    const bool inPlace = ctx_ && spec_.codecName == "libx264" && p.qpOverride < 0;
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
        case CodecProperty::MaxBitRate:
        case CodecProperty::BufferSize: {
            uint32_t& field = property == CodecProperty::MeanBitRate ? p.mean
                              : property == CodecProperty::MaxBitRate ? p.max
                                                                      : p.buffer;
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
    ApplyRateControlModes(ctx);
    // A buffer asked for is a ceiling on the one chosen for the mode: the
    // largest frame the rate control lets through.
    const auto asked = static_cast<int>(std::min<uint32_t>(props_.buffer, INT32_MAX));
    if (asked > 0 && ctx->rc_max_rate > 0 && (ctx->rc_buffer_size == 0 || ctx->rc_buffer_size > asked))
        ctx->rc_buffer_size = asked;
}

void LibavTransform::ApplyRateControlModes(AVCodecContext* ctx) {
    const Properties& p = props_;
    const int fps = std::max<int>(1, static_cast<int>(out_.fpsNum / std::max<uint32_t>(out_.fpsDen, 1)));
    const bool nvenc = spec_.api == Api::Nvenc;
    void* priv = ctx->priv_data;
    const uint32_t mean = p.mean ? p.mean : out_.avgBitrate;
    const uint32_t max = std::max(p.max, mean);
    if (spec_.api == Api::Vaapi || spec_.api == Api::Qsv) {
        ApplyHardwareRateControl(ctx, mean, max, fps);
        return;
    }
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

// VAAPI and QSV: constant bitrate, peak-constrained VBR, or a constant quantiser for
// Quality (and for the emergency QP), which both take as the global quality.
void LibavTransform::ApplyHardwareRateControl(AVCodecContext* ctx, uint32_t mean, uint32_t max, int fps) {
    const Properties& p = props_;
    const bool vaapi = spec_.api == Api::Vaapi;
    void* priv = ctx->priv_data;
    int qp = p.qpOverride;
    if (qp < 0 && p.rcMode == kRateControlModeQuality) qp = static_cast<int>(51.0 - 0.4 * p.quality + 0.5);
    if (qp >= 0) {
        ctx->bit_rate = 0;
        ctx->rc_max_rate = 0;
        ctx->rc_buffer_size = 0;
        if (vaapi) {
            av_opt_set(priv, "rc_mode", "CQP", 0);
            ctx->global_quality = qp;
        } else {
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = qp * FF_QP2LAMBDA;
        }
        return;
    }
    ctx->flags &= ~AV_CODEC_FLAG_QSCALE;
    ctx->bit_rate = mean;
    if (p.rcMode == kRateControlModeCbr) {
        ctx->rc_max_rate = mean;
        ctx->rc_buffer_size = static_cast<int>(mean / static_cast<uint32_t>(fps));
        if (vaapi) av_opt_set(priv, "rc_mode", "CBR", 0);
    } else {
        ctx->rc_max_rate = max;
        ctx->rc_buffer_size = static_cast<int>(max);
        if (vaapi) av_opt_set(priv, "rc_mode", "VBR", 0);
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
    av_frame_free(&hwFrame_);
    av_packet_free(&pkt_);
    av_buffer_unref(&hwFrames_);
    av_buffer_unref(&hwDevice_);
    reopen_ = false;
}

HResult LibavTransform::Open() {
    Close();
    QuietLibav();
    const AVCodec* codec = avcodec_find_encoder_by_name(spec_.codecName.c_str());
    if (!codec) return kE_FAIL;
    if (spec_.api == Api::Vaapi &&
        !CreateVaapiFrames(spec_.device, static_cast<int>(out_.width), static_cast<int>(out_.height),
                           &hwDevice_, &hwFrames_))
        return kE_FAIL;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
        Close();
        return kE_OUTOFMEMORY;
    }
    const Properties& p = props_;
    const bool nvenc = spec_.api == Api::Nvenc;
    const bool x265 = spec_.codecName == "libx265";
    ctx->width = static_cast<int>(out_.width);
    ctx->height = static_cast<int>(out_.height);
    ctx->pix_fmt = spec_.pixFmt;
    ctx->time_base = {1, static_cast<int>(kTicksPerSecond)};
    ctx->framerate = {static_cast<int>(out_.fpsNum), static_cast<int>(std::max<uint32_t>(out_.fpsDen, 1))};
    ctx->gop_size = static_cast<int>(p.gop);
    ctx->max_b_frames = 0;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->thread_count = 2;
    void* priv = ctx->priv_data;
    if (hwFrames_) {
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(hwFrames_);
    }
    if (spec_.api == Api::Vaapi || spec_.api == Api::Qsv) {
        // One frame in flight at a time, no look-ahead: no frame delay.
        av_opt_set_int(priv, "async_depth", 1, 0);
        if (spec_.api == Api::Qsv) {
            av_opt_set_int(priv, "look_ahead", 0, 0);
            av_opt_set_int(priv, "forced_idr", 1, 0);
            av_opt_set(priv, "preset", p.realTime ? "veryfast" : "medium", 0);
        }
    } else if (nvenc) {
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
        // sao=1 also for ultrafast (which turns it off): libx265 3.5 frees its
        // frame filter's row buffers only with SAO on, and without it leaks about
        // 100 KB at every close of a 720p encoder, which a day of setting changes
        // adds up. SAO costs ultrafast some 7 % of its encoding time.
        if (x265) av_opt_set(priv, "x265-params", "log-level=error:frame-threads=1:sao=1", 0);
    }
    ApplyRateControl(ctx);
    ApplyColour(ctx, out_);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        Close();
        return kE_FAIL;
    }
    ctx_ = ctx;
    frame_ = av_frame_alloc();
    wrap_ = av_frame_alloc();
    hwFrame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    if (!frame_ || !wrap_ || !hwFrame_ || !pkt_) {
        Close();
        return kE_OUTOFMEMORY;
    }
    frame_->format = spec_.pixFmt;
    frame_->width = ctx->width;
    frame_->height = ctx->height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
        Close();
        return kE_OUTOFMEMORY;
    }
    std::vector<uint8_t> header;
    if (ctx->extradata && ctx->extradata_size > 0) {
        auto nals = SplitAnnexB(ctx->extradata, static_cast<size_t>(ctx->extradata_size));
        header = spec_.output == Subtype::H264 ? BuildAvcC(nals) : BuildHvcC(nals);
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
    if (spec_.api == Api::Qsv) {
        // QSV may keep a reference to its input after the call: give it its own copy.
        if (av_frame_make_writable(frame_) < 0) {
            buffer->Unlock();
            return kE_OUTOFMEMORY;
        }
        for (size_t y = 0; y < h; ++y) std::memcpy(frame_->data[0] + y * frame_->linesize[0], data + y * w, w);
        for (size_t y = 0; y < h / 2; ++y)
            std::memcpy(frame_->data[1] + y * frame_->linesize[1], data + w * h + y * w, w);
    } else if (spec_.pixFmt == AV_PIX_FMT_NV12) {
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
        if (hwFrames_) {
            // VAAPI encodes from its own surfaces: upload into one.
            av_frame_unref(hwFrame_);
            if (av_hwframe_get_buffer(hwFrames_, hwFrame_, 0) < 0 ||
                av_hwframe_transfer_data(hwFrame_, wrap_, 0) < 0) {
                av_frame_unref(wrap_);
                buffer->Unlock();
                return kE_FAIL;
            }
            frame = hwFrame_;
        }
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
    av_frame_unref(hwFrame_);
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
    explicit LibavActivation(EncoderChoice choice) : spec_(std::move(choice)) {}
    HResult GetFriendlyName(std::string* out) override {
        if (!out) return kE_POINTER;
        *out = spec_.friendlyName;
        return kS_OK;
    }
    HResult GetHardwareVendorId(std::string* out) override {
        if (!out) return kE_POINTER;
        if (spec_.vendorId.empty()) return kMF_E_ATTRIBUTENOTFOUND;
        *out = spec_.vendorId;
        return kS_OK;
    }
    HResult ActivateTransform(std::unique_ptr<Transform>* out) override {
        if (!out) return kE_POINTER;
        if (!avcodec_find_encoder_by_name(spec_.codecName.c_str())) return kE_FAIL;
        *out = std::make_unique<LibavTransform>(spec_);
        return kS_OK;
    }

private:
    const EncoderChoice spec_;
};

class LibavPlatform final : public Platform {
public:
    explicit LibavPlatform(std::function<std::vector<HardwareEncoder>()> probe) : probe_(std::move(probe)) {}

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
            for (const HardwareEncoder& hw : Hardware())
                if (hw.output == output) out->push_back(std::make_unique<LibavActivation>(SpecOf(hw)));
            return kS_OK;
        }
        for (const EncoderChoice& choice : SoftwareEncoders())
            if (choice.output == output && avcodec_find_encoder_by_name(choice.codecName.c_str()))
                out->push_back(std::make_unique<LibavActivation>(choice));
        return kS_OK;
    }

private:
    // Probed once, on the first hardware enumeration.
    const std::vector<HardwareEncoder>& Hardware() {
        std::call_once(probed_, [this] {
            if (probe_) hardware_ = probe_();
        });
        return hardware_;
    }

    std::function<std::vector<HardwareEncoder>()> probe_;
    std::once_flag probed_;
    std::vector<HardwareEncoder> hardware_;
};

}  // namespace

namespace libav {

std::string VendorIdText(uint32_t vendorId) {
    char text[16];
    std::snprintf(text, sizeof text, "VEN_%04X", vendorId & 0xFFFFu);
    return text;
}

ProbeOps DefaultProbeOps(std::string devDri, std::string sysDrm) {
    ProbeOps ops;
    ops.compiledIn = [](const std::string& name) { return avcodec_find_encoder_by_name(name.c_str()) != nullptr; };
    ops.renderNodes = [devDri] {
        std::vector<std::string> nodes;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(devDri, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind("renderD", 0) == 0) nodes.push_back(name);
        }
        std::sort(nodes.begin(), nodes.end());
        return nodes;
    };
    ops.nodeVendor = [sysDrm](const std::string& node) {
        return ReadVendorFile(std::filesystem::path(sysDrm) / node / "device" / "vendor");
    };
    ops.nodePath = [devDri](const std::string& node) { return (std::filesystem::path(devDri) / node).string(); };
    ops.opens = [](const HardwareEncoder& hw) {
        QuietLibav();
        // A missing driver or device is the normal case; keep its complaint out of stderr.
        const int level = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
        const bool ok = RealOpens(hw);
        av_log_set_level(level);
        return ok;
    };
    return ops;
}

std::vector<HardwareEncoder> ProbeHardware(const ProbeOps& ops) {
    std::vector<HardwareEncoder> found;
    auto tryOne = [&](HardwareEncoder hw) {
        if (!ops.compiledIn(hw.codecName) || !ops.opens(hw)) return false;
        found.push_back(std::move(hw));
        return true;
    };
    using Named = std::pair<const char*, Subtype>;
    for (const auto& [name, output] : {Named{"h264_nvenc", Subtype::H264}, Named{"hevc_nvenc", Subtype::Hevc}})
        tryOne({name, HardwareApi::Nvenc, output, 0x10DE, ""});

    // Render nodes and their vendors are read once; nothing is opened without a node.
    std::vector<std::pair<std::string, uint32_t>> nodes;
    for (const std::string& node : ops.renderNodes())
        if (const uint32_t vendor = ops.nodeVendor(node); vendor != 0) nodes.emplace_back(node, vendor);
    for (const auto& [name, output] : {Named{"h264_vaapi", Subtype::H264}, Named{"hevc_vaapi", Subtype::Hevc}}) {
        if (!ops.compiledIn(name)) continue;
        for (const auto& [node, vendor] : nodes)
            if (tryOne({name, HardwareApi::Vaapi, output, vendor, ops.nodePath(node)})) break;
    }
    const bool intel = std::any_of(nodes.begin(), nodes.end(), [](const auto& n) { return n.second == 0x8086; });
    if (intel)
        for (const auto& [name, output] : {Named{"h264_qsv", Subtype::H264}, Named{"hevc_qsv", Subtype::Hevc}})
            tryOne({name, HardwareApi::Qsv, output, 0x8086, ""});
    return found;
}

std::shared_ptr<Platform> MakePlatform(std::function<std::vector<HardwareEncoder>()> probe) {
    return std::make_shared<LibavPlatform>(std::move(probe));
}

}  // namespace libav

std::shared_ptr<Platform> DefaultPlatform() {
    static const std::shared_ptr<Platform> platform =
        libav::MakePlatform([] { return libav::ProbeHardware(libav::DefaultProbeOps()); });
    return platform;
}

}  // namespace Veltrix::media
