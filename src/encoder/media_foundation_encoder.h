// MediaFoundationEncoder: the production IHardwareEncoder. Chooses an adapter
// and an encoder transform, sets media types and codec properties, feeds NV12
// frames to a synchronous transform and delivers Annex-B access units. All
// platform calls go through media::Platform, so the decisions are the same on
// every platform and testable with a scripted platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "encoder/media_platform.h"
#include "encoder/nv12_converter.h"

namespace Veltrix {

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

private:
    struct Candidate;
    bool ConfigureLocked(int width, int height, uint32_t bitrateBps, int fps);
    void TeardownLocked();
    bool ChooseAdapter(uint32_t preferredVendor, media::AdapterInfo* out);
    bool SearchCandidates(bool asyncEnabled, Candidate* found);
    bool TryTransform(media::Transform& t, const char* label, bool asyncEnabled, bool* gpu, bool* async);
    void ApplyCodecSettings();
    void RefreshParameterSets();
    bool StartAsync();
    void EncodeSyncSystemMemory(const uint8_t* bgra, int pitch);
    void KeyframeDecision(media::Sample& sample);
    void DrainOutput(int64_t t);
    void DeliverOutput(media::Sample* sample, uint64_t timestampUs);
    void RecordConvertTime(double us, const char* label);
    void SetDescription(const std::string& text);
    void ReconfigureIfConfiguredLocked();
    static bool GpuResidentPolicy(const std::string& friendlyName);
    std::string GpuResidentStatus(int width, int height) const;

    const std::shared_ptr<media::Platform> platform_;
    const std::function<bool()> asyncHwEncodersEnabled_;
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
