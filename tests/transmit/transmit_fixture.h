// The fixture of the transmit-instance tests: a shared transport on ephemeral
// ports, a fake host, test encoders and a phone that pairs over loopback.
#pragma once

#include "transmit/transmit_instance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "encoder/encoder_pipeline.h"
#include "support/log.h"
#include "tests/testing/log_lines.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"
#include "transmit/shared_transport.h"
#include "transmit_fakes.h"

namespace Veltrix {
namespace {

using namespace std::chrono_literals;
using testing::EncoderControl;
using testing::FakeHost;
using testing::Frame;
using testing::TestEncoder;
using testing::WirePhone;

using Bytes = std::vector<std::uint8_t>;

using testing::Eventually;

inline std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline std::vector<int> Opcodes(const std::vector<Frame>& frames) {
    std::vector<int> ops;
    for (const Frame& f : frames) ops.push_back(f.opcode);
    return ops;
}

inline std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t U32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A BGRA picture the fake PPix suite hands out.
inline std::unique_ptr<TxPPix> Picture(int w, int h, std::uint32_t format = kTxPixelFormatBgra) {
    auto p = std::make_unique<TxPPix>();
    p->rowBytes = w * 4;
    p->pixels.assign(static_cast<std::size_t>(p->rowBytes) * static_cast<std::size_t>(h), 0x55);
    p->bounds = TxRect{0, 0, w, h};
    p->format = format;
    return p;
}

// A phone command whose payload is one short string (length byte, then the text).
inline Bytes ShortStringCommand(std::uint8_t op, const std::string& text) {
    Bytes b(2 + text.size());
    b[0] = op;
    b[1] = static_cast<std::uint8_t>(text.size());
    if (!text.empty()) std::memcpy(b.data() + 2, text.data(), text.size());
    return b;
}

// The host's clock callback: records the elapsed ticks of every call.
inline void CountTicks(void* context, std::int64_t ticks) {
    auto* seen = static_cast<std::vector<std::int64_t>*>(context);
    seen->push_back(ticks);
}

class TransmitInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        NetInit();  // the receivers exist before the transport starts the socket layer
        video_ = CreateUdpReceiver(0);
        audio_ = CreateUdpReceiver(0);
        ASSERT_NE(video_, kInvalid);
        ASSERT_NE(audio_, kInvalid);
        SharedTransport::Options o;
        o.network.clock = &netClock_;
        o.network.createDialog = [this] { return std::make_unique<testing::RecordingDialog>(dialog_); };
        o.network.findPeer = [](const std::string&) { return std::optional<TrustedPeer>(); };
        o.network.upsertPeer = [](const TrustedPeer&) { return true; };
        o.network.advertise = false;
        o.controlPort = 0;
        o.videoPort = LocalPort(video_);
        o.audioPort = LocalPort(audio_);
        o.transportOpcode = [this](std::uint8_t op) {
            std::lock_guard<std::mutex> l(opsMutex_);
            transportOps_.push_back(op);
            return true;
        };
        transport_ = std::make_unique<SharedTransport>(o);
    }

    void TearDown() override {
        instances_.clear();
        transport_->Shutdown();
        transport_.reset();
        Close(video_);
        Close(audio_);
        NetShutdown();
    }

    TransmitInstance::Collaborators Seams(Clock* clock) {
        TransmitInstance::Collaborators c;
        c.transport = transport_.get();
        c.clock = clock;
        auto control = encoders_;
        c.createDefaultEncoder = [control] { return std::make_unique<TestEncoder>(control); };
        c.createForEngine = [control](const std::string& id) -> std::unique_ptr<IHardwareEncoder> {
            {
                std::lock_guard<std::mutex> l(control->m);
                control->engines.push_back(id);
            }
            if (id.rfind("broken", 0) == 0) return nullptr;
            return std::make_unique<TestEncoder>(control);
        };
        c.enumerateEngines = [] {
            return std::vector<EngineInfo>{{"nvidia", "NVIDIA NVENC", ""}, {"software", "Software", "CPU"}};
        };
        c.nudgeThroughBridge = [this] {
            ++bridgeNudges_;
            return false;
        };
        c.keyboardNudge = [this] { ++keyboardNudges_; };
        return c;
    }

    TransmitInstance& NewInstance(Clock* clock = nullptr) {
        instances_.push_back(std::make_unique<TransmitInstance>(host_.Basic(), Seams(clock ? clock : &clock_)));
        return *instances_.back();
    }

    std::uint16_t Port() {
        Eventually([&] { return transport_->Network().ListeningPort() != 0; });
        return transport_->Network().ListeningPort();
    }

    std::string WaitCode() { return testing::TakeCode(dialog_); }

    // Pairs and reads everything up to the transmit state that follows pairing.
    std::vector<Frame> Connect(WirePhone& phone) {
        EXPECT_TRUE(phone.Pair([this] { return WaitCode(); }));
        std::vector<Frame> frames;
        for (;;) {
            Frame f = phone.Next();
            if (f.opcode < 0) break;
            frames.push_back(f);
            if (f.opcode == 0x35) break;
        }
        EXPECT_TRUE(Eventually([&] { return transport_->PeerKnown(); }));
        return frames;
    }

    void Push(TransmitInstance& inst, TxPPix& pic) {
        const TxLabeledFrame frame{HandleOf(pic), nullptr};
        TxPushVideo video{};
        video.frames = &frame;
        video.frameCount = 1;
        inst.PushVideo(&video);
    }

    std::string LogText() { return testing::ReadFileText(LogFilePath()); }

    void DrainVideo() {
        while (ReceiveDatagram(video_, 50)) {
        }
    }
    std::optional<Bytes> ReceiveDatagram(SocketHandle s, int ms = 5000) { return testing::ReceiveDatagram(s, ms); }

    testing::ScopedTestDirs dirs_;
    testing::ManualClock clock_;
    testing::ManualClock netClock_;  // never moves: no heartbeats, no transmit-state polls
    FakeHost host_;
    testing::DialogRecord dialog_;
    std::shared_ptr<EncoderControl> encoders_ = std::make_shared<EncoderControl>();
    std::mutex opsMutex_;
    std::vector<std::uint8_t> transportOps_;
    std::atomic<int> bridgeNudges_{0}, keyboardNudges_{0};
    SocketHandle video_ = kInvalid, audio_ = kInvalid;
    std::unique_ptr<SharedTransport> transport_;
    std::vector<std::unique_ptr<TransmitInstance>> instances_;
};


}  // namespace
}  // namespace Veltrix
