// Set-up of the Media Foundation encoder: the adapter and device, the search for
// a transform that accepts our types, codec settings, and teardown.
#include "encoder/media_foundation_encoder_internal.h"

namespace Veltrix {

using namespace media;
using namespace mf_detail;

struct MediaFoundationEncoder::Candidate {
    std::unique_ptr<Transform> transform;
    std::string name;
    const char* label = "";
    bool gpu = false;
    bool async = false;
};

// --- set-up ---------------------------------------------------------------

bool MediaFoundationEncoder::Configure(int width, int height, uint32_t bitrateBps, int fps) {
    std::lock_guard<std::mutex> g(lock_);
    return ConfigureLocked(width, height, bitrateBps, fps);
}

void MediaFoundationEncoder::Teardown() {
    std::lock_guard<std::mutex> g(lock_);
    TeardownLocked();
}

bool MediaFoundationEncoder::ChooseAdapter(uint32_t preferred, AdapterInfo* out) {
    bool have = false;
    AdapterInfo choice;
    // An adapter that cannot be described is skipped, but a platform that fails
    // every index without ever answering "not found" must not keep us here.
    constexpr int kMaxFailuresInARow = 16;
    int failures = 0;
    for (uint32_t i = 0;; ++i) {
        AdapterInfo a;
        HResult hr = platform_->EnumAdapter(i, &a);
        if (hr == kDXGI_ERROR_NOT_FOUND) break;
        if (Failed(hr)) {
            if (++failures >= kMaxFailuresInARow) break;
            continue;
        }
        failures = 0;
        if (a.software) continue;
        if (!have) {
            choice = a;
            have = true;
            continue;
        }
        const bool aPref = preferred && a.vendorId == preferred;
        const bool cPref = preferred && choice.vendorId == preferred;
        const bool aNv = a.vendorId == 0x10DE, cNv = choice.vendorId == 0x10DE;
        bool replace = false;
        if (aPref && !cPref)
            replace = true;
        else if (aPref == cPref) {
            if (aNv && !cNv)
                replace = true;
            else if (aNv == cNv && a.dedicatedVideoMemory > choice.dedicatedVideoMemory)
                replace = true;
        }
        if (replace) choice = a;
        if (i == UINT32_MAX) break;
    }
    if (have) {
        if (choice.description.size() > 255) choice.description.resize(255);
        *out = choice;
    }
    return have;
}

bool MediaFoundationEncoder::TryTransform(Transform& t, const char* label, bool asyncEnabled, bool* gpu,
                                          bool* async) {
    *gpu = false;
    TransformAttributes attrs;
    *async = Succeeded(t.GetAttributes(&attrs)) && attrs.async;
    if (*async) {
        if (!asyncEnabled) {
            Log(kLog, kLogInfo,
                "  [%s] async MFT — skipping (Setup → \"Use NVIDIA/Intel HW HEVC encoders\" is OFF)", label);
            return false;
        }
        HResult hr = t.GetAttributes(&attrs);
        if (Failed(hr)) {
            Log(kLog, kLogInfo, "  [%s] async-MFT GetAttributes failed %s — skipping", label, HrText(hr).c_str());
            return false;
        }
        hr = t.SetAsyncUnlock();
        if (Failed(hr)) {
            Log(kLog, kLogInfo, "  [%s] ASYNC_UNLOCK failed %s — skipping", label, HrText(hr).c_str());
            return false;
        }
        Log(kLog, kLogInfo, "  [%s] async MFT — unlocked, will drive via events", label);
    }
    if (deviceManager_) {
        HResult hr = t.ProcessMessage(TransformMessage::SetD3DManager, deviceManager_.get());
        if (Succeeded(hr))
            *gpu = true;
        else
            Log(kLog, kLogInfo, "  SET_D3D_MANAGER rejected %s — MFT runs SW", HrText(hr).c_str());
    }
    const int codec = codec_.load();
    const uint32_t w = static_cast<uint32_t>(width_.load()), h = static_cast<uint32_t>(height_.load());
    const uint32_t fps = static_cast<uint32_t>(fps_.load());
    MediaType outType;
    outType.subtype = codec == kCodecH264 ? Subtype::H264 : Subtype::Hevc;
    outType.avgBitrate = RatesFor(bitrate_.load(), 0).mean;
    outType.yuvMatrix = kYuvMatrixBt709;
    outType.nominalRange = kNominalRange16To235;
    outType.primaries = kPrimariesBt709;
    outType.transferFunction = kTransferFunction709;
    outType.width = w;
    outType.height = h;
    outType.fpsNum = fps;
    outType.fpsDen = 1;
    outType.parNum = outType.parDen = 1;
    outType.interlace = kInterlaceProgressive;
    outType.profile = codec == kCodecH264 ? kProfileH264High : kProfileHevcMain;
    HResult hr = t.SetOutputType(0, outType);
    if (Failed(hr)) {
        Log(kLog, kLogInfo, "  [%s] SetOutputType rejected %s — skipping", label, HrText(hr).c_str());
        return false;
    }
    MediaType inType;
    bool found = false;
    for (uint32_t i = 0;; ++i) {
        MediaType avail;
        if (Failed(t.GetInputAvailableType(0, i, &avail))) break;  // MF_E_NO_MORE_TYPES or any failure
        if (avail.subtype == Subtype::Nv12) {
            inType = avail;
            found = true;
            break;
        }
    }
    if (!found) {
        inType = MediaType{};
        inType.subtype = Subtype::Nv12;
    }
    inType.width = w;
    inType.height = h;
    inType.fpsNum = fps;
    inType.fpsDen = 1;
    inType.parNum = inType.parDen = 1;
    inType.interlace = kInterlaceProgressive;
    hr = t.SetInputType(0, inType);
    if (Failed(hr)) {
        Log(kLog, kLogInfo, "  [%s] SetInputType rejected %s — skipping", label, HrText(hr).c_str());
        return false;
    }
    return true;
}

bool MediaFoundationEncoder::SearchCandidates(bool asyncEnabled, Candidate* found) {
    static const struct {
        const char* label;
        uint32_t flags;
    } kCategories[] = {
        {"HW-sync", kEnumHardware | kEnumSyncMft | kEnumSortAndFilter},
        {"HW-async", kEnumHardware | kEnumAsyncMft | kEnumSortAndFilter},
        {"SW", kEnumSyncMft | kEnumSortAndFilter},
    };
    const Subtype output = codec_.load() == kCodecH264 ? Subtype::H264 : Subtype::Hevc;
    const bool filterFirst = EngineFiltered(engineId_);
    for (int round = 0; round < 2; ++round) {
        const bool filter = round == 0 && filterFirst;
        if (round == 1) {
            if (!filterFirst) break;
            Log(kLog, kLogInfo, "engine '%s' produced no usable MFT — relaxing to best-ranked", engineId_.c_str());
        }
        for (auto& cat : kCategories) {
            std::vector<std::unique_ptr<Activation>> list;
            platform_->EnumTransforms(cat.flags, output, &list);
            for (auto& a : list) {
                std::string name;
                if (Failed(a->GetFriendlyName(&name)) || name.empty()) name = "<unknown MFT>";
                if (name.size() > 511) name.resize(511);
                if (filter && !MftMatchesEngine(*a, engineId_)) continue;
                std::unique_ptr<Transform> t;
                HResult hr = a->ActivateTransform(&t);
                if (Failed(hr) || !t) {
                    Log(kLog, kLogInfo, "  [%s] activate \"%s\" failed %s", cat.label, name.c_str(),
                        HrText(Failed(hr) ? hr : kE_FAIL).c_str());
                    continue;
                }
                Log(kLog, kLogInfo, "trying %s MFT: \"%s\"%s", cat.label, name.c_str(),
                    filter ? " (engine-filtered)" : "");
                bool gpu = false, async = false;
                if (TryTransform(*t, cat.label, asyncEnabled, &gpu, &async)) {
                    Log(kLog, kLogInfo, "  -> using %s \"%s\" (hw-gpu=%d async=%d)", cat.label, name.c_str(),
                        gpu ? 1 : 0, async ? 1 : 0);
                    found->transform = std::move(t);
                    found->name = name;
                    found->label = cat.label;
                    found->gpu = gpu;
                    found->async = async;
                    return true;
                }
                t->Shutdown();  // a rejected hardware encoder holds a session too
            }
        }
    }
    return false;
}

bool MediaFoundationEncoder::FrameCapOff() const {
    const std::string& env = noFrameCapEnv_ ? *noFrameCapEnv_ : EnvOnce("VX_NO_FRAME_CAP");
    return env == "1";
}

CappedRates MediaFoundationEncoder::RatesFor(uint32_t mean, uint32_t max) const {
    return CapRates(mean, max, fps_.load(), frameSizeCap_.load(), FrameCapOff());
}

void MediaFoundationEncoder::ApplyCodecSettings() {
    if (!codecApi_) return;
    const uint32_t bitrate = bitrate_.load();
    const int mode = rateControl_.load();
    const uint32_t peak = peakBitrate_.load();
    const CappedRates r = RatesFor(bitrate, (mode == kRateControlVbr && peak >= bitrate) ? peak : 0);
    codecApi_->SetValue(CodecProperty::LowLatencyMode, 1);
    codecApi_->SetValue(CodecProperty::RealTime, 1);
    codecApi_->SetValue(CodecProperty::RateControlMode, mode == kRateControlQuality ? kRateControlModeQuality
                                                        : mode == kRateControlVbr ? kRateControlModePeakConstrainedVbr
                                                                                  : kRateControlModeCbr);
    codecApi_->SetValue(CodecProperty::MeanBitRate, r.mean);
    codecApi_->SetValue(CodecProperty::MaxBitRate, r.max);
    if (r.bufferBits) codecApi_->SetValue(CodecProperty::BufferSize, r.bufferBits);
    codecApi_->SetValue(CodecProperty::Quality, QualityPercent(quality_));
    codecApi_->SetValue(CodecProperty::GopSize, static_cast<uint32_t>(gopSize_.load()));
    codecApi_->SetValue(CodecProperty::BPictureCount, 0);
    if (r.bufferBits)
        Log(kLog, kLogInfo, "frame-size cap %u bytes at %d fps: mean %u bps (asked %u), max %u bps, buffer %u bits",
            frameSizeCap_.load(), fps_.load(), r.mean, bitrate, r.max, r.bufferBits);
    else
        Log(kLog, kLogInfo, "frame-size cap off (VX_NO_FRAME_CAP=1): mean %u bps, max %u bps, no buffer limit", r.mean,
            r.max);
}

void MediaFoundationEncoder::RefreshParameterSets() {
    paramSets_.clear();
    if (!transform_) return;
    MediaType type;
    if (Succeeded(transform_->GetOutputCurrentType(0, &type)) && !type.sequenceHeader.empty())
        ExtractParameterSets(type.sequenceHeader.data(), type.sequenceHeader.size(), codec_.load(), paramSets_);
}

size_t MediaFoundationEncoder::ParamSetsSize() {
    // Once events flow, the event thread may renegotiate them.
    std::lock_guard<std::mutex> g(asyncLock_);
    return paramSets_.size();
}

bool MediaFoundationEncoder::ConfigureLocked(int width, int height, uint32_t bitrate, int fps) {
    TeardownLocked();
    if (width < 16 || height < 16 || fps < 1) {
        Log(kLog, kLogError, "Configure: invalid %dx%d@%d", width, height, fps);
        return false;
    }
    if (bitrate == 0) bitrate = kDefaultBitrate;
    width_.store(width);
    height_.store(height);
    fps_.store(fps);
    bitrate_.store(bitrate);
    keyframeEmitted_.store(false);
    keyframeRequested_.store(true);
    ySize_ = static_cast<size_t>(width) * static_cast<size_t>(height);
    uvSize_ = ySize_ / 2;
    frameSize_ = ySize_ + uvSize_;
    frameDuration_ = 10'000'000 / fps;
    gpuResidentAllowed_ = false;
    gpuResidentStatus_.clear();
    emergencyQpActive_ = false;

    // Device on the preferred vendor's adapter.
    const uint32_t preferred = engineId_ == "intel" ? 0x8086 : engineId_ == "amd" ? 0x1002
                               : engineId_ == "nvidia"                              ? 0x10DE
                                                                                    : 0;
    AdapterInfo adapter;
    HResult hr = kE_FAIL;
    if (ChooseAdapter(preferred, &adapter)) {
        hr = platform_->CreateDevice(&adapter, &device_);
        if (Succeeded(hr) && device_)
            Log(kLog, kLogInfo, "D3D11 device on adapter: \"%s\"", adapter.description.c_str());
        else
            Log(kLog, kLogInfo, "D3D11CreateDevice(explicit %s) failed %s — retrying default",
                adapter.description.c_str(), HrText(hr).c_str());
    }
    if (!device_) {
        hr = platform_->CreateDevice(nullptr, &device_);
        if (Failed(hr) || !device_) {
            device_.reset();
            Log(kLog, kLogInfo, "D3D11CreateDevice failed %s — continuing CPU-only",
                HrText(Failed(hr) ? hr : kE_FAIL).c_str());
        }
    }
    if (device_) {
        hr = platform_->CreateDeviceManager(*device_, &deviceManager_);
        if (Failed(hr) || !deviceManager_) {
            deviceManager_.reset();
            Log(kLog, kLogInfo, "MFCreateDXGIDeviceManager failed %s — continuing without",
                HrText(Failed(hr) ? hr : kE_FAIL).c_str());
        }
    }

    const bool asyncEnabled = asyncHwEncodersEnabled_ ? asyncHwEncodersEnabled_() : false;
    Candidate c;
    const bool found = SearchCandidates(asyncEnabled, &c);
    bool usable = false;
    if (found) {
        transform_ = std::move(c.transform);
        codecApi_ = transform_->GetCodecApi();
        isGpuTransform_ = c.async || c.gpu;
        TransformAttributes attrs;
        if (Succeeded(transform_->GetAttributes(&attrs))) d3d11Aware_ = attrs.d3d11Aware;
        gpuResidentAllowed_ = GpuResidentPolicy(c.name);
        usable = true;
        if (!isGpuTransform_ && codec_.load() == kCodecHevc &&
            static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kSwHevcPixelCap) {
            Log(kLog, kLogError,
                "Refusing %dx%d on SW HEVC MFT \"%s\" — above %.1f MPx cap (HW HEVC unavailable: async MFTs not yet supported)",
                width, height, c.name.c_str(), 6.0);
            codecApi_ = nullptr;
            transform_->Shutdown();
            transform_.reset();
            usable = false;
        }
    }
    if (!usable) {
        noTransformLog_.Write("No encoder MFT accepted our media types (codec=%s %dx%d@%d %u bps)",
            CodecWord(codec_.load()), width, height, fps, bitrate);
        SetDescription("");
        TeardownLocked();
        return false;
    }

    const char* path = c.async ? "HW-async" : c.gpu ? "HW" : "SW";
    char desc[256];
    std::snprintf(desc, sizeof desc, "%s [%s, %dx%d %s @ %d fps, %u Mbps]", c.name.c_str(), path, width, height,
                  codec_.load() == kCodecH264 ? "H.264" : "HEVC", fps, bitrate / 1'000'000);
    SetDescription(desc);

    ApplyCodecSettings();
    RefreshParameterSets();
    keyframeRequested_.store(true);
    sampleTime_ = 0;
    framesSinceKeyframe_ = 0;

    SetupGpuResident(width, height);
    Log(kLog, kLogInfo, "[DidEzo] GPU-resident status: %s", gpuResidentStatus_.c_str());

    if (c.async) {
        if (!StartAsync()) {
            Log(kLog, kLogError, "Async MFT setup failed — releasing and falling back");
            TeardownLocked();
            return false;
        }
        Log(kLog, kLogInfo, "Configure OK (async): %dx%d @ %d fps, %u bps, codec=%s, gop=%d, ps=%zuB", width, height,
            fps, bitrate, CodecWord(codec_.load()), gopSize_.load(), ParamSetsSize());
        return true;
    }
    transform_->ProcessMessage(TransformMessage::CommandFlush, nullptr);
    // A transform that accepted the types can still fail to open (libx265 below
    // its smallest frame); it would then fail every frame. Only E_NOTIMPL means
    // the transform simply ignores the message.
    hr = transform_->ProcessMessage(TransformMessage::NotifyBeginStreaming, nullptr);
    if (Failed(hr) && hr != kE_NOTIMPL) {
        Log(kLog, kLogError, "BEGIN_STREAMING failed %s — encoder did not open (codec=%s %dx%d@%d)",
            HrText(hr).c_str(), CodecWord(codec_.load()), width, height, fps);
        TeardownLocked();
        return false;
    }
    transform_->ProcessMessage(TransformMessage::NotifyStartOfStream, nullptr);
    hr = platform_->CreateMemoryBuffer(frameSize_, &inputBuffer_);
    if (Failed(hr) || !inputBuffer_) {
        Log(kLog, kLogError, "MFCreateMemoryBuffer failed 0x%08lx", U(Failed(hr) ? hr : kE_FAIL));
        TeardownLocked();
        return false;
    }
    hr = platform_->CreateSample(&inputSample_);
    if (Failed(hr) || !inputSample_) {
        TeardownLocked();
        return false;
    }
    inputSample_->AddBuffer(inputBuffer_);
    Log(kLog, kLogInfo, "Configure OK: %dx%d @ %d fps, %u bps, codec=%s, gop=%d, ps=%zuB", width, height, fps,
        bitrate, CodecWord(codec_.load()), gopSize_.load(), paramSets_.size());
    return true;
}

// Automatic policy: NVIDIA transforms only. The status text for every other
// encoder says so, and an Intel transform often sits on another adapter than
// the device we chose (NVIDIA wins the adapter ranking), where its textures
// cannot be fed from ours. VX_GPU_RESIDENT_ENCODE=1 opts any encoder in.
bool MediaFoundationEncoder::GpuResidentPolicy(const std::string& name) const {
    const std::string& env = gpuResidentEncodeEnv_ ? *gpuResidentEncodeEnv_ : EnvOnce("VX_GPU_RESIDENT_ENCODE");
    if (env == "1") return true;
    if (env == "0") return false;
    return name.find("NVIDIA") != std::string::npos || name.find("Nvidia") != std::string::npos ||
           name.find("nvidia") != std::string::npos;
}

std::string MediaFoundationEncoder::GpuResidentStatusText() const {
    std::lock_guard<std::mutex> g(lock_);
    return gpuResidentStatus_;
}

bool MediaFoundationEncoder::GpuResidentInUse() const {
    std::lock_guard<std::mutex> g(lock_);
    return gpuResidentActive_ && !gpuResidentLatched_;
}

bool MediaFoundationEncoder::GpuConvertLatched() const {
    std::lock_guard<std::mutex> g(lock_);
    return gpuConvertLatched_;
}

void MediaFoundationEncoder::TeardownLocked() {
    if (transform_) SetDescription("");
    if (asyncMode_) DrainAsync();
    if (transform_) transform_->ProcessMessage(TransformMessage::CommandFlush, nullptr);
    WaitGpuIdle();
    if (transform_) {
        if (asyncMode_) asyncStopping_.store(true);
        transform_->ProcessMessage(TransformMessage::NotifyEndOfStream, nullptr);
        transform_->ProcessMessage(TransformMessage::NotifyEndStreaming, nullptr);
        // Before release, and before Detach: a shut-down transform refuses
        // BeginGetEvent, so an event callback in flight cannot re-arm a
        // request that outlives us, and a hardware encoder frees its session.
        const HResult hr = transform_->Shutdown();
        if (Failed(hr) && hr != kE_NOTIMPL) Log(kLog, kLogInfo, "transform Shutdown failed %s", HrText(hr).c_str());
    }
    if (asyncMode_) {
        // Detach before touching asyncLock_: an event in flight finishes first,
        // and a late one finds no owner.
        if (asyncCallback_) asyncCallback_->Detach();
        eventGenerator_.reset();
        asyncCallback_.reset();
        std::lock_guard<std::mutex> g(asyncLock_);
        inputQueue_.clear();
        needSlots_ = 0;
        asyncMode_ = false;
    }
    codecApi_ = nullptr;
    transform_.reset();
    inputBuffer_.reset();
    inputSample_.reset();
    WaitGpuIdle();
    ReleaseGpuResident();
    ReleaseGpuConverter();
    shader_.reset();
    deviceManager_.reset();
    device_.reset();
    gpuConvertLatched_ = false;
    gpuResidentActive_ = false;
    gpuResidentLatched_ = false;
    gpuResidentFrames_ = 0;
    isGpuTransform_ = false;
    d3d11Aware_ = false;
    gpuResidentAllowed_ = false;
    emergencyQpActive_ = false;
    paramSets_.clear();
    width_.store(0);
    height_.store(0);
    fps_.store(30);
    ySize_ = uvSize_ = frameSize_ = 0;
    sampleTime_ = 0;
    frameDuration_ = 0;
}

}  // namespace Veltrix
