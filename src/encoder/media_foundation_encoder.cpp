// The Media Foundation encoder: lifetime, settings, frame dispatch and the
// delivery of encoded output. Set-up, the two drivers and the GPU paths have files of their own.
#include "encoder/media_foundation_encoder_internal.h"

namespace Veltrix {

using namespace media;
using namespace mf_detail;

MediaFoundationEncoder::MediaFoundationEncoder() : MediaFoundationEncoder(MediaFoundationEncoderOptions{}) {}

MediaFoundationEncoder::MediaFoundationEncoder(MediaFoundationEncoderOptions options)
    : platform_(options.platform ? options.platform : DefaultPlatform()),
      asyncHwEncodersEnabled_(std::move(options.asyncHwEncodersEnabled)),
      clock_(options.clock ? *options.clock : Clock::Real()),
      noTransformLog_(kLog, kLogError, clock_),
      gpuResidentEncodeEnv_(std::move(options.gpuResidentEncodeEnv)),
      noFenceEnv_(std::move(options.noFenceEnv)),
      noFrameCapEnv_(std::move(options.noFrameCapEnv)) {
    std::lock_guard<std::mutex> g(gProcessLock);
    if (gStartupCount++ == 0) {
        HResult hr = platform_->Startup();
        if (Failed(hr)) {
            --gStartupCount;
            Log(kLog, kLogError, "MFStartup failed: 0x%08lx", U(hr));
            return;
        }
    }
    platformStarted_ = true;
}

MediaFoundationEncoder::~MediaFoundationEncoder() {
    {
        std::lock_guard<std::mutex> g(lock_);
        TeardownLocked();
    }
    if (platformStarted_) {
        std::lock_guard<std::mutex> g(gProcessLock);
        if (--gStartupCount == 0) platform_->Shutdown();
    }
}

bool MediaFoundationEncoder::Ready() const {
    std::lock_guard<std::mutex> g(lock_);
    return transform_ != nullptr;
}

std::string MediaFoundationEncoder::Description() const {
    std::lock_guard<std::mutex> g(descriptionLock_);
    return description_;
}

std::string MediaFoundationEncoder::CurrentEncoderDescription() {
    std::lock_guard<std::mutex> g(gProcessLock);
    return gCurrentDescription;
}

void MediaFoundationEncoder::SetDescription(const std::string& text) {
    {
        std::lock_guard<std::mutex> g(descriptionLock_);
        description_ = text;
    }
    std::lock_guard<std::mutex> g(gProcessLock);
    gCurrentDescription = text;
}

void MediaFoundationEncoder::SetEngine(const std::string& engineId) {
    std::lock_guard<std::mutex> g(lock_);
    engineId_ = engineId.empty() ? "auto" : Lower(engineId);
}

std::string MediaFoundationEncoder::Engine() const {
    std::lock_guard<std::mutex> g(lock_);
    return engineId_;
}

float MediaFoundationEncoder::Quality() const {
    std::lock_guard<std::mutex> g(lock_);
    return quality_;
}

// --- encoding -------------------------------------------------------------

void MediaFoundationEncoder::Encode(const uint8_t* bgra, int width, int height, int strideBytes, int64_t) {
    std::lock_guard<std::mutex> g(lock_);
    if (!transform_ || !bgra || width <= 0 || height <= 0 || strideBytes <= 0) return;
    const int cw = width_.load(), ch = height_.load();
    const uint8_t* src = bgra;
    int pitch = strideBytes;
    if (width != cw || height != ch) {
        scaled_.resize(static_cast<size_t>(cw) * ch * 4);
        ScaleNearest(bgra, strideBytes, width, height, scaled_.data(), cw * 4, cw, ch);
        src = scaled_.data();
        pitch = cw * 4;
    }
    if (asyncMode_)
        EncodeAsync(src, pitch);
    else if (gpuResidentActive_ && !gpuResidentLatched_)
        EncodeSyncGpuResident(src, pitch);
    else if (inputSample_ && inputBuffer_)
        EncodeSyncSystemMemory(src, pitch);
}

void MediaFoundationEncoder::ConvertToNv12(const uint8_t* src, int pitch, uint8_t* nv12) {
    const int w = width_.load(), h = height_.load();
    const auto start = std::chrono::steady_clock::now();
    if (!GpuConvertReadback(src, pitch, nv12, nv12 + ySize_, w, h)) converter_.Convert(src, pitch, nv12, nv12 + ySize_, w, h);
    RecordStageTime(Stage::kConvert, MicrosBetween(start, std::chrono::steady_clock::now()));
}

void MediaFoundationEncoder::EmergencyQp() {
    if (emergencyFrames_.load() > 0) {
        emergencyFrames_.fetch_sub(1);
        if (codecApi_) codecApi_->SetValue(CodecProperty::EncodeQp, 51);
        emergencyQpActive_ = true;
    } else if (emergencyQpActive_) {
        // The emergency is over: hand the frames back to rate control.
        emergencyQpActive_ = false;
        if (codecApi_) {
            const int mode = rateControl_.load();
            codecApi_->SetValue(CodecProperty::RateControlMode,
                                mode == kRateControlQuality ? kRateControlModeQuality
                                : mode == kRateControlVbr   ? kRateControlModePeakConstrainedVbr
                                                            : kRateControlModeCbr);
        }
    }
}

void MediaFoundationEncoder::KeyframeDecision(Sample& sample) {
    const int gop = gopSize_.load();
    const bool requested = keyframeRequested_.exchange(false);
    const bool forced = requested || gop == 1 || (gop > 1 && framesSinceKeyframe_ >= gop);
    if (forced) {
        sample.SetCleanPoint(1);
        if (codecApi_) codecApi_->SetValue(CodecProperty::ForceKeyFrame, 1);
        framesSinceKeyframe_ = 0;
    } else {
        sample.ClearCleanPoint();
        ++framesSinceKeyframe_;
    }
}

void MediaFoundationEncoder::DeliverOutput(Sample* sample, uint64_t timestampUs) {
    EncodedFrameCallback cb;
    {
        std::lock_guard<std::mutex> g(callbackLock_);
        cb = callback_;
    }
    if (!sample || !cb) return;
    const bool cleanPoint = sample->CleanPoint() != 0;
    std::shared_ptr<MediaBuffer> buffer;
    if (Failed(sample->ConvertToContiguousBuffer(&buffer)) || !buffer) return;
    uint8_t* data = nullptr;
    size_t maxLen = 0, len = 0;
    if (Failed(buffer->Lock(&data, &maxLen, &len))) return;
    if (!data || len == 0) {
        buffer->Unlock();
        return;
    }
    output_.clear();
    output_.reserve(paramSets_.size() + len + 64);
    AssembleAnnexB(data, len, output_);
    const bool hevc = codec_.load() != kCodecH264;
    const bool scanFound = ContainsRandomAccessNal(output_.data(), output_.size(), hevc);
    const bool keyframe = cleanPoint || scanFound;
    const uint64_t count = gOutputCounter.fetch_add(1);
    if (count % 25 == 0 && output_.size() >= 16) {
        const uint8_t* f = output_.data();
        Log(kLog, kLogInfo,
            "[Zevaviri] Step 1 NAL diag: cleanPoint=%d scanFound=%d isHevc=%d size=%zu first16=[%02X %02X %02X %02X "
            "%02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X]",
            cleanPoint ? 1 : 0, scanFound ? 1 : 0, hevc ? 1 : 0, output_.size(), f[0], f[1], f[2], f[3], f[4], f[5],
            f[6], f[7], f[8], f[9], f[10], f[11], f[12], f[13], f[14], f[15]);
    }
    if (keyframe && !paramSets_.empty()) output_.insert(output_.begin(), paramSets_.begin(), paramSets_.end());
    Log(kLog, kLogDebug, "frame encoded: %zu bytes keyframe=%d", output_.size(), keyframe ? 1 : 0);
    if (keyframe) keyframeEmitted_.store(true);
    cb(output_.data(), output_.size(), keyframe, timestampUs);
    buffer->Unlock();
}

void MediaFoundationEncoder::RecordConvertTime(double us, const char* label) {
    timingSumUs_ += us;
    if (++timingCount_ >= 120) {
        Log(kLog, kLogDebug, "[dx] render-thread convert+submit avg=%.3f ms over %u frames (%s)",
            timingSumUs_ / timingCount_ / 1000.0, timingCount_, label);
        timingSumUs_ = 0;
        timingCount_ = 0;
    }
}

// --- setters --------------------------------------------------------------

void MediaFoundationEncoder::ReconfigureIfConfiguredLocked() {
    if (transform_ && width_.load() >= 1)
        ConfigureLocked(width_.load(), height_.load(), bitrate_.load(), fps_.load());
}

void MediaFoundationEncoder::SetBitrate(uint32_t bps) {
    if (bps == 0) return;
    std::lock_guard<std::mutex> g(lock_);
    if (bitrate_.exchange(bps) == bps) return;
    if (codecApi_) codecApi_->SetValue(CodecProperty::MeanBitRate, RatesFor(bps, 0).mean);
}

void MediaFoundationEncoder::SetPeakBitrate(uint32_t maxBps) {
    if (maxBps == 0) return;
    std::lock_guard<std::mutex> g(lock_);
    if (!codecApi_ || rateControl_.load() != kRateControlVbr) return;
    const uint32_t mean = bitrate_.load();
    const uint32_t peak = mean == 0 ? maxBps : std::max(maxBps, mean);
    peakBitrate_.store(peak);
    HResult hr = codecApi_->SetValue(CodecProperty::MaxBitRate, RatesFor(mean, peak).max);
    if (Failed(hr))
        Log(kLog, kLogInfo, "SetPeakBitrate: live SetValue rejected 0x%08lx — will apply on next reconfigure", U(hr));
    else
        Log(kLog, kLogInfo, "SetPeakBitrate: max=%u bps (mean=%u, ratio=%.2f)", peak, mean,
            mean ? static_cast<double>(peak) / mean : 0.0);
}

void MediaFoundationEncoder::SetGopSize(int gop) {
    gop = std::max(gop, 1);
    std::lock_guard<std::mutex> g(lock_);
    if (gopSize_.load() == gop) return;
    gopSize_.store(gop);
    ReconfigureIfConfiguredLocked();
}

void MediaFoundationEncoder::SetCodec(int codec) {
    std::lock_guard<std::mutex> g(lock_);
    if (codec_.load() == codec) return;
    codec_.store(codec);
    ReconfigureIfConfiguredLocked();
}

void MediaFoundationEncoder::SetRateControl(int mode, float quality) {
    std::lock_guard<std::mutex> g(lock_);
    if (rateControl_.load() == mode && QualityUnchanged(quality, quality_)) return;
    rateControl_.store(mode);
    quality_ = std::clamp(quality, 0.0f, 1.0f);
    ReconfigureIfConfiguredLocked();
}

void MediaFoundationEncoder::SetQualityMode(float q) {
    q = std::clamp(q, 0.0f, 1.0f);
    std::lock_guard<std::mutex> g(lock_);
    if (QualityUnchanged(q, quality_)) return;
    quality_ = q;
    if (!codecApi_) return;
    if (rateControl_.load() == kRateControlQuality) {
        const uint32_t pct = QualityPercent(q);
        HResult hr = codecApi_->SetValue(CodecProperty::Quality, pct);
        Log(kLog, kLogInfo, "SetQualityMode q=%.2f → CODECAPI_AVEncCommonQuality=%u hr=0x%08lx", q, pct, U(hr));
    } else {
        Log(kLog, kLogInfo, "SetQualityMode q=%.2f stored (not in Quality mode)", q);
    }
}

void MediaFoundationEncoder::SetHrdBufferBits(int64_t bufferBits, int64_t averageBps) {
    if (bufferBits <= 0 || averageBps <= 0) return;
    std::lock_guard<std::mutex> g(lock_);
    if (!codecApi_) return;
    constexpr int64_t kCap = 4'000'000'000LL;
    const CappedRates r = RatesFor(static_cast<uint32_t>(std::min(averageBps, kCap)),
                                   static_cast<uint32_t>(std::min(averageBps > kCap ? kCap : 2 * averageBps, kCap)));
    const uint32_t mean = r.mean, max = r.max;
    HResult h1 = codecApi_->SetValue(CodecProperty::MeanBitRate, mean);
    HResult h2 = codecApi_->SetValue(CodecProperty::MaxBitRate, max);
    Log(kLog, kLogInfo, "SetHrdBufferBits: buf=%lld avg=%lld → mean=%u max=%u hr=(0x%08lx,0x%08lx)",
        static_cast<long long>(bufferBits), static_cast<long long>(averageBps), mean, max, U(h1), U(h2));
}

void MediaFoundationEncoder::EmergencyCompress(int frames) {
    if (frames < 1) return;
    emergencyFrames_.store(frames);
    keyframeRequested_.store(true);
    Log(kLog, kLogInfo, "emergency compression: %d frames at QP=51", frames);
}

void MediaFoundationEncoder::SetFrameSizeCap(uint32_t cap) {
    cap = std::clamp<uint32_t>(cap, 100'000, 20'000'000);
    if (frameSizeCap_.exchange(cap) == cap) return;
    std::lock_guard<std::mutex> g(lock_);
    if (!codecApi_) return;
    const CappedRates r = RatesFor(bitrate_.load(), rateControl_.load() == kRateControlVbr ? peakBitrate_.load() : 0);
    codecApi_->SetValue(CodecProperty::MeanBitRate, r.mean);
    codecApi_->SetValue(CodecProperty::MaxBitRate, r.max);
    if (r.bufferBits) codecApi_->SetValue(CodecProperty::BufferSize, r.bufferBits);
}

void MediaFoundationEncoder::SetOutputCallback(EncodedFrameCallback cb) {
    EncodedFrameCallback old;
    {
        std::lock_guard<std::mutex> g(callbackLock_);
        old = std::move(callback_);
        callback_ = std::move(cb);
    }
}

std::unique_ptr<IHardwareEncoder> MediaFoundationEncoder::Clone(const EncoderConfig& cfg) {
    MediaFoundationEncoderOptions options;
    options.platform = platform_;
    options.asyncHwEncodersEnabled = asyncHwEncodersEnabled_;
    options.noFrameCapEnv = noFrameCapEnv_;
    auto e = std::make_unique<MediaFoundationEncoder>(std::move(options));
    e->SetEngine(Engine());
    e->codec_.store(cfg.codec);
    e->gopSize_.store(std::max(cfg.gopSize, 1));
    e->rateControl_.store(cfg.rateControl);
    {
        std::lock_guard<std::mutex> g(e->lock_);
        e->quality_ = cfg.quality;
    }
    e->peakBitrate_.store(cfg.peakBitrateBps);
    e->frameSizeCap_.store(cfg.frameSizeCap == 0 ? 340'000 : cfg.frameSizeCap);
    if (!e->Configure(cfg.width, cfg.height, cfg.bitrateBps, cfg.fps)) {
        Log(kLog, kLogError, "Clone: Configure failed (%dx%d@%d bps=%u) — pipeline will fall back to Conservative",
            cfg.width, cfg.height, cfg.fps, cfg.bitrateBps);
        return nullptr;
    }
    return e;
}

}  // namespace Veltrix
