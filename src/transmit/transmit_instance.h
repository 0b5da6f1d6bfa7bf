// One host transmit instance: turns the host's pushed BGRA frames and audio
// into encoded media on the wire, runs the host's playback clock, and applies
// the phone's commands to its encoder pipeline.
//
// PUBLIC CONTRACT (used by the module entry and the shared transport; keep
// these signatures). Private members are the implementer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "sdk/transmit_sdk.h"
#include "support/clock.h"
#include "transmit/transmit_client.h"

namespace Veltrix {

class SharedTransport;

class TransmitInstance final : public ITransmitClient {
public:
    // Seams, each replaceable in tests; empty members take the production ones.
    struct Collaborators {
        SharedTransport* transport = nullptr;  // SharedTransport::Instance()
        Clock* clock = nullptr;                // Clock::Real()
        std::function<std::unique_ptr<IHardwareEncoder>()> createDefaultEncoder;  // CreateDefaultEncoder
        std::function<std::unique_ptr<IHardwareEncoder>(const std::string&)> createForEngine;  // CreateForEngine
        std::function<std::vector<EngineInfo>()> enumerateEngines;  // EnumerateEngines
        std::function<bool()> nudgeThroughBridge;  // TryBridge(kNudge)
        std::function<void()> keyboardNudge;       // KeyboardNudge
    };

    explicit TransmitInstance(const TxBasicSuite* basicSuite);
    TransmitInstance(const TxBasicSuite* basicSuite, Collaborators collaborators);
    ~TransmitInstance() override;
    TransmitInstance(const TransmitInstance&) = delete;
    TransmitInstance& operator=(const TransmitInstance&) = delete;

    // False when the encoder factory gave none (the instance is dormant and
    // the module discards it).
    bool HasPipeline();

    // Video side.
    void Start();
    void Stop();
    void SetVideoFrameRate(std::int64_t ticksPerFrame);
    void PushVideo(const TxPushedVideo* video);
    void SwitchEngine(const std::string& engineId);

    // Audio and clock side.
    void SetAudioFormat(float sampleRate, std::int32_t channels);
    void SetAudioPushActive(bool active, bool scrubbing);
    void PushAudio(const TxPushedAudio* audio);
    void StartClock(TxClockCallback callback, void* context, std::int32_t mode, std::int32_t playId);
    void StopClock();
    void SetAudioOutputEnabled(bool enabled);
    void SendAudioSamples(const float* const* channels, std::uint32_t sampleCount, std::uint32_t channelCount);

    // ITransmitClient.
    void HandleControl(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) override;
    void OnNewClient() override;
    void ForceKeyFrameOnUdpFailures() override;
    bool IsActive() const override;

private:
    // (implementer's)
};

}  // namespace Veltrix
