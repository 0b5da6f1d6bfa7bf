#include "vx-host/host_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

#include "support/process_usage.h"
#include "vx-host/ctrl_host.h"
#include "vx-host/platform.h"
#include "vx-host/setup_command.h"
#include "vx-host/sp_blocks.h"

// The host's picture. A PPix handle points at `self`, as the SDK's PPixHand
// points at the host's pointer to its picture.
struct TxPPix {
    TxPPix* self = this;
    std::uint64_t serial = 0;  // the unique key
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int rowBytes = 0;
};

namespace Veltrix::host {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::atomic<HostSession*> gActive{nullptr};

// ---- the SP basic suite (seven slots) ----
TxSpError SpAcquire(const char* name, std::int32_t version, const void** out) {
    HostSession* s = gActive.load();
    return s ? s->AcquireSuite(name, version, out) : kTxSpErrorSuiteNotFound;
}
TxSpError SpRelease(const char* name, std::int32_t version) {
    HostSession* s = gActive.load();
    return s ? s->ReleaseSuite(name, version) : kTxSpErrorBadParameter;
}
TxBasicSuite gBasicSuite{&SpAcquire,         &SpRelease,     &sp::IsEqual, &sp::AllocateBlock,
                         &sp::FreeBlock,     &sp::ReallocateBlock, &sp::Undefined};

// ---- the suite record: piSuites with its utility functions ----
// Only getSPBasicSuite (slot 7) is served; the legacy callback tables stay
// empty, as nothing in a transmitter calls them.
TxBasicSuite* GetBasicSuite() { return &gBasicSuite; }
TxUtilFuncs gUtilFuncs{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &GetBasicSuite, nullptr};
TxPiSuites gPiSuites{kTxPiSuitesVersion, nullptr, nullptr, nullptr, &gUtilFuncs, nullptr};

// ---- "Premiere PPix Suite" version 1 (nine slots) ----
TxSuiteError PPixDispose(TxPPixHandle p) {
    HostSession* s = gActive.load();
    return s ? s->DisposePPix(p) : kTxSuiteErrorInvalidParms;
}
TxPPix* Held(TxPPixHandle p) {
    HostSession* s = gActive.load();
    return s ? s->Picture(p) : nullptr;
}
TxSuiteError PPixGetPixels(TxPPixHandle p, std::int32_t access, char** out) {
    HostSession* s = gActive.load();
    return s ? s->GetPixels(p, access, out) : kTxSuiteErrorInvalidParms;
}
TxSuiteError PPixGetBounds(TxPPixHandle p, TxRect* out) {
    TxPPix* pic = Held(p);
    if (!pic || !out) return kTxSuiteErrorInvalidParms;
    *out = TxRect{0, 0, pic->width, pic->height};
    return kTxSuiteErrorNone;
}
TxSuiteError PPixGetRowBytes(TxPPixHandle p, std::int32_t* out) {
    TxPPix* pic = Held(p);
    if (!pic || !out) return kTxSuiteErrorInvalidParms;
    *out = pic->rowBytes;
    return kTxSuiteErrorNone;
}
TxSuiteError PPixGetAspect(TxPPixHandle p, std::uint32_t* num, std::uint32_t* den) {
    if (!Held(p) || !num || !den) return kTxSuiteErrorInvalidParms;
    *num = *den = 1;  // square pixels
    return kTxSuiteErrorNone;
}
TxSuiteError PPixGetPixelFormat(TxPPixHandle p, TxPixelFormat* out) {
    if (!Held(p) || !out) return kTxSuiteErrorInvalidParms;
    *out = kTxPixelFormatBgra;
    return kTxSuiteErrorNone;
}
constexpr std::size_t kUniqueKeySize = sizeof(std::uint64_t);
TxSuiteError PPixGetUniqueKey(TxPPixHandle p, unsigned char* key, std::size_t size) {
    TxPPix* pic = Held(p);
    if (!pic || !key) return kTxSuiteErrorInvalidParms;
    if (size < kUniqueKeySize) return kTxSuiteErrorInvalidParms;
    std::memcpy(key, &pic->serial, kUniqueKeySize);
    return kTxSuiteErrorNone;
}
TxSuiteError PPixGetUniqueKeySize(std::size_t* out) {
    if (!out) return kTxSuiteErrorInvalidParms;
    *out = kUniqueKeySize;
    return kTxSuiteErrorNone;
}
TxSuiteError PPixGetRenderTime(TxPPixHandle p, std::int32_t* out) {
    if (!Held(p) || !out) return kTxSuiteErrorInvalidParms;
    *out = 0;  // drawn, not rendered
    return kTxSuiteErrorNone;
}
const TxPPixSuite kPPixSuite{&PPixDispose,    &PPixGetPixels,      &PPixGetBounds,        &PPixGetRowBytes,
                             &PPixGetAspect,  &PPixGetPixelFormat, &PPixGetUniqueKey,     &PPixGetUniqueKeySize,
                             &PPixGetRenderTime};

// ---- "Premiere Playmod Audio Suite" version 4 (eleven slots) ----
// The host initialises, starts and stops the audio of a transmitter's play:
// only the two buffer calls are the plug-in's to make.
TxSuiteError HostOnly(const char* slot) {
    if (HostSession* s = gActive.load()) {
        s->Problem(std::string("called ") + slot + " of the Playmod Audio suite, which the host calls for a transmitter");
    }
    return kTxSuiteErrorInvalidCall;
}
TxSuiteError AudioNext(std::int32_t playId, float**, float** out, unsigned int count) {
    HostSession* s = gActive.load();
    return s ? s->GetNextAudioBuffer(playId, out, count) : kTxSuiteErrorAudioNotInitialized;
}
TxSuiteError AudioNext2(std::int32_t playId, float** in, float** out, unsigned int count, TxTime* outTime) {
    if (outTime) *outTime = 0;
    return AudioNext(playId, in, out, count);
}
const TxPlaymodAudioSuite kAudioSuite{
    [](std::int32_t, TxAudioTimeCallback, void*, int, TxTime*) { return HostOnly("InitHostAudio"); },
    [](std::int32_t, int, void*) { return HostOnly("InitPluginAudio"); },
    [](std::int32_t, const void*, float, TxTime) { return HostOnly("StartAudio"); },
    &AudioNext,
    [](std::int32_t, const TxTime*, TxTime*) { return HostOnly("SetPosition"); },
    [](std::int32_t, TxTime*) { return HostOnly("GetPosition"); },
    [](std::int32_t, const void*, void*) { return HostOnly("SetRange"); },
    [](std::int32_t, float) { return HostOnly("SetPlaybackSpeed"); },
    [](std::int32_t) { return HostOnly("StopAudio"); },
    [](std::int32_t, int, const void*) { return HostOnly("InitPluginAudio3"); },
    &AudioNext2,
};

// ---- "Premiere Time Suite" version 1 (three slots) ----
TxSuiteError TimeTicksPerSecond(TxTime* out) {
    if (!out) return kTxSuiteErrorInvalidParms;
    *out = kHostTicksPerSecond;
    return kTxSuiteErrorNone;
}
TxSuiteError TimeTicksPerVideoFrame(std::uint32_t rate, TxTime* out) {
    if (!out) return kTxSuiteErrorInvalidParms;
    std::int64_t num = 0, den = 1;  // frames per second as num / den
    switch (rate) {
        case kTxVideoFrameRate24Drop: num = 24000, den = 1001; break;
        case kTxVideoFrameRate24: num = 24; break;
        case kTxVideoFrameRatePal: num = 25; break;
        case kTxVideoFrameRateNtsc: num = 30000, den = 1001; break;
        case kTxVideoFrameRate30: num = 30; break;
        case kTxVideoFrameRatePalHd: num = 50; break;
        case kTxVideoFrameRateNtscHd: num = 60000, den = 1001; break;
        case kTxVideoFrameRate60: num = 60; break;
        default: return kTxSuiteErrorInvalidParms;
    }
    *out = kHostTicksPerSecond * den / num;
    return kTxSuiteErrorNone;
}
TxSuiteError TimeTicksPerAudioSample(float rate, TxTime* out) {
    if (!out || !(rate > 0)) return kTxSuiteErrorInvalidParms;
    const double exact = static_cast<double>(kHostTicksPerSecond) / rate;
    *out = static_cast<TxTime>(std::llround(exact));
    return static_cast<double>(*out) == exact ? kTxSuiteErrorNone : kTxSuiteErrorTimeRoundedAudioRate;
}
const TxTimeSuite kTimeSuite{&TimeTicksPerSecond, &TimeTicksPerVideoFrame, &TimeTicksPerAudioSample};

void ClockCallback(void* context, TxTime elapsed) { static_cast<HostSession*>(context)->OnClock(elapsed); }
void DroppedFramesCallback(void* context, std::int64_t frames) {
    static_cast<HostSession*>(context)->OnDroppedFrames(frames);
}
void StreamingStateChanged(void*) {}

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
    return text;
}

std::string DisplayName(const TxPluginInfo& info) {
    std::string s;
    for (std::size_t i = 0; i < sizeof(info.displayName) / sizeof(info.displayName[0]); ++i) {
        const TxUtf16Char c = info.displayName[i];
        if (!c) break;
        s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return s;
}

std::int64_t MicrosSinceEpoch(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

}  // namespace

namespace {
// Exact for the usual rates: 254,016,000,000 is divisible by 30000, 24000, 60000, 25...
std::int64_t FrameTicks(const HostOptions& o) { return kHostTicksPerSecond * o.fps.den / o.fps.num; }
std::int64_t SecondsToTicks(double s) { return static_cast<std::int64_t>(std::llround(s * kHostTicksPerSecond)); }
}  // namespace

HostSession::HostSession(const HostOptions& options, TxEntryFunc entry, Clock& clock)
    : options_(options),
      entry_(entry),
      clock_(clock),
      frameTicks_(FrameTicks(options)),
      timeline_(frameTicks_, SecondsToTicks(options.inPoint),
                options.outPoint >= 0 ? SecondsToTicks(options.outPoint) : -1,
                options.seconds > 0 ? SecondsToTicks(options.seconds) : -1),
      sync_(options.fps.num, options.fps.den, static_cast<std::int64_t>(kHostAudioRate)) {
    HostSession* expected = nullptr;
    gActive.compare_exchange_strong(expected, this);
}

HostSession::~HostSession() {
    HostSession* self = this;
    gActive.compare_exchange_strong(self, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [handle, picture] : livePPix_) delete picture;
}

TxSpError HostSession::AcquireSuite(const char* name, std::int32_t version, const void** out) {
    if (!name || !out) return kTxSpErrorBadParameter;
    const void* suite = nullptr;
    const std::string n = name;
    if (n == kTxPPixSuiteName && version == kTxPPixSuiteVersion) suite = &kPPixSuite;
    else if (n == kTxPlaymodAudioSuiteName && version == kTxPlaymodAudioSuiteVersion) suite = &kAudioSuite;
    else if (n == kTxTimeSuiteName && version == kTxTimeSuiteVersion) suite = &kTimeSuite;
    if (!suite) {
        *out = nullptr;
        return kTxSpErrorSuiteNotFound;
    }
    *out = suite;
    std::lock_guard<std::mutex> lock(mutex_);
    ++acquired_[n + " v" + std::to_string(version)];
    return kTxSpErrorNone;
}

TxSpError HostSession::ReleaseSuite(const char* name, std::int32_t version) {
    if (!name) return kTxSpErrorBadParameter;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = acquired_.find(std::string(name) + " v" + std::to_string(version));
    if (it == acquired_.end() || it->second <= 0) {
        report_.problems.push_back(std::string("released suite \"") + name + "\" v" + std::to_string(version) +
                                   " that it did not hold");
        return kTxSpErrorBadParameter;
    }
    --it->second;
    return kTxSpErrorNone;
}

void HostSession::Problem(const std::string& sentence) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(report_.problems.begin(), report_.problems.end(), sentence) == report_.problems.end()) {
        report_.problems.push_back(sentence);
    }
}

TxPPix* HostSession::Picture(TxPPixHandle ppix) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = livePPix_.find(ppix);
    return it == livePPix_.end() ? nullptr : it->second;
}

TxSuiteError HostSession::DisposePPix(TxPPixHandle ppix) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = livePPix_.find(ppix);
    if (it == livePPix_.end()) {
        ++badDisposes_;
        return kTxSuiteErrorInvalidParms;
    }
    delete it->second;
    livePPix_.erase(it);
    return kTxSuiteErrorNone;
}

TxSuiteError HostSession::GetPixels(TxPPixHandle ppix, std::int32_t access, char** out) {
    TxPPix* picture = Picture(ppix);
    if (!picture || !out) return kTxSuiteErrorInvalidParms;
    if (access != kTxPPixAccessRead) {
        // The host's pictures are read only: write access gets no pixels.
        *out = nullptr;
        Problem("asked for a pushed picture's pixels with access " + std::to_string(access) +
                " (read access is " + std::to_string(kTxPPixAccessRead) + ")");
        return kTxSuiteErrorInvalidCall;
    }
    *out = reinterpret_cast<char*>(picture->pixels.data());
    return kTxSuiteErrorNone;
}

void HostSession::OnDroppedFrames(std::int64_t frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames > 0) droppedFrames_ += frames;
}

void HostSession::FillTone(float** buffers, std::uint32_t channels, std::uint32_t count) {
    // 440 Hz at a quarter of full scale, the same on every channel.
    std::lock_guard<std::mutex> lock(toneMutex_);
    if (source_) {
        // The file's own sound (silence when it has none) instead of the tone.
        source_->ReadAudio(buffers, static_cast<int>(channels), count);
        toneSamples_ += count;
        return;
    }
    const double step = 2 * kPi * 440.0 / kHostAudioRate;
    const bool sync = options_.pattern == PatternKind::kSync;
    for (std::uint32_t i = 0; i < count; ++i) {
        float v = static_cast<float>(0.25 * std::sin(tonePhase_));
        tonePhase_ = std::fmod(tonePhase_ + step, 2 * kPi);
        float click = 0;
        if (sync && sync_.InClick(toneSamples_, &click)) v = click;
        ++toneSamples_;
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (buffers[c]) buffers[c][i] = v;
        }
    }
}

TxSuiteError HostSession::GetNextAudioBuffer(std::int32_t playId, float** outBuffers, unsigned int count) {
    // Audio comes from this suite only in pull mode, and only for our play.
    bool clockRunning = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clockRunning = clockRunning_;
    }
    if (options_.audio != AudioMode::kPull || playId != kHostPlayId) return kTxSuiteErrorAudioNotInitialized;
    if (!clockRunning) return kTxSuiteErrorAudioNotStarted;
    if (!outBuffers) return kTxSuiteErrorInvalidParms;
    FillTone(outBuffers, 2, count);
    audioPulled_.fetch_add(count);
    return kTxSuiteErrorNone;
}

void HostSession::OnClock(std::int64_t elapsedTicks) {
    bool advance = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++clockCallbacks_;
        lastCallback_ = clock_.Now();
        advance = !selfClocked_;
    }
    if (advance) timeline_.Advance(elapsedTicks);
}

TxPPixHandle HostSession::RenderFrame(std::int64_t index) {
    auto* p = new TxPPix;
    p->width = options_.width;
    p->height = options_.height;
    p->rowBytes = options_.width * 4;
    const std::size_t size = static_cast<std::size_t>(p->rowBytes) * p->height;
    const PatternStamp stamp{static_cast<std::uint64_t>(MicrosSinceEpoch(clock_.Now())),
                             static_cast<std::uint32_t>(index)};
    if (source_) {
        p->width = source_->width();
        p->height = source_->height();
        p->rowBytes = p->width * 4;
        p->pixels.resize(static_cast<std::size_t>(p->rowBytes) * p->height);
        const double seconds = static_cast<double>(index) * static_cast<double>(frameTicks_) / kHostTicksPerSecond;
        std::string why;
        if (!source_->VideoAt(seconds, p->pixels.data(), p->rowBytes, &why) && !sourceFailed_) {
            sourceFailed_ = true;  // the last good picture keeps playing
            std::lock_guard<std::mutex> lock(mutex_);
            report_.problems.push_back("the source stopped decoding: " + why);
        }
    } else if (options_.pattern == PatternKind::kStatic) {
        if (staticPicture_.empty()) {
            staticPicture_.resize(size);
            DrawPattern(PatternKind::kStatic, staticPicture_.data(), p->width, p->height, p->rowBytes, {});
        }
        p->pixels = staticPicture_;
    } else {
        p->pixels.resize(size);
        // The stamp carries the steady-clock time of the push, read back on the phone side.
        if (options_.pattern == PatternKind::kSync && sync_.IsFlashFrame(index)) {
            DrawFlash(p->pixels.data(), p->width, p->height, p->rowBytes, stamp);
        } else {
            DrawPattern(options_.pattern, p->pixels.data(), p->width, p->height, p->rowBytes, stamp);
        }
    }
    if (source_ || options_.pattern != PatternKind::kStatic) {
        // The push time, read as late as possible: drawing or decoding the picture
        // happens before the push and is no part of the latency the phone measures.
        const PatternStamp pushedAt{static_cast<std::uint64_t>(MicrosSinceEpoch(clock_.Now())),
                                    static_cast<std::uint32_t>(index)};
        WriteStamp(p->pixels.data(), p->width, p->height, p->rowBytes, pushedAt);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    p->serial = ++pictureSerial_;
    TxPPixHandle handle = &p->self;
    livePPix_.emplace(handle, p);
    return handle;
}

void HostSession::WaitForMove(std::uint64_t seenVersion) {
    const auto now = clock_.Now();
    std::int64_t advance = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!selfClocked_ && clockRunning_ && now - lastCallback_ > std::chrono::seconds(1)) {
            // The plug-in's clock went quiet: keep playing on the host's own time.
            selfClocked_ = true;
            selfLast_ = now;
        }
        if (selfClocked_ && clockRunning_) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - selfLast_).count();
            advance = static_cast<std::int64_t>(static_cast<long double>(ns) * kHostTicksPerSecond / 1e9L);
            selfLast_ += std::chrono::nanoseconds(
                static_cast<std::int64_t>(static_cast<long double>(advance) * 1e9L / kHostTicksPerSecond));
        }
    }
    if (advance > 0) timeline_.Advance(advance);
    timeline_.WaitForChange(seenVersion, clock_, now + std::chrono::milliseconds(10));
}

int HostSession::Run(const std::atomic<bool>& stop, const std::function<void(const HostStatus&)>& onStatus,
                     std::ostream& err) {
    if (gActive.load() != this) {
        err << "vx-host: another host session is active in this process\n";
        return 1;
    }
    TxModule module{};
    if (const TxResult r = entry_(kTxInterfaceVersion, 1, &gPiSuites, &module); r != 0) {
        err << "vx-host: the plug-in's entry returned " << r << "\n";
        return 1;
    }
    void* const* slots = reinterpret_cast<void* const*>(&module);
    for (int i = 0; i < kTxModuleSlotCount; ++i) {
        if (!slots[i]) {
            err << "vx-host: the plug-in left slot " << i << " of its module table empty\n";
            return 1;
        }
    }
    // The standard parameters, as the host passes them to every call.
    TxStdParms stdParms{};
    stdParms.pluginIndex = 0;
    stdParms.suites = &gPiSuites;
    TxPluginInfo info{};
    if (const TxResult r = module.Startup(&stdParms, &info); r != 0) {
        err << "vx-host: start-up failed with " << r << "\n";
        return 1;
    }
    report_.pluginName = DisplayName(info);
    if (info.interfaceVersion != kTxInterfaceVersion) {
        Problem("the plug-in info names interface version " + std::to_string(info.interfaceVersion) +
                ", not the host's " + std::to_string(kTxInterfaceVersion));
    }
    if (info.hasStreaming) module.SetStreamingStateChangedCallback(&stdParms, this, &StreamingStateChanged);

    // The instance record of the sequence the host plays: stereo float audio, square-pixel progressive video.
    TxInstance instance{};
    instance.instanceId = 1;
    instance.timelineId = 1;
    instance.playId = kHostPlayId;
    instance.hasAudio = options_.audio != AudioMode::kNone ? 1 : 0;
    instance.channelCount = 2;
    instance.channelLabels[0] = kTxAudioLabelFrontLeft;
    instance.channelLabels[1] = kTxAudioLabelFrontRight;
    instance.audioSampleType = kTxAudioSample32BitFloat;
    instance.audioSampleRate = kHostAudioRate;
    instance.hasVideo = 1;
    instance.videoWidth = options_.width;
    instance.videoHeight = options_.height;
    instance.videoParNum = 1;
    instance.videoParDen = 1;
    instance.videoFrameRate = frameTicks_;
    instance.videoFieldType = kTxFieldsNone;
    if (const TxResult r = module.CreateInstance(&stdParms, &instance); r != 0) {
        err << "vx-host: the plug-in could not create an instance (" << r
            << "); is an encoder available on this machine?\n";
        module.Shutdown(&stdParms);
        return 1;
    }
    TxVideoMode videoMode{};
    TxAudioMode audioMode{};
    if (module.QueryVideoMode(&stdParms, &instance, 0, &videoMode) == 0 && videoMode.pixelFormat != kTxPixelFormatBgra &&
        videoMode.pixelFormat != kTxPixelFormatAny) {
        Problem("video mode 0 asks for pixel format 0x" + Hex(videoMode.pixelFormat) + ", not 8-bit BGRA (0x" +
                Hex(kTxPixelFormatBgra) + ")");
    }
    module.QueryAudioMode(&stdParms, &instance, 0, &audioMode);
    module.ActivateDeactivate(&stdParms, &instance, kTxActivationPlayerActivated, 1, 1);
    // The host's Setup button: a key while vx-host runs.
    auto setupKeys = std::make_unique<SetupKeyReader>([&] { module.SetupDialog(&stdParms, nullptr); });

    const std::int64_t inTicks = SecondsToTicks(options_.inPoint);
    const std::int64_t outTicks = options_.outPoint >= 0 ? SecondsToTicks(options_.outPoint) : -1;
    std::uint32_t samplesPerFrame = 0;
    bool clockOn = false;
    bool audioOn = false;
    // Playback follows the timeline's play state: clock and audio start and stop with it.
    auto setPlaying = [&](bool on) {
        if (on == clockOn) return;
        if (on) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                clockRunning_ = true;
                selfClocked_ = false;
                lastCallback_ = clock_.Now();
            }
            const TimelineView view = timeline_.View();
            TxPlaybackClock clockRec{};
            clockRec.callback = &ClockCallback;
            clockRec.callbackContext = this;
            clockRec.startTime = view.ticks;
            clockRec.playMode = kTxPlayModePlaying;
            clockRec.speed = view.state == PlayState::kReverse ? -1.0f : 1.0f;
            clockRec.inTime = inTicks;
            clockRec.outTime = outTicks;
            clockRec.loop = 0;
            clockRec.droppedFrameCallback = &DroppedFramesCallback;
            module.StartPlaybackClock(&stdParms, &instance, &clockRec);
            if (options_.audio == AudioMode::kPush) {
                module.StartPushAudio(&stdParms, &instance, view.ticks, clockRec.speed, inTicks, outTicks, 0, 0,
                                      &samplesPerFrame);
                if (samplesPerFrame == 0) samplesPerFrame = 1024;
                audioOn = true;
            }
        } else {
            if (audioOn) module.StopPushAudio(&stdParms, &instance);
            audioOn = false;
            module.StopPlaybackClock(&stdParms, &instance);
            std::lock_guard<std::mutex> lock(mutex_);
            clockRunning_ = false;
        }
        clockOn = on;
        if (onPlayState_) onPlayState_(on);
    };
    if (!options_.paused) timeline_.PlayForward();

    const std::int64_t endTicks = options_.seconds > 0 ? SecondsToTicks(options_.seconds) : -1;
    const auto wallStart = clock_.Now();
    auto lastStatus = wallStart;
    std::int64_t framesAtLastStatus = 0;
    std::int64_t frame = 0;        // pictures pushed
    std::int64_t playedFrames = 0;  // pictures pushed while playing: the audio follows them
    std::int64_t lastShown = -1;    // the timeline frame of the last picture
    std::vector<float> left, right;
    auto status = [&](bool force) {
        const auto now = clock_.Now();
        if (!onStatus || (!force && now - lastStatus < std::chrono::milliseconds(500))) return;
        if (setupKeys && setupKeys->ViewHoldsTerminal()) return;
        HostStatus s;
        const double dt = std::chrono::duration<double>(now - lastStatus).count();
        const TimelineView view = timeline_.View();
        s.timelineSeconds = static_cast<double>(view.ticks) / kHostTicksPerSecond;
        s.frame = view.ticks / frameTicks_;
        s.state = view.state;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            s.clockCallbacks = clockCallbacks_;
            s.selfClocked = selfClocked_;
            s.ppixLive = static_cast<int>(livePPix_.size());
        }
        s.framesPushed = frame;
        s.pushFps = dt > 0 ? static_cast<double>(frame - framesAtLastStatus) / dt : 0;
        s.audioSeconds = static_cast<double>(audioPushed_ + audioPulled_.load()) / kHostAudioRate;
        framesAtLastStatus = frame;
        lastStatus = now;
        onStatus(s);
    };
    auto wallOver = [&] {
        return options_.seconds > 0 && clock_.Now() - wallStart >= std::chrono::duration<double>(options_.seconds);
    };

    const std::int64_t pauseTicks = options_.pauseAfter > 0 ? SecondsToTicks(options_.pauseAfter) : -1;
    bool pausedByOption = false;
    while (!stop.load()) {
        TimelineView view = timeline_.View();
        if (!pausedByOption && pauseTicks >= 0 && view.state == PlayState::kForward && lastShown >= 0 &&
            (lastShown + 1) * frameTicks_ >= pauseTicks) {
            // The editor pauses: audio and clock stop, the picture stays.
            pausedByOption = true;
            view = timeline_.Stop();
        }
        setPlaying(view.state != PlayState::kStopped);
        const std::int64_t at = view.ticks / frameTicks_;
        std::int64_t show = -1;
        if (view.state == PlayState::kForward) {
            // Forward play shows every frame in turn; a jump back shows where it landed.
            const std::int64_t next = (lastShown >= 0 && at >= lastShown) ? lastShown + 1 : at;
            if (endTicks >= 0 && next * frameTicks_ >= endTicks) break;
            if (at >= next) show = next;
        } else {
            if (view.state == PlayState::kStopped && endTicks >= 0 && view.ticks >= endTicks) break;  // played to the end
            if (at != lastShown) show = at;
            else if (wallOver()) break;
        }
        if (show < 0) {
            // Paused with its picture shown, or waiting for the next frame's time.
            WaitForMove(view.version);
            status(false);
            continue;
        }
        const TxLabeledFrame pushed{RenderFrame(show), nullptr};
        TxPushVideo video{};
        video.time = show * frameTicks_;
        video.playMode = view.state != PlayState::kStopped ? kTxPlayModePlaying : kTxPlayModeStopped;
        video.quality = kTxRenderQualityHigh;
        video.frames = &pushed;
        video.frameCount = 1;
        module.PushVideo(&stdParms, &instance, &video);
        ++frame;
        lastShown = show;
        if (view.state != PlayState::kStopped) ++playedFrames;
        if (audioOn) {
            // Audio keeps up with the end of the frame just shown.
            const std::int64_t wanted = static_cast<std::int64_t>(static_cast<long double>(playedFrames) * frameTicks_ *
                                                                  kHostAudioRate / kHostTicksPerSecond);
            while (audioPushed_ + samplesPerFrame <= wanted && !stop.load()) {
                left.resize(samplesPerFrame);
                right.resize(samplesPerFrame);
                float* buffers[2] = {left.data(), right.data()};
                FillTone(buffers, 2, samplesPerFrame);
                const TxPushAudio audio{static_cast<TxTime>(static_cast<long double>(audioPushed_) *
                                                            kHostTicksPerSecond / kHostAudioRate),
                                        buffers, samplesPerFrame, 2};
                module.PushAudio(&stdParms, &instance, &audio);
                audioPushed_ += samplesPerFrame;
            }
        }
        status(false);
    }
    status(true);

    // The host's order at the end of playback.
    setPlaying(false);
    setupKeys.reset();
    module.ActivateDeactivate(&stdParms, &instance, kTxActivationPlayerActivated, 0, 0);
    module.DisposeInstance(&stdParms, &instance);
    module.Shutdown(&stdParms);

    std::lock_guard<std::mutex> lock(mutex_);
    report_.framesPushed = frame;
    report_.audioSamplesPushed = audioPushed_;
    report_.audioSamplesPulled = audioPulled_.load();
    report_.clockCallbacks = clockCallbacks_;
    report_.ppixNeverDisposed = static_cast<int>(livePPix_.size());
    report_.ppixBadDisposes = badDisposes_;
    report_.droppedFrames = droppedFrames_;
    if (instance.privateData) report_.problems.push_back("the instance's private data was not cleared by dispose");
    if (report_.ppixNeverDisposed > 0) {
        report_.problems.push_back(std::to_string(report_.ppixNeverDisposed) + " pushed frame(s) never disposed");
    }
    if (badDisposes_ > 0) {
        report_.problems.push_back(std::to_string(badDisposes_) + " dispose(s) of a frame not held (twice or unknown)");
    }
    for (const auto& [name, count] : acquired_) {
        if (count > 0) {
            report_.unreleasedSuites.push_back(name + " x" + std::to_string(count));
            report_.problems.push_back("suite \"" + name + "\" acquired but not released (" + std::to_string(count) + ")");
        }
    }
    for (const auto& p : report_.problems) err << "vx-host: plug-in broke a host rule: " << p << "\n";
    return report_.problems.empty() ? 0 : 3;
}

int HostMain(const std::vector<std::string>& args, const std::atomic<bool>& stop, std::ostream& out,
             std::ostream& err, bool statusIsTerminal) {
    std::string error;
    auto options = ParseHostOptions(args, &error);
    if (!options) {
        err << "vx-host: " << error << "\n";
        return 2;
    }
    if (options->help) {
        out << UsageText();
        return 0;
    }
    std::unique_ptr<MediaSource> source;
    if (!options->source.empty()) {
        MediaSourceOptions so;
        if (options->sizeGiven) {
            so.width = options->width;
            so.height = options->height;
        }
        so.sampleRate = static_cast<int>(kHostAudioRate);
        so.channels = 2;
        source = OpenMediaSource(options->source, so, &error);
        if (!source) {
            err << "vx-host: --source: " << error << "\n";
            return 2;
        }
        options->width = source->width();
        options->height = source->height();
    }
    // The control surface loads first, as the editing host loads its plug-ins.
    bool ctrlOk = true;
    ControlSurfacePlugin ctrlPlugin = LoadControlSurface(options->noCtrl, options->ctrl, out, err, &ctrlOk);
    if (!ctrlOk) return 1;
    std::filesystem::path plugin = options->plugin;
    if (plugin.empty()) plugin = SelfExecutablePath().parent_path() / DefaultPluginFileName();
    auto library = LoadPluginLibrary(plugin, &error);
    if (!library) {
        err << "vx-host: cannot load the plug-in " << plugin.string() << ": " << error << "\n";
        return 1;
    }
    auto entry = reinterpret_cast<TxEntryFunc>(library->Symbol(kTxEntryName));
    if (!entry) {
        err << "vx-host: " << plugin.string() << " does not export " << kTxEntryName << "\n";
        return 1;
    }
    const HostKind host = DetectHost();
    out << "vx-host: " << plugin.string() << " as " << HostName(host) << ", " << options->width << "x"
        << options->height << " @ " << std::fixed << std::setprecision(3) << options->fps.value() << " fps, "
        << (source ? "source " + options->source + (source->hasAudio() ? " (with audio)" : " (no audio)")
                   : std::string("pattern ") + PatternKindName(options->pattern))
        << ", audio " << AudioModeName(options->audio)
        << (options->paused ? ", paused" : "") << "\n";
    out.flush();
    int rc = 0;
    HostReport report;
    {
        HostSession session(*options, entry);
        if (source) session.UseSource(std::move(source));
        std::mutex sayMutex;
        CtrlHost ctrl(session.timeline(), [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(sayMutex);
            out << line << "\n" << std::flush;
        });
        if (ctrlPlugin.entry) {
            if (ctrl.Start(ctrlPlugin.entry, &error)) {
                out << "vx-host: control surface connected: " << ctrl.pluginName() << "\n" << std::flush;
                session.SetPlayStateListener([&](bool playing) { ctrl.NotifyPlayState(playing); });
            } else {
                err << "vx-host: the control surface did not start: " << error << "\n";
            }
        }
        auto onStatus = [&](const HostStatus& s) {
            if (options->quiet) return;
            char line[256];
            std::snprintf(line, sizeof line,
                          "t=%8.2f s  frame %6lld %-7s  frames %7lld  %6.2f fps  audio %7.2f s  clock %s (%lld)  frames held %d",
                          s.timelineSeconds, static_cast<long long>(s.frame), PlayStateName(s.state),
                          static_cast<long long>(s.framesPushed), s.pushFps, s.audioSeconds,
                          s.selfClocked ? "host" : "plug-in", static_cast<long long>(s.clockCallbacks), s.ppixLive);
            if (statusIsTerminal) err << "\r" << line << "\x1b[K" << std::flush;
            else err << line << "\n";
        };
        rc = session.Run(stop, onStatus, err);
        ctrl.Stop();
        for (const auto& p : ctrl.problems()) err << "vx-host: plug-in broke a host rule: " << p << "\n";
        if (rc == 0 && !ctrl.problems().empty()) rc = 3;
        if (statusIsTerminal && !options->quiet) err << "\n";
        report = session.report();
    }
    out << "vx-host: " << (report.pluginName.empty() ? "plug-in" : report.pluginName) << ": "
        << report.framesPushed << " frames, " << (report.audioSamplesPushed + report.audioSamplesPulled)
        << " audio samples (" << report.audioSamplesPushed << " pushed, " << report.audioSamplesPulled
        << " pulled), " << report.clockCallbacks << " clock callbacks\n";
    if (ProcessUsage usage; ReadProcessUsage(&usage)) {
        out << "vx-host: process: cpu " << std::setprecision(2) << usage.cpuSeconds << " s, peak memory "
            << std::setprecision(1) << usage.peakMemoryMiB << " MiB\n";
    }
    return rc;
}

}  // namespace Veltrix::host
