// Test double of IHardwareEncoder: every frame becomes the 4-byte access unit
// 00 00 00 01 with timestamp 0. Used by the pipeline self-test and by tests of
// the pipeline and the transmit path. Safe to call from several threads.
#pragma once

#include <atomic>
#include <mutex>

#include "encoder/hardware_encoder.h"

namespace Veltrix {

class MockEncoder final : public IHardwareEncoder {
public:
    MockEncoder() = default;
    ~MockEncoder() override;

    bool Configure(int width, int height, uint32_t bitrateBps, int fps) override;
    void Teardown() override;
    bool Ready() const override { return true; }
    int Width() const override { return width_.load(); }
    int Height() const override { return height_.load(); }
    int Fps() const override { return fps_.load(); }
    std::string Description() const override { return {}; }

    void Encode(const uint8_t* bgra, int width, int height, int strideBytes,
                int64_t timestampUs) override;
    void RequestKeyframe() override { keyframeRequest_.store(true); }

    void SetBitrate(uint32_t bps) override { bitrate_.store(bps); }
    uint32_t Bitrate() const override { return bitrate_.load(); }
    void SetPeakBitrate(uint32_t) override {}
    void SetGopSize(int gop) override { gop_.store(gop < 1 ? 1 : gop); }
    int GopSize() const override { return gop_.load(); }
    void SetCodec(int codec) override { codec_.store(codec); }
    int Codec() const override { return codec_.load(); }
    void SetRateControl(int mode, float) override { rateControl_.store(mode); }
    int RateControl() const override { return rateControl_.load(); }
    void EmergencyCompress(int) override {}
    void SetFrameSizeCap(uint32_t cap) override;
    uint32_t FrameSizeCap() const override { return frameSizeCap_.load(); }

    void SetOutputCallback(EncodedFrameCallback cb) override;
    std::unique_ptr<IHardwareEncoder> Clone(const EncoderConfig& cfg) override;
    bool HasEmittedKeyframe() const override { return frames_.load() > 0; }
    void ForceKeyframe() override { RequestKeyframe(); }
    void SetQualityMode(float) override {}
    void SetHrdBufferBits(int64_t, int64_t) override {}

    // When set, Teardown delivers one more keyframe (an encoder that flushes on end).
    void SetEmitOnEnd(bool on) { emitOnEnd_.store(on); }
    bool EmitOnEnd() const { return emitOnEnd_.load(); }
    // Frames counted by Encode.
    uint64_t FramesEncoded() const { return frames_.load(); }

private:
    void Deliver(bool keyframe);

    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
    std::atomic<int> fps_{kDefaultFps};
    std::atomic<int> gop_{1};
    std::atomic<uint32_t> bitrate_{0};
    std::atomic<uint32_t> frameSizeCap_{kDefaultFrameSizeCap};
    std::atomic<int> codec_{kCodecHevc};
    std::atomic<int> rateControl_{kRateControlBitrate};
    std::atomic<bool> emitOnEnd_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> keyframeRequest_{true};
    std::atomic<uint64_t> frames_{0};

    mutable std::mutex callbackLock_;
    EncodedFrameCallback callback_;
};

}  // namespace Veltrix
