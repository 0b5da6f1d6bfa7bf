// The contract every video encoder meets: 8-bit BGRA frames in, H.264/HEVC
// access units (Annex-B) out through a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Veltrix {

// Codec values (the control protocol uses the same numbers).
constexpr int32_t kCodecHevc = 0;  // HEVC Main; the default everywhere.
constexpr int32_t kCodecH264 = 1;  // H.264 High.

// The smallest frame side an encoder of the codec opens at, at our bit rates:
// 16 for H.264; 32 for HEVC, whose encoders need a whole 32-pixel coding tree
// unit each way (libx265 refuses anything smaller).
constexpr int32_t MinimumFrameSide(int32_t codec) { return codec == kCodecH264 ? 16 : 32; }

// Rate-control modes.
constexpr int32_t kRateControlBitrate = 0;  // constant bitrate at the mean; the default
constexpr int32_t kRateControlQuality = 1;  // quality-driven
constexpr int32_t kRateControlVbr = 2;      // mean plus a peak

// GOP sizes the phone's GOP modes map to. 1 means every frame is a keyframe.
constexpr int32_t kGopAllIntra = 1;
constexpr int32_t kGopShort = 5;
constexpr int32_t kGopLong = 600;

// The phone's GOP mode numbers (2, "automatic", is accepted but no longer applied).
constexpr int32_t kGopModeAllIntra = 0;
constexpr int32_t kGopModeShort = 1;
constexpr int32_t kGopModeAuto = 2;
constexpr int32_t kGopModeLong = 3;

// Frame-size cap: told to the phone, and the ceiling the encoders hold each
// frame to (frame_size_cap.h) so that every frame carries parity.
constexpr uint32_t kDefaultFrameSizeCap = 340'000;
constexpr uint32_t kMinFrameSizeCap = 100'000;
constexpr uint32_t kMaxFrameSizeCap = 20'000'000;

constexpr float kDefaultQuality = 0.75f;
constexpr int32_t kDefaultFps = 30;

// Wanted configuration handed to Clone and to in-place reconfiguration.
// Ten 4-byte fields, in this order.
struct EncoderConfig {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = kDefaultFps;
    uint32_t bitrateBps = 0;
    uint32_t peakBitrateBps = 0;  // VBR only; 0 = none
    int32_t gopSize = 1;
    int32_t codec = kCodecHevc;
    int32_t rateControl = kRateControlBitrate;
    float quality = kDefaultQuality;            // 0..1
    uint32_t frameSizeCap = kDefaultFrameSizeCap;  // 0 means kDefaultFrameSizeCap
};
static_assert(sizeof(EncoderConfig) == 40, "EncoderConfig is ten 4-byte fields");

// One encoded access unit: Annex-B bytes (valid only during the call), the
// random-access flag and the presentation time in microseconds on the
// encoder's own frame clock.
using EncodedFrameCallback =
    std::function<void(const uint8_t* data, size_t size, bool keyframe, uint64_t timestampUs)>;

// One selectable encoder engine shown to the phone.
struct EngineInfo {
    std::string id;      // machine id the phone sends back ("nvidia", "software", ...)
    std::string label;   // display name
    std::string detail;  // explanatory line, may be empty
};

class IHardwareEncoder {
public:
    // Tears down (as Teardown) and releases everything.
    virtual ~IHardwareEncoder() = default;

    // Builds the complete set-up; true on success. Bitrate comes before fps.
    virtual bool Configure(int width, int height, uint32_t bitrateBps, int fps) = 0;
    // Releases the set-up; safe to call repeatedly; afterwards Ready() is false.
    virtual void Teardown() = 0;
    // A configured transform exists.
    virtual bool Ready() const = 0;
    // Configured width / height (0 when not configured), fps (30 when not configured).
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual int Fps() const = 0;
    // One-line description of the configured encoder; empty when not configured.
    virtual std::string Description() const = 0;

    // Submits one frame; output arrives through the callback, on this thread or another.
    // The timestamp argument is not used for output stamps.
    virtual void Encode(const uint8_t* bgra, int width, int height, int strideBytes,
                        int64_t timestampUs) = 0;
    // The next submitted frame is encoded as a keyframe.
    virtual void RequestKeyframe() = 0;

    // Mean bitrate, live where possible.
    virtual void SetBitrate(uint32_t bps) = 0;
    virtual uint32_t Bitrate() const = 0;
    // Peak bitrate; meaningful in VBR mode only.
    virtual void SetPeakBitrate(uint32_t maxBps) = 0;
    // GOP size (stored as at least 1); re-runs Configure when configured.
    virtual void SetGopSize(int gop) = 0;
    virtual int GopSize() const = 0;
    // Codec; re-runs Configure when configured.
    virtual void SetCodec(int codec) = 0;
    virtual int Codec() const = 0;
    // Rate-control mode and quality; re-runs Configure when configured.
    virtual void SetRateControl(int mode, float quality) = 0;
    virtual int RateControl() const = 0;
    // The next `frames` frames use the coarsest quantiser, starting with a keyframe.
    virtual void EmergencyCompress(int frames) = 0;
    // Stores the frame-size cap (clamped to kMinFrameSizeCap..kMaxFrameSizeCap);
    // a configured encoder holds its rate control to the new value at once.
    virtual void SetFrameSizeCap(uint32_t cap) = 0;
    virtual uint32_t FrameSizeCap() const = 0;

    // Replaces the output callback; an empty callable drops output.
    virtual void SetOutputCallback(EncodedFrameCallback cb) = 0;
    // A new encoder of the same kind and engine configured from cfg; null when
    // its Configure fails.
    virtual std::unique_ptr<IHardwareEncoder> Clone(const EncoderConfig& cfg) = 0;
    // A keyframe has been delivered to the callback since the last Configure.
    virtual bool HasEmittedKeyframe() const = 0;
    // Keyframe request after an in-place reconfiguration; same as RequestKeyframe.
    virtual void ForceKeyframe() = 0;
    // Quality 0..1, applied live in Quality mode.
    virtual void SetQualityMode(float q) = 0;
    // Applies a mean and a maximum bitrate live.
    virtual void SetHrdBufferBits(int64_t bufferBits, int64_t averageBps) = 0;
};

}  // namespace Veltrix
