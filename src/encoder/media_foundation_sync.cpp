// The synchronous driver: one frame in, every ready output out, on the caller's thread.
#include "encoder/media_foundation_encoder_internal.h"

namespace Veltrix {

using namespace media;
using namespace mf_detail;

void MediaFoundationEncoder::EncodeSyncSystemMemory(const uint8_t* src, int pitch) {
    const auto start = std::chrono::steady_clock::now();
    uint8_t* data = nullptr;
    size_t maxLen = 0, curLen = 0;
    HResult hr = inputBuffer_->Lock(&data, &maxLen, &curLen);
    if (Failed(hr) || !data || maxLen < frameSize_) {
        if (Succeeded(hr)) inputBuffer_->Unlock();
        if (Succeeded(hr)) hr = kE_FAIL;
        const uint32_t n = lockFailures_.fetch_add(1) + 1;
        if (n == 1)
            Log(kLog, kLogError, "MF buffer Lock failed hr=%s — frame dropped (encoder-side, not network; counter now=%u)",
                HrText(hr).c_str(), 1u);
        return;
    }
    ConvertToNv12(src, pitch, data);
    inputBuffer_->SetCurrentLength(frameSize_);
    inputBuffer_->Unlock();
    const auto encodeStart = std::chrono::steady_clock::now();

    inputSample_->SetTime(sampleTime_);
    inputSample_->SetDuration(frameDuration_);
    EmergencyQp();
    KeyframeDecision(*inputSample_);

    hr = transform_->ProcessInput(0, *inputSample_);
    if (hr == kMF_E_NOTACCEPTING) {
        DrainOutput(sampleTime_);
        hr = transform_->ProcessInput(0, *inputSample_);
    }
    if (Failed(hr)) {
        Log(kLog, kLogError, "ProcessInput failed 0x%08lx", U(hr));
        return;
    }
    const int64_t t = sampleTime_;
    sampleTime_ += frameDuration_;
    DrainOutput(t);
    const auto end = std::chrono::steady_clock::now();
    RecordStageTime(Stage::kEncode, MicrosBetween(encodeStart, end));
    RecordConvertTime(std::chrono::duration<double, std::micro>(end - start).count(), "CPU-readback");
}

void MediaFoundationEncoder::EncodeSyncGpuResident(const uint8_t* src, int pitch) {
    const auto start = std::chrono::steady_clock::now();
    auto record = [&] {
        RecordConvertTime(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count(),
            "GPU-resident");
    };
    std::shared_ptr<Sample> sample = SubmitGpuResident(src, pitch);
    const auto encodeStart = std::chrono::steady_clock::now();
    RecordStageTime(Stage::kConvert, MicrosBetween(start, encodeStart));
    if (!sample) {
        record();
        return;
    }
    sample->SetTime(sampleTime_);
    sample->SetDuration(frameDuration_);
    EmergencyQp();
    KeyframeDecision(*sample);
    HResult hr = transform_->ProcessInput(0, *sample);
    if (hr == kMF_E_NOTACCEPTING) {
        DrainOutput(sampleTime_);
        hr = transform_->ProcessInput(0, *sample);
    }
    sample.reset();
    if (Failed(hr)) {
        if (!gpuResidentLatched_)
            Log(kLog, kLogError, "[DidEzo] ProcessInput(D3D sample) failed %s — latching CPU fallback",
                HrText(hr).c_str());
        gpuResidentLatched_ = true;
        keyframeRequested_.store(true);
        record();
        return;
    }
    const int64_t t = sampleTime_;
    sampleTime_ += frameDuration_;
    DrainOutput(t);
    RecordStageTime(Stage::kEncode, MicrosBetween(encodeStart, std::chrono::steady_clock::now()));
    record();
}

void MediaFoundationEncoder::DrainOutput(int64_t t) {
    int changes = 0;
    for (;;) {
        if (!transform_) return;
        OutputStreamInfo info;
        if (Failed(transform_->GetOutputStreamInfo(0, &info))) return;
        std::shared_ptr<Sample> sample;
        if (!info.providesSamples) {
            std::shared_ptr<MediaBuffer> buffer;
            if (Failed(platform_->CreateSample(&sample)) || !sample) return;
            if (Failed(platform_->CreateMemoryBuffer(info.sampleSize ? info.sampleSize : 1'048'576, &buffer)) ||
                !buffer)
                return;
            sample->AddBuffer(buffer);
        }
        HResult hr = transform_->ProcessOutput(0, &sample);
        if (hr == kMF_E_TRANSFORM_NEED_MORE_INPUT) return;
        if (hr == kMF_E_TRANSFORM_STREAM_CHANGE) {
            MediaType type;
            HResult get = transform_->GetOutputAvailableType(0, 0, &type);
            HResult set = Succeeded(get) ? transform_->SetOutputType(0, type) : kE_FAIL;
            if (Succeeded(get) && Succeeded(set)) RefreshParameterSets();
            if (Failed(get) || Failed(set)) {
                Log(kLog, kLogError,
                    "ProcessOutput STREAM_CHANGE renegotiation failed get=0x%08lx set=0x%08lx — aborting drain", U(get),
                    U(set));
                return;
            }
            if (++changes >= kMaxStreamChanges) {
                Log(kLog, kLogError, "ProcessOutput STREAM_CHANGE looped %d× — aborting drain", changes);
                return;
            }
            continue;
        }
        if (Failed(hr)) {
            Log(kLog, kLogError, "ProcessOutput failed 0x%08lx", U(hr));
            return;
        }
        if (sample) DeliverOutput(sample.get(), static_cast<uint64_t>(t / 10));
    }
}

}  // namespace Veltrix
