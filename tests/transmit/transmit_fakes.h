// What the transmit-instance tests stand in for: the host's suites, a phone
// that reads whole control frames, and an encoder whose output can be cut.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "encoder/mock_encoder.h"
#include "network/socket.h"
#include "sdk/transmit_sdk.h"
#include "tests/testing/recording_dialog.h"
#include "ui/pairing_dialog.h"

// A host picture as the fake PPix suite hands it out. Its handle is the
// address of `self`, as a PPix handle points at the host's pointer to it.
struct TxPPix {
    TxPPix() = default;
    TxPPix(const TxPPix&) = delete;
    TxPPix& operator=(const TxPPix&) = delete;
    TxPPix* self = this;
    std::vector<std::uint8_t> pixels;
    TxRect bounds{};
    std::int32_t rowBytes = 0;
    std::uint32_t format = kTxPixelFormatBgra;
    int disposed = 0;
    std::int32_t lastAccess = -1;  // the access mode the plug-in last asked pixels with
};
inline TxPPixHandle HandleOf(TxPPix& p) { return &p.self; }

namespace Veltrix::testing {

// The host's basic suite with the PPix, Playmod audio and Time suites behind it.
// One host per process at a time (the suites are plain C function tables).
class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    const TxBasicSuite* Basic() const;

    std::atomic<std::int64_t> ticksPerSecond{kTxDefaultTicksPerSecond};
    std::atomic<bool> timeSuiteMissing{false};
    std::atomic<std::uint32_t> lastPullSamples{0};
    std::atomic<int> pulls{0};
    std::atomic<std::int32_t> lastPullPlayId{0};
    std::atomic<int> acquired{0}, released{0};

    static FakeHost* current;
};

// Control frames as the phone reads them (heartbeats skipped).
struct Frame {
    int opcode = -1;  // -1 closed, -2 timeout
    std::vector<std::uint8_t> payload;
};

class WirePhone {
public:
    explicit WirePhone(std::uint16_t port);
    ~WirePhone();
    WirePhone(const WirePhone&) = delete;
    WirePhone& operator=(const WirePhone&) = delete;

    bool Send(const std::vector<std::uint8_t>& bytes);
    // Hello, challenge, code from the dialog, acceptance; true when paired.
    bool Pair(const std::function<std::string()>& waitCode);
    Frame Next(int ms = 5000);
    // Sends a retired setting and reads up to its acknowledgement: everything
    // the plug-in sent before it comes back in order.
    std::vector<Frame> Sync(int ms = 5000);

private:
    SocketHandle s_;
};

// Shared switches of every TestEncoder a factory hands out.
struct EncoderControl {
    std::atomic<bool> mute{false};
    std::atomic<std::uint32_t> frameSizeCap{kDefaultFrameSizeCap};
    std::atomic<int> created{0};
    std::atomic<bool> failConfigure{false};  // no encoder takes the stream
    std::atomic<int> configures{0};
    std::mutex m;
    std::string description = "Test encoder";
    std::vector<std::string> engines;  // engine ids asked of the factory
};

// MockEncoder with a description and output that can be cut.
class TestEncoder final : public IHardwareEncoder {
public:
    TestEncoder(std::shared_ptr<EncoderControl> control, std::unique_ptr<MockEncoder> inner = nullptr);

    bool Configure(int w, int h, std::uint32_t b, int f) override {
        control_->configures.fetch_add(1);
        failed_ = control_->failConfigure.load();
        return !failed_ && inner_->Configure(w, h, b, f);
    }
    void Teardown() override { inner_->Teardown(); }
    bool Ready() const override { return !failed_ && inner_->Ready(); }
    int Width() const override { return inner_->Width(); }
    int Height() const override { return inner_->Height(); }
    int Fps() const override { return inner_->Fps(); }
    std::string Description() const override;
    void Encode(const std::uint8_t* p, int w, int h, int s, std::int64_t t) override { inner_->Encode(p, w, h, s, t); }
    void RequestKeyframe() override { inner_->RequestKeyframe(); }
    void SetBitrate(std::uint32_t b) override { inner_->SetBitrate(b); }
    std::uint32_t Bitrate() const override { return inner_->Bitrate(); }
    void SetPeakBitrate(std::uint32_t b) override { inner_->SetPeakBitrate(b); }
    void SetGopSize(int g) override { inner_->SetGopSize(g); }
    int GopSize() const override { return inner_->GopSize(); }
    void SetCodec(int c) override { inner_->SetCodec(c); }
    int Codec() const override { return inner_->Codec(); }
    void SetRateControl(int m, float q) override { inner_->SetRateControl(m, q); }
    int RateControl() const override { return inner_->RateControl(); }
    void EmergencyCompress(int f) override { inner_->EmergencyCompress(f); }
    void SetFrameSizeCap(std::uint32_t c) override { inner_->SetFrameSizeCap(c); }
    std::uint32_t FrameSizeCap() const override { return inner_->FrameSizeCap(); }
    void SetOutputCallback(EncodedFrameCallback cb) override;
    std::unique_ptr<IHardwareEncoder> Clone(const EncoderConfig& cfg) override;
    bool HasEmittedKeyframe() const override { return inner_->HasEmittedKeyframe(); }
    void ForceKeyframe() override { inner_->ForceKeyframe(); }
    void SetQualityMode(float q) override { inner_->SetQualityMode(q); }
    void SetHrdBufferBits(std::int64_t a, std::int64_t b) override { inner_->SetHrdBufferBits(a, b); }

private:
    std::shared_ptr<EncoderControl> control_;
    std::unique_ptr<MockEncoder> inner_;
    std::atomic<bool> failed_;  // made while no encoder takes the stream, or its last Configure failed
};

// One media datagram received on a test UDP port.
std::optional<std::vector<std::uint8_t>> ReceiveDatagram(SocketHandle s, int ms = 5000);

}  // namespace Veltrix::testing
