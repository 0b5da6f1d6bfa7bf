// The one network endpoint and pacer a process shares between all transmit
// instances: starts them once, fans phone events out to the registered
// instances, caches the phone's encoder settings for instances created later,
// and turns the instances' clocks into the playback state the phone sees.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "network/network_transport.h"
#include "support/clock.h"
#include "transmit/transmit_client.h"
#include "transport/pacer.h"

namespace Veltrix {

// The encoder settings the phone last asked for (-1 / 0: never asked).
struct ClientSettingsCache {
    std::int32_t quality = -1;
    std::int32_t maxShortSide = 0;
    std::int32_t codec = -1;        // 1 H.264, 0 HEVC
    std::int32_t gopSize = 0;
    std::int32_t gopMode = -1;      // raw wire byte 0..3
    std::int32_t encoderMode = -1;  // 0 bitrate, 1 quality, 2 VBR
    bool hasSettings = false;
};

// What the status panel shows about the encoder.
struct EncoderStatus {
    std::uint32_t engineByte = 0;
    std::string description;
    std::uint8_t isH264 = 0;
    std::uint8_t gopClass = 0;  // 0: GOP <= 1, 1: 2..5, 3: 6 and more
    std::uint8_t valid = 0;
};

// GOP class of a GOP length, as EncoderStatus reports it.
std::uint8_t GopClassOf(int gopSize);

class SharedTransport {
public:
    struct Options {
        NetworkTransport::Collaborators network;   // defaults: production collaborators
        Clock* clock = nullptr;                    // Clock::Real() when null (pacer)
        std::optional<std::uint16_t> controlPort;  // default: by host kind; 0 = ephemeral
        std::uint16_t videoPort = 47101;           // the phone's media ports
        std::uint16_t audioPort = 47102;
        // Host transport opcodes 0x20..0x29; default HandleTransportOpcode.
        std::function<bool(std::uint8_t)> transportOpcode;
    };

    // The process-wide singleton, created on first call; nothing is started.
    static SharedTransport& Instance();

    SharedTransport();
    explicit SharedTransport(Options options);
    ~SharedTransport();
    SharedTransport(const SharedTransport&) = delete;
    SharedTransport& operator=(const SharedTransport&) = delete;

    // Starts listener, UDP sender and pacer once (again after Shutdown).
    void EnsureStarted();
    // Registers an instance (starting the transport) and replays the cached
    // settings into it when a phone is paired.
    void Acquire(ITransmitClient* instance);
    void Release(ITransmitClient* instance);
    // Counts running clocks / non-scrubbing audio pushes; sends kPlaybackState on change.
    void SetClockRunning(bool running);
    bool AnyInstanceActive();
    std::size_t InstanceCount();

    void SetCachedCodec(int codec);
    void SetCachedGopMode(int mode);
    void SetCachedGopSize(int size);
    void SetCachedMaxShortSide(int cap);
    void SetCachedEncoderMode(int mode, int quality);
    ClientSettingsCache GetClientSettings() const;

    void SetEncoderStatus(const EncoderStatus& status);
    EncoderStatus GetEncoderStatus() const;

    // The control-channel send (dropped while no phone is paired).
    bool SendControl(std::uint8_t opcode, const void* payload, std::size_t length);
    bool PeerKnown() const { return network_->PeerKnown(); }

    // Media wire counters: the next frame number, and a block of `count`
    // sequence numbers (returns the first).
    std::uint16_t NextVideoFrameNumber() { return videoFrame_.fetch_add(1); }
    std::uint16_t NextAudioFrameNumber() { return audioFrame_.fetch_add(1); }
    std::uint32_t ReserveVideoSequence(std::uint32_t count) { return videoSequence_.fetch_add(count); }
    std::uint32_t ReserveAudioSequence(std::uint32_t count) { return audioSequence_.fetch_add(count); }

    Pacer& GetPacer() { return *pacer_; }
    NetworkTransport& Network() { return *network_; }

    // Stops pacer and network (joined); instances, caches and callbacks stay.
    void Shutdown();
    bool Started() const { return started_.load(); }

private:
    void OnControlMessage(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length);
    void OnClientReady();
    void OnUdpFailures();
    void ReplaySettings(ITransmitClient* instance);

    Options options_;
    Clock& clock_;
    std::unique_ptr<NetworkTransport> network_;
    std::unique_ptr<Pacer> pacer_;

    std::mutex instancesMutex_;
    std::vector<ITransmitClient*> instances_;

    std::mutex startMutex_;
    std::atomic<bool> started_{false};

    std::mutex playbackMutex_;
    int runningClocks_ = 0;
    bool playbackState_ = false;

    std::atomic<std::int32_t> cQuality_{-1}, cMaxShortSide_{0}, cCodec_{-1}, cGopSize_{0}, cGopMode_{-1},
        cEncoderMode_{-1};
    std::atomic<bool> cHasSettings_{false};

    std::atomic<std::uint16_t> videoFrame_{0}, audioFrame_{0};
    std::atomic<std::uint32_t> videoSequence_{0}, audioSequence_{0};

    mutable std::mutex statusMutex_;
    EncoderStatus status_;
};

}  // namespace Veltrix
