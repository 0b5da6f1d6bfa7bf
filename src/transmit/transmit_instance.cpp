#include "transmit/transmit_instance.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "encoder/encoder_pipeline.h"
#include "encoder/engine_factory.h"
#include "network/control_protocol.h"
#include "support/debug_topics.h"
#include "support/log.h"
#include "support/stage_telemetry.h"
#include "transmit/bridge_client.h"
#include "transmit/shared_transport.h"
#include "transport/packetizer.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "transmit"};

constexpr std::uint32_t kEncoderBitrate = 150'000'000;
constexpr std::uint32_t kPacingBitrate = 300'000'000;
constexpr int kMinFrameSide = 16;
constexpr std::int64_t kDebounceNs = 500'000'000;
constexpr std::int64_t kCacheRefreshNs = 250'000'000;
constexpr std::size_t kMaxCacheBytes = 33'554'432;
constexpr std::int64_t kStallNs = 3'000'000'000;
constexpr std::int64_t kStallRebuildGapNs = 5'000'000'000;
constexpr std::int64_t kFeedGapNs = 1'000'000'000;
constexpr int kEmergencyFrames = 30;
constexpr std::int64_t kFirstConfigureRetryNs = 250'000'000;
constexpr std::int64_t kMaxConfigureRetryNs = 4'000'000'000;
constexpr const char kEmptyDescMarker[] = "<empty>";

TransmitInstance::Collaborators WithDefaults(TransmitInstance::Collaborators c) {
    if (!c.transport) c.transport = &SharedTransport::Instance();
    if (!c.clock) c.clock = &Clock::Real();
    if (!c.createDefaultEncoder) c.createDefaultEncoder = [] { return CreateDefaultEncoder(); };
    if (!c.createForEngine) c.createForEngine = [](const std::string& id) { return CreateForEngine(id); };
    if (!c.enumerateEngines) c.enumerateEngines = [] { return EnumerateEngines(); };
    if (!c.nudgeThroughBridge) c.nudgeThroughBridge = [] { return TryBridge(kNudge); };
    if (!c.keyboardNudge) c.keyboardNudge = [] { KeyboardNudge(); };
    return c;
}

// |current - target| within 5 % of current.
bool WithinTolerance(int current, int target) {
    const long long diff = std::llabs(static_cast<long long>(current) - target);
    return diff * 20 <= current;
}

}  // namespace

TransmitInstance::TransmitInstance(const TxBasicSuite* basicSuite)
    : TransmitInstance(basicSuite, Collaborators{}) {}

TransmitInstance::TransmitInstance(const TxBasicSuite* basicSuite, Collaborators collaborators)
    : basicSuite_(basicSuite),
      c_(WithDefaults(std::move(collaborators))),
      transport_(*c_.transport),
      clock_(*c_.clock),
      configureFailedLog_(kLog, kLogError, clock_) {
    InitDebugTopics();
    createdAt_ = NowNs();
    std::unique_ptr<IHardwareEncoder> encoder = c_.createDefaultEncoder();
    if (!encoder) {
        Log(kLog, kLogError, "TransmitInstance: encoder factory returned null — dormant");
        return;
    }
    auto pipeline = std::make_shared<EncoderPipeline>(std::move(encoder), clock_);
    Log(kLog, kLogInfo, "TransmitInstance created");
    if (DebugTopicEnabled(DebugTopic::kEncoder))
        DebugTopicLog(DebugTopic::kEncoder, "TransmitInstance created — pipeline active");
    createdAt_ = NowNs();
    InstallEncoderCallback(pipeline);
    {
        std::unique_lock<SharedMutex> lock(pipelineLock_);
        pipeline_ = std::move(pipeline);
    }
    registered_ = true;
    transport_.Acquire(this);
}

TransmitInstance::~TransmitInstance() {
    if (registered_) transport_.Release(this);
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    if (!pipeline) return;
    Log(kLog, kLogInfo, "TransmitInstance destroyed");
    StopStressDriver();
    StopClock();
    if (countedRunning_.exchange(false)) transport_.SetClockRunning(false);
    if (active_.load()) Stop();
    pipeline->Stop();
    ReleaseSuites();
}

void TransmitInstance::ReleaseSuites() {
    std::lock_guard<std::mutex> lock(suiteMutex_);
    const bool hadAudio = audioSuite_.exchange(nullptr) != nullptr;
    const bool hadPpix = ppixSuite_.exchange(nullptr) != nullptr;
    if (!basicSuite_ || (!hadAudio && !hadPpix)) return;
    if (hadAudio) basicSuite_->ReleaseSuite(kTxPlaymodAudioSuiteName, kTxPlaymodAudioSuiteVersion);
    if (hadPpix) basicSuite_->ReleaseSuite(kTxPPixSuiteName, kTxPPixSuiteVersion);
    Log(kLog, kLogInfo, "ReleaseSuites done");
}

bool TransmitInstance::HasPipeline() {
    std::shared_lock<SharedMutex> lock(pipelineLock_);
    return pipeline_ != nullptr;
}

std::shared_ptr<EncoderPipeline> TransmitInstance::Pipeline() const {
    std::shared_lock<SharedMutex> lock(pipelineLock_);
    return pipeline_;
}

std::string TransmitInstance::EngineId() const {
    std::lock_guard<std::mutex> lock(engineMutex_);
    return engineId_;
}

std::int64_t TransmitInstance::NowNs() const { return clock_.Now().time_since_epoch().count(); }

std::uint64_t TransmitInstance::FrameTimeUs() const {
    const std::int64_t ns = NowNs() - createdAt_;
    return ns > 0 ? static_cast<std::uint64_t>(ns / 1000) : 0;
}

bool TransmitInstance::IsActive() const { return active_.load(); }

void TransmitInstance::Start() {
    Log(kLog, kLogInfo, "Start()");
    {
        std::lock_guard<std::mutex> lock(suiteMutex_);
        if (basicSuite_ && !ppixSuite_.load()) {
            const void* ppix = nullptr;
            const void* audio = nullptr;
            const TxSpError err = basicSuite_->AcquireSuite(kTxPPixSuiteName, kTxPPixSuiteVersion, &ppix);
            const TxSpError audioErr =
                basicSuite_->AcquireSuite(kTxPlaymodAudioSuiteName, kTxPlaymodAudioSuiteVersion, &audio);
            Log(kLog, kLogInfo, "AcquireSuites: err=%d ppix=%p audioErr=%d audio=%p", err, ppix, audioErr, audio);
            // A suite is released only when its acquisition succeeded.
            if (err == kTxSpErrorNone && ppix) ppixSuite_.store(static_cast<const TxPPixSuite*>(ppix));
            if (audioErr == kTxSpErrorNone && audio)
                audioSuite_.store(static_cast<const TxPlaymodAudioSuite*>(audio));
        }
    }
    active_.store(true);
    InvalidateDedup(true);
    Log(kLog, kLogDebug, "[dx] Start: dedup state invalidated for re-emit");
    if (std::getenv("VX_STRESS") != nullptr) StartStressDriver();
}

void TransmitInstance::Stop() {
    StopStressDriver();
    if (!active_.exchange(false)) return;
    Log(kLog, kLogInfo, "Stop()");
    std::lock_guard<std::mutex> lock(cacheMutex_);
    std::vector<std::uint8_t>().swap(cacheBytes_);
    cacheWidth_ = cacheHeight_ = cacheRowBytes_ = 0;
    cacheValid_ = false;
}

void TransmitInstance::InvalidateDedup(bool forgetSource) {
    std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    sentWidth_ = sentHeight_ = sentFps_ = 0;
    sentEncoderDesc_.clear();
    // A forgotten source is announced again only after frames have shown it for
    // the whole debounce, so the candidate goes too.
    if (forgetSource) sourceWidth_ = sourceHeight_ = sourceFps_ = candWidth_ = candHeight_ = candFps_ = 0;
}

void TransmitInstance::SetVideoFrameRate(std::int64_t ticksPerFrame) {
    if (ticksPerFrame <= 0 || !basicSuite_) {
        Log(kLog, kLogInfo, "SetVideoFrameRate: ticksPerFrame=%lld — keeping fallback %d fps",
            static_cast<long long>(ticksPerFrame), fps_.load());
        return;
    }
    const void* suite = nullptr;
    const TxSpError err = basicSuite_->AcquireSuite(kTxTimeSuiteName, kTxTimeSuiteVersion, &suite);
    if (err != kTxSpErrorNone || !suite) {
        Log(kLog, kLogError, "SetVideoFrameRate: AcquireSuite(Time) failed err=%d", err);
        return;
    }
    std::int64_t ticksPerSecond = 0;
    static_cast<const TxTimeSuite*>(suite)->GetTicksPerSecond(&ticksPerSecond);
    basicSuite_->ReleaseSuite(kTxTimeSuiteName, kTxTimeSuiteVersion);
    if (ticksPerSecond <= 0) {
        Log(kLog, kLogError, "SetVideoFrameRate: GetTicksPerSecond returned %lld",
            static_cast<long long>(ticksPerSecond));
        return;
    }
    ticksPerSecond_.store(ticksPerSecond);
    ticksPerFrame_.store(ticksPerFrame);
    const double exact = static_cast<double>(ticksPerSecond) / static_cast<double>(ticksPerFrame);
    const int fps = static_cast<int>(std::clamp(std::llround(exact), 1LL, 240LL));
    fps_.store(fps);
    Log(kLog, kLogInfo, "SetVideoFrameRate: %lld ticks/frame → %.3f → %d fps", static_cast<long long>(ticksPerFrame),
        exact, fps);
}

void TransmitInstance::PushVideo(const TxPushVideo* video) {
    if (!video) return;
    const bool hasClient = transport_.PeerKnown();
    const std::size_t frameCount = video->frameCount;
    const TxLabeledFrame* frames = video->frames;
    Log(kLog, kLogDebug, "PushVideo frameCount=%llu hasClient=%d", static_cast<unsigned long long>(frameCount),
        hasClient ? 1 : 0);
    if (frameCount == 0 || !frames) return;
    const TxPPixSuite* ppix = ppixSuite_.load();
    for (std::size_t i = 0; i < frameCount; ++i) {
        TxPPixHandle handle = frames[i].frame;
        if (!handle) continue;
        if (i == 0 && active_.load() && hasClient && ppix) {
            char* pixels = nullptr;
            TxRect bounds{};
            std::int32_t rowBytes = 0;
            TxPixelFormat format = 0;
            ppix->GetPixels(handle, kTxPPixAccessRead, &pixels);
            ppix->GetBounds(handle, &bounds);
            ppix->GetRowBytes(handle, &rowBytes);
            ppix->GetPixelFormat(handle, &format);
            if (format != kTxPixelFormatBgra) {
                if (format != lastBadFormat_) {
                    // The SDK's four-character codes keep the first character in the lowest byte.
                    char text[5];
                    for (int b = 0; b < 4; ++b) {
                        const char ch = static_cast<char>((format >> (8 * b)) & 0xFF);
                        text[b] = (ch >= 0x20 && ch < 0x7F) ? ch : '?';
                    }
                    text[4] = '\0';
                    Log(kLog, kLogError, "PushVideo: unsupported pixel format 0x%08x '%s' (wanted 'bgra'); dropping frame",
                        format, text);
                    lastBadFormat_ = format;
                }
                ppix->Dispose(handle);
                continue;
            }
            lastBadFormat_ = 0;
            const long long width = static_cast<long long>(bounds.right) - bounds.left;
            const long long height = static_cast<long long>(bounds.bottom) - bounds.top;
            // Rows must hold the width: the encoder and the cache read height x rowBytes bytes.
            if (pixels && rowBytes >= 1 && width >= kMinFrameSide && height >= kMinFrameSide &&
                static_cast<long long>(rowBytes) >= width * 4) {
                EncodeFrame(reinterpret_cast<const std::uint8_t*>(pixels), static_cast<int>(width),
                            static_cast<int>(height), rowBytes);
            }
        }
        if (ppix) ppix->Dispose(handle);
    }
}

bool TransmitInstance::SendSourceChangedLocked(int width, int height, int fps) {
    const auto payload = BuildSourceChanged(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                            static_cast<float>(fps));
    return transport_.SendControl(kSourceChanged, payload.data(), payload.size());
}

void TransmitInstance::EncodeFrame(const std::uint8_t* pixels, int width, int height, int rowBytes) {
    const int fps = fps_.load();
    const std::int64_t now = NowNs();

    // Source-change debounce.
    if (fps > 0) {
        std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (width != sourceWidth_ || height != sourceHeight_ || fps != sourceFps_) {
            if (width != candWidth_ || height != candHeight_ || fps != candFps_) {
                candWidth_ = width;
                candHeight_ = height;
                candFps_ = fps;
                candSince_ = now;
            } else if (now - candSince_ >= kDebounceNs) {
                if (SendSourceChangedLocked(width, height, fps)) {
                    sourceWidth_ = width;
                    sourceHeight_ = height;
                    sourceFps_ = fps;
                    Log(kLog, kLogInfo, "SendControl: kSourceChanged %dx%d @ %d fps", width, height, fps);
                }
                SendStreamInfoIfReady();
            }
        }
    }

    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    if (!pipeline) return;
    ApplyPendingOverrun(*pipeline);

    // Target size under the phone's short-side cap.
    int targetW = width, targetH = height;
    const int cap = shortSideCap_.load();
    const int shorter = std::min(width, height);
    if (cap > 0 && shorter > cap) {
        const double scale = static_cast<double>(cap) / shorter;
        targetW = std::max(kMinFrameSide, static_cast<int>(width * scale + 0.5) & ~1);
        targetH = std::max(kMinFrameSide, static_cast<int>(height * scale + 0.5) & ~1);
    }
    // A target the codec cannot encode would stop the picture until the phone
    // sends another cap: raise it to the codec's smallest frame, in the
    // source's proportions.
    const int codec = pipeline->Codec();
    const int minSide = MinimumFrameSide(codec);
    if (std::min(targetW, targetH) < minSide) {
        const double scale = static_cast<double>(minSide) / shorter;
        const int raisedW = std::max(minSide, static_cast<int>(width * scale + 0.5) & ~1);
        const int raisedH = std::max(minSide, static_cast<int>(height * scale + 0.5) & ~1);
        const std::uint64_t key = (static_cast<std::uint64_t>(codec & 0xff) << 48) |
                                  (static_cast<std::uint64_t>(raisedW & 0xffffff) << 24) |
                                  static_cast<std::uint64_t>(raisedH & 0xffffff);
        if (lastRaisedTarget_.exchange(key) != key)
            Log(kLog, kLogInfo, "target %dx%d is below the smallest %s frame (%d px a side) — raised to %dx%d",
                targetW, targetH, codec == kCodecH264 ? "H.264" : "HEVC", minSide, raisedW, raisedH);
        targetW = raisedW;
        targetH = raisedH;
    } else {
        lastRaisedTarget_.store(0);
    }

    const bool ready = pipeline->Ready();
    const bool fits = ready && pipeline->Fps() == fps && WithinTolerance(pipeline->Width(), targetW) &&
                      WithinTolerance(pipeline->Height(), targetH);
    if (!fits) {
        Log(kLog, kLogDebug, "[dx] PushVideo: dims changed — source=%dx%d cap=%d target=%dx%d fps=%d initial=%d",
            width, height, cap, targetW, targetH, fps, ready ? 0 : 1);
        if (ready) {
            EncoderConfig cfg;
            cfg.width = targetW;
            cfg.height = targetH;
            cfg.fps = fps;
            cfg.bitrateBps = kEncoderBitrate;
            cfg.peakBitrateBps = 0;
            cfg.gopSize = pipeline->GopSize();
            cfg.codec = pipeline->Codec();
            cfg.rateControl = pipeline->RateControl();
            cfg.quality = 0.75f;
            cfg.frameSizeCap = pipeline->FrameSizeCap();
            pipeline->ReconfigureInPlace(cfg);
        } else {
            const std::uint64_t target = (static_cast<std::uint64_t>(codec & 0xff) << 56) |
                                         (static_cast<std::uint64_t>(fps & 0xff) << 48) |
                                         (static_cast<std::uint64_t>(targetW & 0xffffff) << 24) |
                                         static_cast<std::uint64_t>(targetH & 0xffffff);
            if (ConfigureDue(target, now)) {
                const bool ok = pipeline->Configure(targetW, targetH, kEncoderBitrate, fps);
                ConfigureTried(target, now, ok);
                if (!ok) {
                    configureFailedLog_.Write(
                        "encoder Configure failed (%dx%d @ %d fps) — Ready() stays false, retry on a later frame",
                        targetW, targetH, fps);
                }
            }
        }
        transport_.GetPacer().SetBitrate(kPacingBitrate);
        std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (width != sourceWidth_ || height != sourceHeight_ || fps != sourceFps_) {
            Log(kLog, kLogDebug, "[dx] force-promoting source via Configure: %dx%d @ %d fps (was %dx%d @ %d)", width,
                height, fps, sourceWidth_, sourceHeight_, sourceFps_);
            candWidth_ = sourceWidth_ = width;
            candHeight_ = sourceHeight_ = height;
            candFps_ = sourceFps_ = fps;
            candSince_ = now;
            if (SendSourceChangedLocked(width, height, fps))
                Log(kLog, kLogInfo, "SendControl: kSourceChanged %dx%d @ %d fps", width, height, fps);
        }
        SendStreamInfoIfReady();
    }

    SendEncoderInfoIfChanged();

    pipeline->Encode(pixels, width, height, rowBytes, static_cast<std::int64_t>(FrameTimeUs()));

    // Key-frame cache for a phone that connects while the host is paused.
    const std::size_t bytes = static_cast<std::size_t>(height) * static_cast<std::size_t>(rowBytes);
    if (bytes >= 1 && bytes <= kMaxCacheBytes) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (lastCacheTime_ == 0 || now - lastCacheTime_ >= kCacheRefreshNs) {
            lastCacheTime_ = now;
            cacheBytes_.assign(pixels, pixels + bytes);
            cacheWidth_ = width;
            cacheHeight_ = height;
            cacheRowBytes_ = rowBytes;
            cacheValid_ = true;
        }
    }

    // Stall detection: output must keep coming while frames go in.
    const std::int64_t previousPush = lastPushTime_.exchange(now);
    if (previousPush == 0 || now - previousPush > kFeedGapNs) {
        lastOutputTime_.store(now);
    } else {
        const std::int64_t lastOutput = lastOutputTime_.load();
        std::int64_t lastRebuild = lastStallRebuild_.load();
        if (lastOutput > 0 && now - lastOutput > kStallNs && now - lastRebuild > kStallRebuildGapNs &&
            lastStallRebuild_.compare_exchange_strong(lastRebuild, now)) {
            Log(kLog, kLogFault, "encoder stall: no output for %lld ms while feeding — rebuilding session %dx%d @ %d fps",
                static_cast<long long>((now - lastOutput) / 1'000'000), targetW, targetH, fps);
            pipeline->Configure(targetW, targetH, kEncoderBitrate, fps);
            pipeline->RequestKeyframe();
            lastOutputTime_.store(now);
        }
    }
}

bool TransmitInstance::ConfigureDue(std::uint64_t target, std::int64_t now) {
    std::lock_guard<std::mutex> lock(configureRetryMutex_);
    return target != failedTarget_ || now >= nextConfigureAt_;
}

void TransmitInstance::ConfigureTried(std::uint64_t target, std::int64_t now, bool ok) {
    {
        std::lock_guard<std::mutex> lock(configureRetryMutex_);
        if (ok) {
            failedTarget_ = 0;
            configureBackoffNs_ = 0;
        } else {
            configureBackoffNs_ = target != failedTarget_
                                      ? kFirstConfigureRetryNs
                                      : std::min(configureBackoffNs_ * 2, kMaxConfigureRetryNs);
            failedTarget_ = target;
            nextConfigureAt_ = now + configureBackoffNs_;
            return;
        }
    }
    configureFailedLog_.Flush();
}

void TransmitInstance::ApplyPendingOverrun(EncoderPipeline& pipeline) {
    if (!overrunPending_.exchange(false)) return;
    pipeline.EmergencyCompress(kEmergencyFrames);
    const int gop = pipeline.GopSize();
    if (gop > 1) pipeline.RequestKeyframe();
    Log(kLog, kLogFault,
        "wire overrun: encoded %zu B → %zu frags > max %u (gopSize=%d) — triggered emergency compression for %d frames",
        overrunBytes_.load(), overrunFragments_.load(), 65535u, gop, kEmergencyFrames);
}

void TransmitInstance::SendStreamInfoIfReady() {
    std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (sourceWidth_ < 1 || sourceHeight_ < 1 || sourceFps_ < 1) {
        Log(kLog, kLogDebug,
            "[dx] SendStreamInfoIfReady: skip — source dims not yet committed (sourceWHF=%d/%d/%d, candWHF=%d/%d/%d)",
            sourceWidth_, sourceHeight_, sourceFps_, candWidth_, candHeight_, candFps_);
        return;
    }
    if (sourceWidth_ == sentWidth_ && sourceHeight_ == sentHeight_ && sourceFps_ == sentFps_) return;
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    if (!pipeline) return;
    const std::uint32_t cap = pipeline->FrameSizeCap();
    const auto payload = BuildStreamInfo(static_cast<std::uint32_t>(sourceWidth_),
                                         static_cast<std::uint32_t>(sourceHeight_),
                                         static_cast<std::uint32_t>(sourceFps_), cap);
    if (transport_.SendControl(kStreamInfo, payload.data(), payload.size())) {
        sentWidth_ = sourceWidth_;
        sentHeight_ = sourceHeight_;
        sentFps_ = sourceFps_;
        Log(kLog, kLogInfo, "SendControl: kStreamInfo w=%d h=%d fps=%d cap=%u", sentWidth_, sentHeight_, sentFps_, cap);
    }
    SendEncoderInfoIfChanged();
}

void TransmitInstance::SendEncoderInfoIfChanged() {
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    std::string desc = pipeline ? pipeline->Description() : std::string();
    bool sent = false;
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (desc.empty()) {
            if (sentEncoderDesc_ != kEmptyDescMarker) {
                Log(kLog, kLogDebug, "[dx] SendEncoderInfoIfChanged: skip — desc empty (encoder unconfigured?)");
                sentEncoderDesc_ = kEmptyDescMarker;
            }
            return;
        }
        if (desc == sentEncoderDesc_) return;
        if (desc.size() > 200) desc.resize(200);
        if (desc == sentEncoderDesc_) return;
        const auto payload = BuildEncoderInfo(desc);
        if (transport_.SendControl(kEncoderInfo, payload.data(), payload.size())) {
            sentEncoderDesc_ = desc;
            Log(kLog, kLogInfo, "SendControl: kEncoderInfo \"%s\"", desc.c_str());
            sent = true;
        }
    }
    if (sent) PublishEncoderStatus();
}

void TransmitInstance::PublishEncoderStatus() {
    EncoderStatus status;
    status.engineByte = engineByte_.load();
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        // The de-duplication marker is not a description.
        if (sentEncoderDesc_ != kEmptyDescMarker) status.description = sentEncoderDesc_;
    }
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    status.isH264 = (pipeline && pipeline->Codec() == kCodecH264) ? 1 : 0;
    status.gopClass = GopClassOf(pipeline ? pipeline->GopSize() : 1);
    status.valid = 1;
    transport_.SetEncoderStatus(status);
}

void TransmitInstance::SendEncoderEngineList() {
    const std::vector<EngineInfo> engines = c_.enumerateEngines();
    std::vector<EngineEntry> entries;
    entries.reserve(std::min<std::size_t>(engines.size(), 255));
    for (std::size_t i = 0; i < engines.size() && i < 255; ++i)
        entries.push_back({engines[i].id, engines[i].label, engines[i].detail});
    std::size_t fullSize = 0;
    const std::vector<std::uint8_t> frame = BuildEncoderEngineList(entries, &fullSize);
    if (fullSize > 255)
        Log(kLog, kLogError, "SendEncoderEngineList: inner payload %zu > 255 B — truncating", fullSize);
    if (transport_.SendControl(kEncoderEngineList, frame.data(), frame.size()))
        Log(kLog, kLogInfo, "SendControl: kEncoderEngineList %zu entries (%zu B frame)", entries.size(),
            frame.size());
}

void TransmitInstance::OnNewClient() {
    Log(kLog, kLogInfo, "new client — forcing IDR, re-pushing StreamInfo");
    transport_.GetPacer().ClearQueue();
    std::shared_ptr<EncoderPipeline> pipeline = Pipeline();
    if (pipeline) pipeline->RequestKeyframe();
    InvalidateDedup(true);
    SendStreamInfoIfReady();

    const auto platform = BuildHostPlatform();
    if (transport_.SendControl(kHostPlatform, platform.data(), platform.size()))
        Log(kLog, kLogInfo, "SendControl: kHostPlatform %s (%s)", "Windows", "x86_64");
    SendAudioState(audioOutputEnabled_.load());

    SendEncoderEngineList();
    PublishEncoderStatus();
    SendEncoderInfoIfChanged();

    // Replay the cached picture so a paused host still shows something.
    std::vector<std::uint8_t> copy;
    int cw = 0, ch = 0, crow = 0;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (cacheValid_ && !cacheBytes_.empty()) {
            copy = cacheBytes_;
            cw = cacheWidth_;
            ch = cacheHeight_;
            crow = cacheRowBytes_;
        }
    }
    if (copy.empty()) {
        Log(kLog, kLogInfo, "OnNewClient replay: no cache, waiting on Premiere");
    } else if (pipeline) {
        const int ew = pipeline->Width();
        const int eh = pipeline->Height();
        if (ew >= 1 && eh >= 1 && (ew != cw || eh != ch)) {
            Log(kLog, kLogInfo, "OnNewClient replay: dim mismatch cache=%dx%d enc=%dx%d — skip", cw, ch, ew, eh);
        } else {
            Log(kLog, kLogInfo, "OnNewClient replay: cached %dx%d fresh IDR", cw, ch);
            pipeline->Encode(copy.data(), cw, ch, crow, static_cast<std::int64_t>(FrameTimeUs()));
        }
    }

    Log(kLog, kLogInfo, "new client nudge (initial frame)");
    if (!c_.nudgeThroughBridge()) {
        Log(kLog, kLogInfo, "Ctrl bridge unavailable — fallback to keyboard nudge");
        c_.keyboardNudge();
    }
}

void TransmitInstance::ForceKeyFrameOnUdpFailures() {
    Log(kLog, kLogInfo, "consecutive UDP failures — forcing IDR");
    if (std::shared_ptr<EncoderPipeline> pipeline = Pipeline()) pipeline->RequestKeyframe();
}

void TransmitInstance::InstallEncoderCallback(const std::shared_ptr<EncoderPipeline>& pipeline) {
    pipeline->SetOutputCallback([this](const std::uint8_t* data, std::size_t size, bool keyframe,
                                       std::uint64_t timestampUs) {
        AcceptEncodedFrame(data, size, keyframe, timestampUs);
    });
}

void TransmitInstance::AcceptEncodedFrame(const std::uint8_t* data, std::size_t size, bool keyframe,
                                          std::uint64_t timestampUs) {
    lastOutputTime_.store(NowNs());
    if (!transport_.PeerKnown()) return;
    if (!data || size == 0) return;
    const int parity = VideoParityCount(size);
    const std::size_t dataFragments = (size + kFragmentPayload - 1) / kFragmentPayload;
    if (dataFragments + static_cast<std::size_t>(parity) >= 65536) {
        // The encoder may hold its own lock while it calls here, so the pipeline is
        // told on the next pushed frame instead.
        overrunBytes_.store(size);
        overrunFragments_.store(dataFragments);
        overrunPending_.store(true);
        return;
    }
    const std::size_t total = ExpectedFragmentCount(size, parity);
    if (total == 0) return;
    const std::uint16_t frameNumber = transport_.NextVideoFrameNumber();
    std::uint32_t sequence = transport_.ReserveVideoSequence(static_cast<std::uint32_t>(total));
    Log(kLog, kLogDebug, "frame accepted: %zu B → %zu data + %u parity frags", size, dataFragments,
        static_cast<unsigned>(parity));
    FrameGroup group;
    group.kind = StreamKind::kVideo;
    group.datagrams.reserve(total);
    const Clock::time_point start = clock_.Now();
    if (!PacketizeGroup(kStreamTypeVideo, keyframe, parity, frameNumber, sequence,
                        static_cast<std::uint32_t>(timestampUs), data, size, true, group, clock_))
        return;
    RecordStageTime(Stage::kPacketize, MicrosBetween(start, clock_.Now()));
    transport_.GetPacer().EnqueueVideo(std::move(group));
}

void TransmitInstance::SwitchEngine(const std::string& id) {
    const std::string current = EngineId();
    if (id == current) {
        Log(kLog, kLogInfo, "engine switch: same id '%s' — no-op", id.c_str());
        return;
    }
    if (current == "auto") {
        Log(kLog, kLogInfo, "engine seed 'auto' → '%s' — rebuilding to honor saved choice", id.c_str());
    } else {
        Log(kLog, kLogInfo, "engine switch: '%s' → '%s' — full refresh", current.c_str(), id.c_str());
        const auto payload = BuildEncoderInfo("Switching encoder...");
        transport_.SendControl(kEncoderInfo, payload.data(), payload.size());
    }
    std::unique_ptr<IHardwareEncoder> encoder = c_.createForEngine(id);
    if (!encoder) {
        Log(kLog, kLogError, "engine switch: CreateForEngine('%s') failed — falling back to default", id.c_str());
        encoder = c_.createDefaultEncoder();
        if (!encoder) {
            Log(kLog, kLogError, "engine switch: no encoder available — keeping current pipeline");
            return;
        }
    }
    auto fresh = std::make_shared<EncoderPipeline>(std::move(encoder), clock_);
    // A new encoder starts from its own defaults; carry over what the phone chose
    // so a switch (a snapshot ends with one) does not undo its codec, GOP and rate control.
    const ClientSettingsCache chosen = transport_.GetClientSettings();
    if (chosen.codec == kCodecH264 || chosen.codec == kCodecHevc) fresh->SetCodec(chosen.codec);
    if (chosen.gopSize > 0) fresh->SetGopSize(chosen.gopSize);
    if (chosen.encoderMode >= 0 && chosen.encoderMode <= 2)
        fresh->SetRateControl(chosen.encoderMode,
                              chosen.quality >= 0 ? static_cast<float>(std::min(chosen.quality, 100)) / 100.0f
                                                  : kDefaultQuality);
    InstallEncoderCallback(fresh);
    std::shared_ptr<EncoderPipeline> old;
    {
        std::unique_lock<SharedMutex> lock(pipelineLock_);
        old = std::exchange(pipeline_, std::move(fresh));
    }
    if (old) old->Stop();
    InvalidateDedup(false);
    {
        std::lock_guard<std::mutex> lock(engineMutex_);
        engineId_ = id;
    }
    Log(kLog, kLogInfo, "engine switch: rebuilt pipeline with '%s'", id.c_str());
    PublishEncoderStatus();
}

}  // namespace Veltrix
