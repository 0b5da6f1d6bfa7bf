// The phone's commands as one transmit instance applies them, the built-in
// self-tests they can start, and the synthetic frame driver.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "encoder/encoder_pipeline.h"
#include "encoder/mock_encoder.h"
#include "network/control_protocol.h"
#include "support/log.h"
#include "support/threads.h"
#include "transmit/shared_transport.h"
#include "transmit/transmit_instance.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "transmit"};

constexpr std::uint32_t kPacingFloor = 300'000'000;
constexpr std::uint8_t kSnapshotQuality = 70;

struct GopChoice {
    int size;
    const char* name;
};

GopChoice GopForMode(std::uint8_t mode) {
    switch (mode) {
        case 0: return {kGopAllIntra, "All-Intra"};
        case 1: return {kGopShort, "Short-GOP"};
        case 3: return {kGopLong, "Long-GOP"};
        default: return {kGopAllIntra, "?-fallback-AllIntra"};
    }
}

const char* RateControlName(int mode) {
    switch (mode) {
        case 1: return "Quality";
        case 2: return "VBR";
        default: return "Bitrate";
    }
}

bool NeedsAck(std::uint8_t opcode) {
    switch (opcode) {
        case kSetBitrate:
        case kSetGopMode:
        case kSetCodec:
        case kSetMaxResolution:
        case kSetEncoderMode:
        case kSetHardFrameCap:
        case kSetEncoderEngine: return true;
        default: return false;
    }
}

// The pacing rate for an encoder mode: never below the floor; the product of
// frame rate, frame-size cap and 32 can exceed 32 bits and is clamped.
std::uint32_t PacingFor(int mode, int fps, const EncoderPipeline* pipeline) {
    std::uint64_t x = 0;
    if (pipeline) {
        if (mode == 1 || mode == 2)
            x = static_cast<std::uint64_t>(std::max(fps, 1)) * pipeline->FrameSizeCap() * 32u;
        else
            x = 2ull * pipeline->Bitrate();
    }
    x = std::min<std::uint64_t>(x, std::numeric_limits<std::uint32_t>::max());
    return std::max<std::uint32_t>(kPacingFloor, static_cast<std::uint32_t>(x));
}

// BGRA test picture with a bar that moves with the frame index.
void FillPattern(std::vector<std::uint8_t>& pixels, int width, int height, std::uint64_t index) {
    const int bar = static_cast<int>((index * 8) % static_cast<std::uint64_t>(width));
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels.data() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            const bool onBar = x >= bar && x < bar + 32;
            row[x * 4 + 0] = onBar ? 255 : static_cast<std::uint8_t>(x * 255 / width);
            row[x * 4 + 1] = onBar ? 255 : static_cast<std::uint8_t>(y * 255 / height);
            row[x * 4 + 2] = onBar ? 255 : static_cast<std::uint8_t>(index);
            row[x * 4 + 3] = 255;
        }
    }
}

}  // namespace

void TransmitInstance::HandleControl(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) {
    if (!payload) length = 0;
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();

    switch (opcode) {
        case kRequestIDR:
            Log(kLog, kLogInfo, "control: IDR requested by client");
            if (pipeline) pipeline->RequestKeyframe();
            break;
        case kSetBitrate: Log(kLog, kLogInfo, "control: retired opcode 0x02 (SetBitrate) — ignored"); break;
        case kSetAutoMode: Log(kLog, kLogInfo, "control: retired opcode 0x0A (SetAutoMode) — ignored"); break;
        case kSetHardFrameCap: Log(kLog, kLogInfo, "control: retired opcode 0x0B (SetHardFrameCap) — ignored"); break;
        case kSetCongestionController:
            Log(kLog, kLogInfo, "control: retired opcode 0x0C (SetCongestionController) — ignored");
            break;
        case kSetPlaybackPrefer:
            Log(kLog, kLogInfo, "control: retired opcode 0x10 (SetPlaybackPrefer) — ignored");
            break;
        case kSetMode:
        case kSetMaxLatency:
        case kAppTelemetry:
        case kSetTransitionMode:
        case kSetFullQualityWhenPaused:
            Log(kLog, kLogInfo, "control: retired opcode 0x%02X — ignored", opcode);
            break;
        case kReceiverReport:
        case kReceiverReportV2: break;
        case kSetGopMode: {
            if (length < 1) break;
            const std::uint8_t mode = payload[0];
            transport_.SetCachedGopMode(mode);
            if (mode == kGopModeAuto) {
                Log(kLog, kLogInfo, "control: SetGopMode AUTO is retired — keeping current=%d",
                    pipeline ? pipeline->GopSize() : 0);
                break;
            }
            const GopChoice gop = GopForMode(mode);
            Log(kLog, kLogInfo, "control: SetGopMode %{public}s gop=%d", gop.name, gop.size);
            if (pipeline) pipeline->SetGopSize(gop.size);
            transport_.SetCachedGopSize(gop.size);
            PublishEncoderStatus();
            break;
        }
        case kSetCodec: {
            if (length < 1) break;
            const bool h264 = payload[0] == 1;
            const int codec = h264 ? kCodecH264 : kCodecHevc;
            Log(kLog, kLogInfo, "control: SetCodec %{public}s", h264 ? "H264" : "HEVC");
            if (pipeline) pipeline->SetCodec(codec);
            transport_.SetCachedCodec(codec);
            PublishEncoderStatus();
            break;
        }
        case kSetMaxResolution: {
            if (length < 2) break;
            const unsigned cap = static_cast<unsigned>(payload[0] | (payload[1] << 8));
            Log(kLog, kLogDebug, "[dx] control: SetMaxResolution shortSideCap=%u (was=%d, 0=Auto)", cap,
                shortSideCap_.load());
            shortSideCap_.store(static_cast<std::int32_t>(cap));
            transport_.SetCachedMaxShortSide(static_cast<int>(cap));
            break;
        }
        case kSetEncoderMode: {
            if (length < 2) break;
            const int mode = payload[0] <= 2 ? payload[0] : 0;
            const unsigned quality = std::min<unsigned>(payload[1], 100);
            Log(kLog, kLogInfo, "control: SetEncoderMode %{public}s q=%u%%", RateControlName(mode), quality);
            encoderMode_.store(mode);
            if (pipeline) pipeline->SetRateControl(mode, static_cast<float>(quality) / 100.0f);
            transport_.SetCachedEncoderMode(mode, static_cast<int>(quality));
            transport_.GetPacer().SetBitrate(PacingFor(mode, fps_.load(), pipeline.get()));
            break;
        }
        case kSetEncoderEngine: {
            if (length < 1) break;
            if (length == 1) {
                Log(kLog, kLogInfo, "control: SetEncoderEngine (legacy 1B) — treating as 'auto' no-op");
                engineByte_.store(payload[0]);
                break;
            }
            const std::size_t n = payload[0];
            if (n == 0 || n + 1 > length) {
                Log(kLog, kLogError, "control: SetEncoderEngine malformed (idLen=%u payloadLen=%zu)",
                    static_cast<unsigned>(n), length);
                break;
            }
            const std::string id(reinterpret_cast<const char*>(payload + 1), n);
            LogText(kLog, kLogInfo, "control: SetEncoderEngine id='" + id + "' (was '" + EngineId() + "')");
            pipeline.reset();  // the switch stops the old pipeline; hold no reference to it
            SwitchEngine(id);
            break;
        }
        case kAppSettingsSnapshot: {
            if (length < 6) {
                Log(kLog, kLogInfo, "control: AppSettingsSnapshot too short (%zu)", length);
                break;
            }
            const std::uint8_t cap[2] = {payload[0], payload[1]};
            const std::uint8_t codec = payload[2];
            const std::uint8_t gop = payload[3];
            const std::uint8_t rc = payload[4];
            const std::size_t n = payload[5];
            std::string engine;
            if (6 + n <= length) engine.assign(reinterpret_cast<const char*>(payload + 6), n);
            char head[128];
            std::snprintf(head, sizeof head, "control: AppSettingsSnapshot resLimit=%u codec=%u gop=%u rc=%u engine=",
                          static_cast<unsigned>(cap[0] | (cap[1] << 8)), codec, gop, rc);
            LogText(kLog, kLogInfo, head + engine);
            pipeline.reset();
            HandleControl(kSetMaxResolution, cap, 2);
            HandleControl(kSetCodec, &codec, 1);
            HandleControl(kSetGopMode, &gop, 1);
            const std::uint8_t mode[2] = {rc, kSnapshotQuality};
            HandleControl(kSetEncoderMode, mode, 2);
            if (!engine.empty()) {
                std::vector<std::uint8_t> e;
                e.push_back(static_cast<std::uint8_t>(engine.size()));
                e.insert(e.end(), engine.begin(), engine.end());
                HandleControl(kSetEncoderEngine, e.data(), e.size());
            }
            break;
        }
        case kTestMarker: {
            if (length < 1) break;
            const std::size_t n = std::min<std::size_t>(payload[0], length - 1);
            const std::string text(reinterpret_cast<const char*>(payload + 1), n);
            static const std::string kSelfTest = "SELFTEST ";
            if (text.compare(0, kSelfTest.size(), kSelfTest) == 0) {
                std::string id = text.substr(kSelfTest.size());
                while (!id.empty() && (id.back() == ' ' || id.back() == '\t' || id.back() == '\r' || id.back() == '\n'))
                    id.pop_back();
                pipeline.reset();
                RunSelfTest(id);
            } else {
                LogText(kLog, kLogInfo, "[TEST] " + text);
            }
            break;
        }
        default: Log(kLog, kLogInfo, "control: unhandled opcode 0x%02x", opcode); break;
    }

    if (NeedsAck(opcode)) transport_.SendControl(kSettingAck, &opcode, 1);
}

// A seamless resolution change on a pipeline of test encoders: the stream must
// keep flowing and the new size must take over with a keyframe.
void TransmitInstance::RunSelfTest(const std::string& id) {
    if (id != "pipeline") {
        LogText(kLog, kLogInfo, "SELFTEST " + id + ": no such self-test");
        return;
    }
    Log(kLog, kLogInfo, "SELFTEST pipeline: start");
    const auto begin = std::chrono::steady_clock::now();
    std::atomic<int> frames{0}, keyframes{0};
    bool pass = false;
    std::string why;
    {
        EncoderPipeline pipeline(std::make_unique<MockEncoder>());
        pipeline.SetOutputCallback([&](const std::uint8_t*, std::size_t, bool key, std::uint64_t) {
            frames.fetch_add(1);
            if (key) keyframes.fetch_add(1);
        });
        constexpr int kW0 = 64, kH0 = 36, kW1 = 128, kH1 = 72;
        std::vector<std::uint8_t> small(static_cast<std::size_t>(kW0) * kH0 * 4, 0x40);
        std::vector<std::uint8_t> large(static_cast<std::size_t>(kW1) * kH1 * 4, 0x80);
        if (!pipeline.Configure(kW0, kH0, 10'000'000, 30)) {
            why = "configure failed";
        } else {
            for (int i = 0; i < 3; ++i) pipeline.Encode(small.data(), kW0, kH0, kW0 * 4, i * 33'333);
            const int before = frames.load();
            EncoderConfig cfg;
            cfg.width = kW1;
            cfg.height = kH1;
            cfg.fps = 30;
            cfg.bitrateBps = 10'000'000;
            pipeline.RequestTransition(cfg);
            // The clone is built on the pipeline's worker; feed frames until it has taken over.
            int fed = 0;
            for (; fed < 400; ++fed) {
                pipeline.Encode(large.data(), kW1, kH1, kW1 * 4, (3 + fed) * 33'333);
                if (!pipeline.TransitionPending() && pipeline.Width() == kW1 && pipeline.Height() == kH1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const int after = frames.load();
            if (pipeline.TransitionPending() || pipeline.Width() != kW1 || pipeline.Height() != kH1) {
                why = "transition did not complete";
            } else if (after - before < fed) {
                why = "frames were lost during the transition";
            } else {
                pass = true;
            }
        }
        pipeline.Stop();
    }
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    if (pass)
        Log(kLog, kLogInfo, "SELFTEST pipeline: PASS (%d frames, %d keyframes, %lld ms)", frames.load(), keyframes.load(), ms);
    else
        Log(kLog, kLogError, "SELFTEST pipeline: FAIL — %s (%d frames, %lld ms)", why.c_str(), frames.load(), ms);
}

void TransmitInstance::StartStressDriver() {
    std::lock_guard<std::mutex> lifecycle(stressLifecycle_);
    if (stressRunning_.load()) return;
    if (stressThread_.joinable()) stressThread_.join();
    stressRunning_.store(true);
    try {
        stressThread_ = std::thread([this] { StressLoop(); });
        Log(kLog, kLogInfo, "stress: synthetic frame driver started");
    } catch (...) {
        stressRunning_.store(false);
        Log(kLog, kLogError, "stress: synthetic frame driver could not start");
    }
}

void TransmitInstance::StopStressDriver() {
    std::lock_guard<std::mutex> lifecycle(stressLifecycle_);
    if (!stressRunning_.exchange(false)) return;
    {
        std::lock_guard<std::mutex> lock(stressMutex_);
    }
    stressWake_.notify_all();
    if (stressThread_.joinable()) stressThread_.join();
    Log(kLog, kLogInfo, "stress: synthetic frame driver stopped");
}

void TransmitInstance::StressLoop() {
    SetCurrentThreadName("vx-stress");
    constexpr int kWidth = 1280, kHeight = 720;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    Clock::time_point next = clock_.Now();
    for (std::uint64_t index = 0; stressRunning_.load(); ++index) {
        if (active_.load() && transport_.PeerKnown()) {
            FillPattern(pixels, kWidth, kHeight, index);
            EncodeFrame(pixels.data(), kWidth, kHeight, kWidth * 4);
        }
        next += Clock::duration(1'000'000'000LL / std::clamp(fps_.load(), 1, 240));
        std::unique_lock<std::mutex> lock(stressMutex_);
        clock_.WaitUntil(stressWake_, lock, next, [this] { return !stressRunning_.load(); });
    }
}

}  // namespace Veltrix
