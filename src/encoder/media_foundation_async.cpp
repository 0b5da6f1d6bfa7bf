// The asynchronous driver: input on the transform's NeedInput credit, output on
// HaveOutput, both from the platform's event thread; drain on teardown.
#include "encoder/media_foundation_encoder_internal.h"

namespace Veltrix {

using namespace media;
using namespace mf_detail;

bool MediaFoundationEncoder::StartAsync() {
    std::shared_ptr<EventGenerator> generator;
    if (Failed(transform_->GetEventGenerator(&generator)) || !generator) return false;
    Log(kLog, kLogInfo, "async: event generator acquired");
    asyncStopping_.store(false);
    {
        std::lock_guard<std::mutex> g(asyncLock_);
        inputQueue_.clear();
        needSlots_ = 0;
    }
    eventGenerator_ = generator;
    asyncCallback_ = std::make_shared<AsyncEventCallback>(this);
    HResult hr = generator->BeginGetEvent(asyncCallback_);
    if (Failed(hr)) {
        Log(kLog, kLogError, "async: BeginGetEvent failed %s", HrText(hr).c_str());
        asyncCallback_->Detach();
        asyncCallback_.reset();
        eventGenerator_.reset();
        return false;
    }
    Log(kLog, kLogInfo, "async: BeginGetEvent armed");
    hr = transform_->ProcessMessage(TransformMessage::NotifyBeginStreaming, nullptr);
    Log(kLog, kLogInfo, "async: NOTIFY_BEGIN_STREAMING %s", HrText(hr).c_str());
    hr = transform_->ProcessMessage(TransformMessage::NotifyStartOfStream, nullptr);
    Log(kLog, kLogInfo, "async: NOTIFY_START_OF_STREAM %s", HrText(hr).c_str());
    asyncMode_ = true;
    return true;
}

void MediaFoundationEncoder::EncodeAsync(const uint8_t* src, int pitch) {
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<Sample> sample;
    const char* label = "CPU-readback(async)";
    if (gpuResidentActive_ && !gpuResidentLatched_) {
        label = "GPU-resident(async)";
        sample = SubmitGpuResident(src, pitch);
    } else {
        std::shared_ptr<MediaBuffer> buffer;
        uint8_t* data = nullptr;
        size_t maxLen = 0, curLen = 0;
        if (Succeeded(platform_->CreateMemoryBuffer(frameSize_, &buffer)) && buffer &&
            Succeeded(platform_->CreateSample(&sample)) && sample) {
            if (Succeeded(buffer->Lock(&data, &maxLen, &curLen)) && data && maxLen >= frameSize_) {
                ConvertToNv12(src, pitch, data);
                buffer->SetCurrentLength(frameSize_);
                buffer->Unlock();
                sample->AddBuffer(buffer);
            } else {
                if (data) buffer->Unlock();
                sample.reset();
            }
        } else {
            sample.reset();
        }
    }
    if (sample) {
        sample->SetTime(sampleTime_);
        sample->SetDuration(frameDuration_);
        KeyframeDecision(*sample);
        sampleTime_ += frameDuration_;
    }
    RecordConvertTime(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count(),
                      label);
    if (!sample) return;
    const char* outcome;
    size_t queued = 0;
    int32_t slots;
    {
        std::lock_guard<std::mutex> g(asyncLock_);
        if (needSlots_ < 1) {
            // No credit: keep only the newest two frames waiting.
            while (inputQueue_.size() >= 2) inputQueue_.pop_front();
            inputQueue_.push_back(std::move(sample));
            outcome = "queued";
            queued = inputQueue_.size();
        } else {
            --needSlots_;
            const HResult hr = transform_->ProcessInput(0, *sample);
            sample.reset();
            if (Failed(hr)) Log(kLog, kLogError, "async: ProcessInput (from push) failed %s", HrText(hr).c_str());
            outcome = "SUBMITTED";
        }
        slots = needSlots_;
    }
    if (gPushMessages.fetch_add(1) < 8)
        Log(kLog, kLogInfo, "async: push %s (queue=%zu needSlots=%d)", outcome, queued, slots);
}

void MediaFoundationEncoder::OnAsyncEvent(AsyncResult& result) {
    if (asyncStopping_.load() || !eventGenerator_ || !transform_) return;
    uint32_t type = 0;
    HResult hr = eventGenerator_->EndGetEvent(result, &type);
    if (Failed(hr)) {
        Log(kLog, kLogInfo, "async: EndGetEvent failed %s", HrText(hr).c_str());
    } else {
        if (gEventMessages.fetch_add(1) < 32) {
            const char* name = type == kMETransformNeedInput       ? "NeedInput"
                               : type == kMETransformHaveOutput    ? "HaveOutput"
                               : type == kMETransformDrainComplete ? "DrainComplete"
                               : type == kMEError                  ? "Error"
                                                                   : "other";
            Log(kLog, kLogInfo, "async: event %s (0x%x)", name, type);
        }
        if (type == kMETransformNeedInput) {
            std::lock_guard<std::mutex> g(asyncLock_);
            if (!inputQueue_.empty()) {
                std::shared_ptr<Sample> sample = std::move(inputQueue_.front());
                inputQueue_.pop_front();
                const HResult in = transform_->ProcessInput(0, *sample);
                if (Failed(in)) Log(kLog, kLogError, "async: ProcessInput (queued) failed %s", HrText(in).c_str());
            } else {
                ++needSlots_;
            }
        } else if (type == kMETransformHaveOutput) {
            std::lock_guard<std::mutex> g(asyncLock_);
            ProcessOutputAsync();
        } else if (type == kMETransformDrainComplete) {
            std::lock_guard<std::mutex> g(drainLock_);
            drained_ = true;
            drainSignal_.notify_all();
        }
    }
    if (!asyncStopping_.load()) {
        hr = eventGenerator_->BeginGetEvent(asyncCallback_);
        if (Failed(hr)) Log(kLog, kLogError, "async: BeginGetEvent failed %s", HrText(hr).c_str());
    }
}

void MediaFoundationEncoder::ProcessOutputAsync() {
    OutputStreamInfo info;
    if (Failed(transform_->GetOutputStreamInfo(0, &info))) return;
    std::shared_ptr<Sample> sample;
    if (!info.providesSamples) {
        std::shared_ptr<MediaBuffer> buffer;
        if (Failed(platform_->CreateSample(&sample)) || !sample) return;
        if (Failed(platform_->CreateMemoryBuffer(info.sampleSize ? info.sampleSize : 1'048'576, &buffer)) || !buffer)
            return;
        sample->AddBuffer(buffer);
    }
    const HResult hr = transform_->ProcessOutput(0, &sample);
    if (hr == kMF_E_TRANSFORM_NEED_MORE_INPUT) return;
    if (hr == kMF_E_TRANSFORM_STREAM_CHANGE) {
        MediaType type;
        if (Succeeded(transform_->GetOutputAvailableType(0, 0, &type)) && Succeeded(transform_->SetOutputType(0, type)))
            RefreshParameterSets();
        return;
    }
    if (Failed(hr)) {
        Log(kLog, kLogError, "async: ProcessOutput failed %s", HrText(hr).c_str());
        return;
    }
    if (sample) DeliverOutput(sample.get(), static_cast<uint64_t>(sample->Time() / 10));
}

void MediaFoundationEncoder::DrainAsync() {
    if (!transform_ || !asyncMode_ || asyncStopping_.load()) return;
    {
        std::lock_guard<std::mutex> g(drainLock_);
        drained_ = false;
    }
    const HResult hr = transform_->ProcessMessage(TransformMessage::CommandDrain, nullptr);
    if (Failed(hr)) {
        Log(kLog, kLogInfo, "async: DRAIN message failed %s — falling back to GPU-idle", HrText(hr).c_str());
        WaitGpuIdle();
        return;
    }
    bool drained;
    {
        std::unique_lock<std::mutex> l(drainLock_);
        drained = clock_.WaitUntil(drainSignal_, l, clock_.Now() + kDrainLimit, [this] { return drained_; });
    }
    if (drained) {
        Log(kLog, kLogInfo, "async: DRAIN complete — MFT consumed all queued input");
    } else {
        Log(kLog, kLogInfo, "async: DRAIN wait timed out (2s) — proceeding to GPU-idle");
        WaitGpuIdle();
    }
}

}  // namespace Veltrix
