// MediaFoundationEncoder: the production IHardwareEncoder. Chooses an adapter
// and an encoder transform, sets media types and codec properties, feeds NV12
// frames to a synchronous transform and delivers Annex-B access units. All
// platform calls go through media::Platform, so the decisions are the same on
// every platform and testable with a scripted platform.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoder/frame_size_cap.h"
#include "encoder/hardware_encoder.h"
#include "encoder/media_platform.h"
#include "encoder/nv12_converter.h"
#include "support/clock.h"
#include "support/repeated_log.h"

namespace Veltrix {

// The BGRA to NV12 compute shader (HLSL, cs_5_0, entry "main").
extern const char kBgraToNv12Shader[];

// "S_OK (0x00000000)" for known codes, "0x%08lx" otherwise.
std::string HrText(media::HResult hr);

// Appends the Annex-B parameter sets of an avcC (codec H.264) or hvcC record.
void ExtractParameterSets(const uint8_t* header, size_t size, int codec, std::vector<uint8_t>& paramSets);

// True when the Annex-B bytes hold an IDR slice (H.264) or an IRAP picture (HEVC).
bool ContainsRandomAccessNal(const uint8_t* data, size_t size, bool hevc);

// Length-prefixed NAL units to Annex-B (4-byte start codes); Annex-B input is copied.
void AssembleAnnexB(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

struct MediaFoundationEncoderOptions {
    std::shared_ptr<media::Platform> platform;  // null: media::DefaultPlatform()
    // The install setting that allows asynchronous hardware transforms; null: off.
    std::function<bool()> asyncHwEncodersEnabled;
    // Bounds the wait for an asynchronous drain; null: the real clock.
    Clock* clock = nullptr;
    // Values of "VX_GPU_RESIDENT_ENCODE" and "VX_NO_FENCE" instead of the
    // process environment (read once per process otherwise).
    std::optional<std::string> gpuResidentEncodeEnv;
    std::optional<std::string> noFenceEnv;
    // Value of "VX_NO_FRAME_CAP" ("1": rates as asked, frames may exceed the cap).
    std::optional<std::string> noFrameCapEnv;
};

class MediaFoundationEncoder final : public IHardwareEncoder {
public:
    MediaFoundationEncoder();
    explicit MediaFoundationEncoder(MediaFoundationEncoderOptions options);
    ~MediaFoundationEncoder() override;

    MediaFoundationEncoder(const MediaFoundationEncoder&) = delete;
    MediaFoundationEncoder& operator=(const MediaFoundationEncoder&) = delete;

    bool Configure(int width, int height, uint32_t bitrateBps, int fps) override;
    void Teardown() override;
    bool Ready() const override;
    int Width() const override { return width_.load(); }
    int Height() const override { return height_.load(); }
    int Fps() const override { return fps_.load(); }
    std::string Description() const override;
    void Encode(const uint8_t* bgra, int width, int height, int strideBytes, int64_t timestampUs) override;
    void RequestKeyframe() override { keyframeRequested_.store(true); }
    void SetBitrate(uint32_t bps) override;
    uint32_t Bitrate() const override { return bitrate_.load(); }
    void SetPeakBitrate(uint32_t maxBps) override;
    void SetGopSize(int gop) override;
    int GopSize() const override { return gopSize_.load(); }
    void SetCodec(int codec) override;
    int Codec() const override { return codec_.load(); }
    void SetRateControl(int mode, float quality) override;
    int RateControl() const override { return rateControl_.load(); }
    void EmergencyCompress(int frames) override;
    void SetFrameSizeCap(uint32_t cap) override;
    uint32_t FrameSizeCap() const override { return frameSizeCap_.load(); }
    void SetOutputCallback(EncodedFrameCallback cb) override;
    std::unique_ptr<IHardwareEncoder> Clone(const EncoderConfig& cfg) override;
    bool HasEmittedKeyframe() const override { return keyframeEmitted_.load(); }
    void ForceKeyframe() override { keyframeRequested_.store(true); }
    void SetQualityMode(float q) override;
    void SetHrdBufferBits(int64_t bufferBits, int64_t averageBps) override;

    // Engine id for the next Configure, lower-cased; empty means "auto".
    void SetEngine(const std::string& engineId);
    std::string Engine() const;
    uint32_t PeakBitrate() const { return peakBitrate_.load(); }
    float Quality() const;
    int EmergencyFramesLeft() const { return emergencyFrames_.load(); }

    // Description of the most recently configured encoder of the process.
    static std::string CurrentEncoderDescription();

    // GPU-resident input: the status text of the last Configure, and whether it is in use.
    std::string GpuResidentStatusText() const;
    bool GpuResidentInUse() const;
    // The read-back converter has been given up until the next Configure.
    bool GpuConvertLatched() const;

private:
    struct Candidate;
    class AsyncEventCallback;
    friend class AsyncEventCallback;
    bool ConfigureLocked(int width, int height, uint32_t bitrateBps, int fps);
    void TeardownLocked();
    bool ChooseAdapter(uint32_t preferredVendor, media::AdapterInfo* out);
    bool SearchCandidates(bool asyncEnabled, Candidate* found);
    bool TryTransform(media::Transform& t, const char* label, bool asyncEnabled, bool* gpu, bool* async);
    void ApplyCodecSettings();
    // The rates handed to the transform: the stored ones held to the frame-size cap.
    CappedRates RatesFor(uint32_t mean, uint32_t max) const;
    bool FrameCapOff() const;
    void RefreshParameterSets();
    bool StartAsync();
    void EncodeSyncSystemMemory(const uint8_t* bgra, int pitch);
    void EncodeSyncGpuResident(const uint8_t* bgra, int pitch);
    void EncodeAsync(const uint8_t* bgra, int pitch);
    void ConvertToNv12(const uint8_t* bgra, int pitch, uint8_t* nv12);
    void EmergencyQp();
    void KeyframeDecision(media::Sample& sample);
    void DrainOutput(int64_t t);
    void DeliverOutput(media::Sample* sample, uint64_t timestampUs);
    void RecordConvertTime(double us, const char* label);
    void SetDescription(const std::string& text);
    void ReconfigureIfConfiguredLocked();
    bool GpuResidentPolicy(const std::string& friendlyName) const;
    size_t ParamSetsSize();

    // Asynchronous driver (events arrive on the platform's thread).
    void OnAsyncEvent(media::AsyncResult& result);
    void ProcessOutputAsync();
    void DrainAsync();
    void WaitGpuIdle();

    // GPU conversion.
    bool CompileNv12Shader();
    bool CreateGpuConverter(int width, int height);
    void ReleaseGpuConverter();
    bool GpuConvertReadback(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv, int width, int height);
    void LatchGpuConvert();
    bool UploadBgra(media::GpuObject& texture, const uint8_t* bgra, int pitch, int width, int height);
    bool SetupGpuResident(int width, int height);
    void ReleaseGpuResident();
    std::shared_ptr<media::Sample> SubmitGpuResident(const uint8_t* bgra, int pitch);
    void LatchGpuResident(const char* message);
    void FenceGpuResident();

    const std::shared_ptr<media::Platform> platform_;
    const std::function<bool()> asyncHwEncodersEnabled_;
    Clock& clock_;
    RepeatedLogLine noTransformLog_;  // the caller retries a set-up no transform accepts
    const std::optional<std::string> gpuResidentEncodeEnv_, noFenceEnv_, noFrameCapEnv_;
    bool platformStarted_ = false;

    mutable std::mutex lock_;  // the encoder lock
    std::string engineId_ = "auto";
    std::unique_ptr<media::Device> device_;
    std::unique_ptr<media::DeviceManager> deviceManager_;
    std::unique_ptr<media::Transform> transform_;
    media::CodecApi* codecApi_ = nullptr;  // owned by transform_
    std::shared_ptr<media::Sample> inputSample_;
    std::shared_ptr<media::MediaBuffer> inputBuffer_;
    size_t ySize_ = 0, uvSize_ = 0, frameSize_ = 0;
    std::vector<uint8_t> paramSets_;
    int64_t sampleTime_ = 0;
    int64_t frameDuration_ = 0;
    int32_t framesSinceKeyframe_ = 0;
    bool asyncMode_ = false;
    bool isGpuTransform_ = false;
    bool d3d11Aware_ = false;
    bool gpuResidentAllowed_ = false;
    bool emergencyQpActive_ = false;
    std::string gpuResidentStatus_;

    // Asynchronous driver. Lock order: lock_ -> asyncLock_; callback mutex -> asyncLock_.
    std::shared_ptr<media::EventGenerator> eventGenerator_;
    std::shared_ptr<AsyncEventCallback> asyncCallback_;
    std::mutex asyncLock_;
    std::deque<std::shared_ptr<media::Sample>> inputQueue_;  // at most two waiting for NeedInput
    int32_t needSlots_ = 0;
    std::atomic<bool> asyncStopping_{false};
    std::mutex drainLock_;
    std::condition_variable drainSignal_;
    bool drained_ = false;

    // GPU conversion objects (all on device_).
    media::GpuRef shader_;
    media::GpuRef upload_, uploadView_, yTexture_, yView_, yStaging_, uvTexture_, uvView_, uvStaging_;
    int converterWidth_ = 0, converterHeight_ = 0;
    bool gpuConvertLatched_ = false;
    uint64_t readbackConversions_ = 0;  // for the encoder's lifetime
    std::unique_ptr<media::SampleAllocator> allocator_;
    media::GpuRef residentUpload_, residentUploadView_, eventQuery_;
    bool gpuResidentActive_ = false;
    bool gpuResidentLatched_ = false;
    uint64_t gpuResidentFrames_ = 0;
    std::vector<uint8_t> output_;
    std::vector<uint8_t> scaled_;
    Nv12Converter converter_;
    double timingSumUs_ = 0;
    uint32_t timingCount_ = 0;
    float quality_ = 0.75f;

    std::atomic<int> width_{0}, height_{0}, fps_{30};
    std::atomic<uint32_t> bitrate_{0}, peakBitrate_{0}, frameSizeCap_{340000};
    std::atomic<int> gopSize_{1}, codec_{kCodecHevc}, rateControl_{kRateControlBitrate};
    std::atomic<int32_t> emergencyFrames_{0};
    std::atomic<bool> keyframeRequested_{true}, keyframeEmitted_{false};
    std::atomic<uint32_t> lockFailures_{0};

    mutable std::mutex descriptionLock_;
    std::string description_;

    std::mutex callbackLock_;
    EncodedFrameCallback callback_;
};

}  // namespace Veltrix
