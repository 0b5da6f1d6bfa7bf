// The audio and playback-clock side of a transmit instance.
#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "network/control_protocol.h"
#include "support/log.h"
#include "support/threads.h"
#include "transmit/shared_transport.h"
#include "transmit/transmit_instance.h"
#include "transport/packetizer.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "transmit"};

constexpr std::int64_t kSilenceTimeoutNs = 1'500'000'000;
// Keeps a host's odd frame duration from asking for absurd pull buffers.
constexpr std::uint64_t kMaxPullSamples = 1u << 20;

std::atomic<unsigned long long> gPushCount{0};

}  // namespace

void TransmitInstance::SetAudioFormat(float sampleRate, std::int32_t channels) {
    const std::uint32_t rate =
        sampleRate > 0.0f && sampleRate < 4.0e9f ? static_cast<std::uint32_t>(sampleRate) : 48000u;
    audioRate_.store(rate == 0 ? 48000u : rate);
    audioChannels_.store(2);  // the phone plays stereo whatever the host says
    Log(kLog, kLogInfo, "SetAudioFormat rate=%u ch=%u", audioRate_.load(), audioChannels_.load());
}

void TransmitInstance::SetAudioPushActive(bool active, bool scrubbing) {
    audioPushing_.store(active);
    if (!active || scrubbing) {
        if (countedRunning_.exchange(false)) transport_.SetClockRunning(false);
    } else if (!countedRunning_.exchange(true)) {
        transport_.SetClockRunning(true);
    }
}

void TransmitInstance::PushAudio(const TxPushAudio* audio) {
    const unsigned long long n = gPushCount.fetch_add(1);
    if (n % 200 == 0)
        Log(kLog, kLogDebug, "[dx] PushAudio #%llu: samples=%u ch=%u", n, audio ? audio->sampleCount : 0u,
            audio ? audio->channelCount : 0u);
    if (audio && audio->sampleCount != 0 && audio->channelCount != 0 && audio->buffers)
        SendAudioSamples(audio->buffers, audio->sampleCount, audio->channelCount);
}

bool TransmitInstance::SendAudioState(bool enabled) {
    const std::uint8_t value = enabled ? 1 : 0;
    if (!transport_.SendControl(kAudioState, &value, 1)) return false;
    Log(kLog, kLogInfo, "SendControl: kAudioState enabled=%d", value);
    return true;
}

void TransmitInstance::SetAudioOutputEnabled(bool enabled) {
    if (audioOutputEnabled_.exchange(enabled) == enabled) return;
    Log(kLog, kLogInfo, "SetAudioOutputEnabled: %d", enabled ? 1 : 0);
    SendAudioState(enabled);
}

void TransmitInstance::SendAudioSamples(const float* const* channels, std::uint32_t sampleCount,
                                        std::uint32_t channelCount) {
    if (!channels || sampleCount == 0 || channelCount == 0) return;
    audioSeen_.store(true);
    if (!audioOutputEnabled_.load()) SetAudioOutputEnabled(true);
    if (!active_.load() || !transport_.PeerKnown()) return;

    // The header has one byte for the channel count.
    const std::uint8_t count = static_cast<std::uint8_t>(std::min<std::uint32_t>(channelCount, 255));
    std::vector<std::uint8_t> payload;
    BuildAudioPayload(audioRate_.load(), channels, count, sampleCount, payload);
    const std::uint32_t frameTime = static_cast<std::uint32_t>(FrameTimeUs());
    for (std::size_t offset = 0; offset < payload.size(); offset += kMaxFramePayload) {
        const std::size_t length = std::min(kMaxFramePayload, payload.size() - offset);
        const std::size_t total = ExpectedFragmentCount(length, 0);
        if (total == 0) continue;
        const std::uint16_t frameNumber = transport_.NextAudioFrameNumber();
        std::uint32_t sequence = transport_.ReserveAudioSequence(static_cast<std::uint32_t>(total));
        FrameGroup group;
        group.kind = StreamKind::kAudio;
        group.datagrams.reserve(total);
        if (!PacketizeGroup(kStreamTypeAudio, false, 0, frameNumber, sequence, frameTime, payload.data() + offset,
                            length, false, group, clock_))
            continue;
        transport_.GetPacer().EnqueueAudio(std::move(group));
    }
}

void TransmitInstance::StartClock(TxClockCallback callback, void* context, std::int32_t mode, std::int32_t playId) {
    std::lock_guard<std::mutex> lifecycle(clockLifecycle_);
    if (mode != kTxPlayModePlaying || !callback || clockRunning_.load()) return;
    // A thread that left on its own (never happens while running) is joined first.
    if (clockThread_.joinable()) clockThread_.join();
    clockRunning_.store(true);
    if (!countedRunning_.exchange(true)) transport_.SetClockRunning(true);
    clockCallback_ = callback;
    clockContext_ = context;
    playId_ = playId;

    std::int64_t tps = ticksPerSecond_.load();
    if (tps <= 0 && basicSuite_) {
        const void* suite = nullptr;
        if (basicSuite_->AcquireSuite(kTxTimeSuiteName, kTxTimeSuiteVersion, &suite) == kTxSpErrorNone && suite) {
            std::int64_t value = 0;
            static_cast<const TxTimeSuite*>(suite)->GetTicksPerSecond(&value);
            if (value > 0) {
                tps = value;
                ticksPerSecond_.store(value);
            }
            basicSuite_->ReleaseSuite(kTxTimeSuiteName, kTxTimeSuiteVersion);
        }
    }
    if (tps <= 0) tps = kTxDefaultTicksPerSecond;

    ClockParams params;
    params.ticksPerSecond = tps;
    params.fps = std::clamp(fps_.load(), 1, 240);
    params.audioSuite = audioSuite_.load();
    params.playId = playId;
    params.callback = callback;
    params.context = context;
    Log(kLog, kLogInfo, "StartClock: fps=%d ticksPerSecond=%lld playID=%d audioSuite=%p", params.fps,
        static_cast<long long>(tps), playId, static_cast<const void*>(params.audioSuite));
    audioSeen_.store(false);
    try {
        clockThread_ = std::thread([this, params] { ClockLoop(params); });
    } catch (...) {
        clockRunning_.store(false);
        if (countedRunning_.exchange(false)) transport_.SetClockRunning(false);
        Log(kLog, kLogError, "StartClock: clock thread could not start");
    }
}

void TransmitInstance::StopClock() {
    std::lock_guard<std::mutex> lifecycle(clockLifecycle_);
    if (!clockRunning_.exchange(false)) return;
    if (countedRunning_.exchange(false)) transport_.SetClockRunning(false);
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
    }
    clockWake_.notify_all();
    if (clockThread_.joinable()) clockThread_.join();
    clockCallback_ = nullptr;
    clockContext_ = nullptr;
    Log(kLog, kLogInfo, "StopClock");
}

void TransmitInstance::ClockLoop(ClockParams params) {
    SetCurrentThreadName("vx-clock");
    const Clock::duration period(1'000'000'000LL / params.fps);
    const Clock::time_point start = clock_.Now();
    Clock::time_point last = start;
    std::vector<float> left, right;
    unsigned long long pulls = 0, pullErrors = 0;
    while (clockRunning_.load()) {
        {
            std::unique_lock<std::mutex> lock(clockMutex_);
            clock_.WaitUntil(clockWake_, lock, clock_.Now() + period, [this] { return !clockRunning_.load(); });
        }
        if (!clockRunning_.load()) break;
        const Clock::time_point now = clock_.Now();
        const long double elapsedNs = static_cast<long double>((now - last).count());
        last = now;
        // Ticks per second times nanoseconds overflows 64 bits beyond about 36 ms.
        const auto ticks = static_cast<std::int64_t>(static_cast<long double>(params.ticksPerSecond) * elapsedNs / 1e9L);
        params.callback(params.context, ticks);

        if (!audioSeen_.load() && now - start >= Clock::duration(kSilenceTimeoutNs) &&
            audioOutputEnabled_.exchange(false)) {
            Log(kLog, kLogInfo, "SetAudioOutputEnabled: %d", 0);
            SendAudioState(false);
        }

        if (params.audioSuite && params.playId != 0) {
            const std::int64_t tpf = ticksPerFrame_.load();
            const std::int64_t tps = ticksPerSecond_.load();
            const std::uint32_t rate = audioRate_.load();
            std::uint64_t samples = 0;
            if (tpf > 0 && tps > 0) {
                const long double exact = static_cast<long double>(tpf) * rate / static_cast<long double>(tps);
                samples = exact >= static_cast<long double>(kMaxPullSamples) ? kMaxPullSamples
                                                                              : static_cast<std::uint64_t>(exact);
            } else {
                samples = rate / static_cast<std::uint32_t>(std::max(params.fps, 1));
            }
            if (samples == 0) continue;
            const auto n = static_cast<std::uint32_t>(samples);
            if (left.size() < n) {
                left.resize(n);
                right.resize(n);
            }
            float* buffers[2] = {left.data(), right.data()};
            const TxSuiteError result = params.audioSuite->GetNextAudioBuffer(params.playId, nullptr, buffers, n);
            if (result < 0) {
                if (pullErrors++ % 100 == 0)
                    Log(kLog, kLogDebug, "[dx] GetNextAudioBuffer err=0x%08x (want=%u playID=%d)",
                        static_cast<unsigned>(result), n, params.playId);
            } else {
                const float* const channels[2] = {left.data(), right.data()};
                SendAudioSamples(channels, n, 2);
                if (pulls++ % 200 == 0)
                    Log(kLog, kLogDebug, "[dx] pull audio #%llu: samples=%u rate=%u", pulls, n, rate);
            }
        }
    }
}

}  // namespace Veltrix
