// A test encoder whose Clone and Configure can fail or be slow, and whose
// output can lag its input (so a clone's keyframe comes late). Frames are
// identified by the timestamp handed to Encode: each output carries
// 8 bytes (encoder serial, frame id) and the frame id as its timestamp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "encoder/hardware_encoder.h"

namespace Veltrix::testing {

// Shared by an encoder and all its clones.
class ScriptedEncoder;

struct ScriptedStats {
    std::mutex mutex;
    std::map<int, int> teardowns;  // serial -> explicit Teardown calls
    std::map<int, int> destroyed;  // serial -> destructor runs
    std::atomic<int> created{0};
    std::atomic<int> cloneCalls{0};
    std::atomic<int> configureCalls{0};
    std::atomic<ScriptedEncoder*> lastClone{nullptr};  // valid while its owner keeps it

    // Script for clones.
    std::atomic<bool> failClone{false};
    std::atomic<int> cloneLagFrames{0};    // output lag of new clones
    std::atomic<bool> emitOnTeardown{false};  // Teardown emits frame id kStrayId
    // When gated, Clone blocks until the gate opens.
    std::mutex gateMutex;
    std::condition_variable gateSignal;
    bool gated = false;
    int blockedInClone = 0;

    void CloseGate();
    void OpenGate();
    bool WaitBlockedInClone(int n);
    int TeardownsOf(int serial);
};

constexpr uint32_t kStrayId = 0xDEADu;

// Decoded output of a scripted encoder.
struct ScriptedFrame {
    int serial;
    uint32_t id;
    bool keyframe;
};
bool DecodeScripted(const uint8_t* data, size_t size, ScriptedFrame* out);

class ScriptedEncoder final : public IHardwareEncoder {
public:
    ScriptedEncoder(std::shared_ptr<ScriptedStats> stats, int lagFrames);
    ~ScriptedEncoder() override;

    int Serial() const { return serial_; }

    bool Configure(int width, int height, uint32_t bitrateBps, int fps) override;
    void Teardown() override;
    bool Ready() const override { return ready_.load(); }
    int Width() const override { return width_.load(); }
    int Height() const override { return height_.load(); }
    int Fps() const override { return fps_.load(); }
    std::string Description() const override { return "scripted"; }
    void Encode(const uint8_t*, int, int, int, int64_t timestampUs) override;
    void RequestKeyframe() override { keyRequest_.store(true); }
    void SetBitrate(uint32_t bps) override { bitrate_.store(bps); }
    uint32_t Bitrate() const override { return bitrate_.load(); }
    void SetPeakBitrate(uint32_t p) override { peak_.store(p); }
    uint32_t Peak() const { return peak_.load(); }
    void SetGopSize(int gop) override { gop_.store(gop < 1 ? 1 : gop); }
    int GopSize() const override { return gop_.load(); }
    void SetCodec(int c) override { codec_.store(c); }
    int Codec() const override { return codec_.load(); }
    void SetRateControl(int mode, float) override { rc_.store(mode); }
    int RateControl() const override { return rc_.load(); }
    void EmergencyCompress(int frames) override { emergency_.store(frames); }
    int Emergency() const { return emergency_.load(); }
    void SetFrameSizeCap(uint32_t cap) override { cap_.store(cap); }
    uint32_t FrameSizeCap() const override { return cap_.load(); }
    void SetOutputCallback(EncodedFrameCallback cb) override;
    std::unique_ptr<IHardwareEncoder> Clone(const EncoderConfig& cfg) override;
    bool HasEmittedKeyframe() const override { return emittedKey_.load(); }
    void ForceKeyframe() override { keyRequest_.store(true); }
    void SetQualityMode(float) override {}
    void SetHrdBufferBits(int64_t, int64_t) override {}

private:
    void Deliver(uint32_t id, bool key);

    std::shared_ptr<ScriptedStats> stats_;
    const int serial_;
    const int lag_;
    std::atomic<bool> ready_{false};
    std::atomic<int> width_{0}, height_{0}, fps_{30}, gop_{1}, codec_{0}, rc_{0}, emergency_{0};
    std::atomic<uint32_t> bitrate_{0}, peak_{0}, cap_{kDefaultFrameSizeCap};
    std::atomic<bool> keyRequest_{true};
    std::atomic<bool> emittedKey_{false};

    std::mutex encodeMutex_;  // one Encode at a time, as a real transform
    std::deque<std::pair<uint32_t, bool>> inFlight_;

    std::mutex callbackMutex_;
    EncodedFrameCallback callback_;
};

}  // namespace Veltrix::testing
