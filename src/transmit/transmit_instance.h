// One host transmit instance: turns the host's pushed BGRA frames and audio
// into encoded media on the wire, runs the host's playback clock, and applies
// the phone's commands to its encoder pipeline.
//
// PUBLIC CONTRACT (used by the module entry and the shared transport; keep
// these signatures). Private members are the implementer's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "sdk/transmit_sdk.h"
#include "support/clock.h"
#include "support/repeated_log.h"
#include "support/shared_mutex.h"
#include "transmit/transmit_client.h"

namespace Veltrix {

class SharedTransport;
class EncoderPipeline;

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
    void PushVideo(const TxPushVideo* video);
    void SwitchEngine(const std::string& engineId);

    // Audio and clock side.
    void SetAudioFormat(float sampleRate, std::int32_t channels);
    void SetAudioPushActive(bool active, bool scrubbing);
    void PushAudio(const TxPushAudio* audio);
    // mode: the clock record's play mode (pmPlayMode); only kTxPlayModePlaying starts it.
    void StartClock(TxClockCallback callback, void* context, std::int32_t mode, std::int32_t playId);
    void StopClock();
    void SetAudioOutputEnabled(bool enabled);
    void SendAudioSamples(const float* const* channels, std::uint32_t sampleCount, std::uint32_t channelCount);

    // ITransmitClient.
    void HandleControl(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) override;
    void OnNewClient() override;
    void ForceKeyFrameOnUdpFailures() override;
    bool IsActive() const override;

    // Announcements to the phone (also driven by the control commands).
    void SendStreamInfoIfReady();
    void SendEncoderInfoIfChanged();
    void SendEncoderEngineList();
    void PublishEncoderStatus();
    void InvalidateDedup(bool forgetSource);

    // --- state readers (control commands, status, tests) ---
    std::shared_ptr<EncoderPipeline> Pipeline() const;
    std::int32_t ShortSideCap() const { return shortSideCap_.load(); }
    std::uint8_t EngineByte() const { return engineByte_.load(); }
    std::int32_t EncoderMode() const { return encoderMode_.load(); }
    std::string EngineId() const;
    std::int32_t Fps() const { return fps_.load(); }
    std::uint32_t AudioRate() const { return audioRate_.load(); }
    std::uint32_t AudioChannels() const { return audioChannels_.load(); }
    bool AudioOutputEnabled() const { return audioOutputEnabled_.load(); }
    bool CountedRunning() const { return countedRunning_.load(); }
    bool ClockRunning() const { return clockRunning_.load(); }
    bool StressDriverRunning() const { return stressRunning_.load(); }

private:
    struct ClockParams {
        std::int64_t ticksPerSecond = 0;
        std::int32_t fps = 30;
        const TxPlaymodAudioSuite* audioSuite = nullptr;
        std::int32_t playId = 0;
        TxClockCallback callback = nullptr;
        void* context = nullptr;
    };

    std::int64_t NowNs() const;
    std::uint64_t FrameTimeUs() const;
    void InstallEncoderCallback(const std::shared_ptr<EncoderPipeline>& pipeline);
    // The frame-accept step: runs on the encoder's output thread.
    void AcceptEncodedFrame(const std::uint8_t* data, std::size_t size, bool keyframe, std::uint64_t timestampUs);
    // The per-frame decisions and the hand-off to the encoder for one usable BGRA frame.
    void EncodeFrame(const std::uint8_t* pixels, int width, int height, int rowBytes);
    // Wire-overrun reactions are applied from a host thread, never from the output callback.
    void ApplyPendingOverrun(EncoderPipeline& pipeline);
    bool SendSourceChangedLocked(int width, int height, int fps);
    // Whether a first Configure of this target may be tried now; after a failure
    // the next try waits, longer each time, unless the target changes.
    bool ConfigureDue(std::uint64_t target, std::int64_t now);
    void ConfigureTried(std::uint64_t target, std::int64_t now, bool ok);
    bool SendAudioState(bool enabled);
    void ReleaseSuites();

    void ClockLoop(ClockParams params);
    void StartStressDriver();
    void StopStressDriver();
    void StressLoop();
    void RunSelfTest(const std::string& id);

    const TxBasicSuite* basicSuite_;
    Collaborators c_;
    SharedTransport& transport_;
    Clock& clock_;
    bool registered_ = false;

    std::atomic<const TxPPixSuite*> ppixSuite_{nullptr};
    std::atomic<const TxPlaymodAudioSuite*> audioSuite_{nullptr};
    std::mutex suiteMutex_;

    mutable SharedMutex pipelineLock_;
    std::shared_ptr<EncoderPipeline> pipeline_;

    std::atomic<bool> active_{false};
    std::int64_t createdAt_ = 0;
    std::atomic<std::int32_t> fps_{30};
    std::atomic<std::int64_t> ticksPerSecond_{0};
    std::atomic<std::int64_t> ticksPerFrame_{0};
    std::atomic<std::int32_t> shortSideCap_{0};
    std::atomic<std::uint8_t> engineByte_{0};
    std::atomic<std::int32_t> encoderMode_{0};
    mutable std::mutex engineMutex_;
    std::string engineId_ = "auto";

    std::recursive_mutex stateMutex_;
    int sourceWidth_ = 0, sourceHeight_ = 0, sourceFps_ = 0;
    int candWidth_ = 0, candHeight_ = 0, candFps_ = 0;
    std::int64_t candSince_ = 0;
    int sentWidth_ = 0, sentHeight_ = 0, sentFps_ = 0;
    std::string sentEncoderDesc_;

    std::mutex cacheMutex_;
    std::vector<std::uint8_t> cacheBytes_;
    int cacheWidth_ = 0, cacheHeight_ = 0, cacheRowBytes_ = 0;
    bool cacheValid_ = false;
    std::int64_t lastCacheTime_ = 0;

    std::atomic<std::int64_t> lastOutputTime_{0};
    std::atomic<std::int64_t> lastPushTime_{0};
    std::atomic<std::int64_t> lastStallRebuild_{0};
    std::uint32_t lastBadFormat_ = 0;
    // The last target raised to the codec's smallest frame (codec, width,
    // height packed; 0 = none), so each raise is logged once.
    std::atomic<std::uint64_t> lastRaisedTarget_{0};

    // While no encoder takes the stream (each try may open a device and write
    // the encoder's own errors): the target that failed last, when to try again.
    std::mutex configureRetryMutex_;
    std::uint64_t failedTarget_ = 0;
    std::int64_t nextConfigureAt_ = 0;
    std::int64_t configureBackoffNs_ = 0;
    RepeatedLogLine configureFailedLog_;

    std::atomic<bool> overrunPending_{false};
    std::atomic<std::size_t> overrunBytes_{0};
    std::atomic<std::size_t> overrunFragments_{0};

    // Audio and clock.
    std::atomic<std::uint32_t> audioRate_{48000};
    std::atomic<std::uint32_t> audioChannels_{2};
    std::atomic<bool> audioPushing_{false};
    std::atomic<bool> countedRunning_{false};
    std::atomic<bool> audioOutputEnabled_{true};
    std::atomic<bool> audioSeen_{false};
    std::atomic<bool> clockRunning_{false};
    std::mutex clockLifecycle_;  // serialises StartClock and StopClock
    std::mutex clockMutex_;      // the clock thread's wait
    std::condition_variable clockWake_;
    std::thread clockThread_;
    TxClockCallback clockCallback_ = nullptr;
    void* clockContext_ = nullptr;
    std::int32_t playId_ = 0;

    // Synthetic frame driver (VX_STRESS).
    std::mutex stressLifecycle_;
    std::mutex stressMutex_;
    std::condition_variable stressWake_;
    std::atomic<bool> stressRunning_{false};
    std::thread stressThread_;
};

}  // namespace Veltrix
