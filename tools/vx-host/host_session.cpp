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

#include "vx-host/platform.h"
#include "vx-host/setup_command.h"

// The host's picture behind a TxPPixHandle.
struct TxPPix {
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int rowBytes = 0;
};

namespace Veltrix::host {
namespace {

constexpr TxResult kHostError = -1;
constexpr double kPi = 3.14159265358979323846;

std::atomic<HostSession*> gActive{nullptr};

TxResult SuiteAcquire(const char* name, std::int32_t version, const void** out) {
    HostSession* s = gActive.load();
    return s ? s->AcquireSuite(name, version, out) : kHostError;
}
TxResult SuiteRelease(const char* name, std::int32_t version) {
    HostSession* s = gActive.load();
    return s ? s->ReleaseSuite(name, version) : kHostError;
}
const TxBasicSuite kBasicSuite{&SuiteAcquire, &SuiteRelease};
const TxBasicSuite* GetBasicSuite() { return &kBasicSuite; }
const TxUtilityFuncs kUtilityFuncs{&GetBasicSuite};
const TxHostSuites kHostSuites{kTxInterfaceVersion, &kUtilityFuncs};

TxResult PPixDispose(TxPPixHandle p) {
    HostSession* s = gActive.load();
    return s ? s->DisposePPix(p) : kHostError;
}
TxResult PPixGetPixels(TxPPixHandle p, std::int32_t mode, char** out) {
    if (!p || !out) return kHostError;
    *out = reinterpret_cast<char*>(p->pixels.data());
    return 0;
}
TxResult PPixGetBounds(TxPPixHandle p, TxRect* out) {
    if (!p || !out) return kHostError;
    *out = TxRect{0, 0, p->width, p->height};
    return 0;
}
TxResult PPixGetRowBytes(TxPPixHandle p, std::int32_t* out) {
    if (!p || !out) return kHostError;
    *out = p->rowBytes;
    return 0;
}
TxResult PPixGetPixelFormat(TxPPixHandle p, std::uint32_t* out) {
    if (!p || !out) return kHostError;
    *out = kTxPixelFormatBgra;
    return 0;
}
const TxPPixSuite kPPixSuite{&PPixDispose, &PPixGetPixels, &PPixGetBounds, &PPixGetRowBytes,
                             &PPixGetPixelFormat};

TxResult AudioNext(std::int32_t playId, std::int32_t flags, float** buffers, std::uint32_t count) {
    HostSession* s = gActive.load();
    return s ? s->GetNextAudioBuffer(playId, flags, buffers, count) : kHostError;
}
const TxPlaymodAudioSuite kAudioSuite{&AudioNext};

TxResult TimeTicksPerSecond(std::int64_t* out) {
    if (!out) return kHostError;
    *out = kHostTicksPerSecond;
    return 0;
}
const TxTimeSuite kTimeSuite{&TimeTicksPerSecond};

void ClockCallback(void* context, std::int64_t elapsed) {
    static_cast<HostSession*>(context)->OnClock(elapsed);
}

std::string DisplayName(const TxPluginInfo& info) {
    std::string s;
    for (std::uint16_t c : info.displayName) {
        if (!c) break;
        s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return s;
}

std::int64_t MicrosSinceEpoch(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

}  // namespace

HostSession::HostSession(const HostOptions& options, TxEntryFunc entry, Clock& clock)
    : options_(options), entry_(entry), clock_(clock) {
    // Exact for the usual rates: 254,016,000,000 is divisible by 30000, 24000, 60000, 25...
    frameTicks_ = kHostTicksPerSecond * options_.fps.den / options_.fps.num;
    HostSession* expected = nullptr;
    gActive.compare_exchange_strong(expected, this);
}

HostSession::~HostSession() {
    HostSession* self = this;
    gActive.compare_exchange_strong(self, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    for (TxPPix* p : livePPix_) delete p;
}

TxResult HostSession::AcquireSuite(const char* name, std::int32_t version, const void** out) {
    if (!name || !out) return kHostError;
    const void* suite = nullptr;
    const std::string n = name;
    if (n == kTxPPixSuiteName && version == kTxPPixSuiteVersion) suite = &kPPixSuite;
    else if (n == kTxPlaymodAudioSuiteName && version == kTxPlaymodAudioSuiteVersion) suite = &kAudioSuite;
    else if (n == kTxTimeSuiteName && version == kTxTimeSuiteVersion) suite = &kTimeSuite;
    if (!suite) {
        *out = nullptr;
        return kHostError;
    }
    *out = suite;
    std::lock_guard<std::mutex> lock(mutex_);
    ++acquired_[n + " v" + std::to_string(version)];
    return 0;
}

TxResult HostSession::ReleaseSuite(const char* name, std::int32_t version) {
    if (!name) return kHostError;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = acquired_.find(std::string(name) + " v" + std::to_string(version));
    if (it == acquired_.end() || it->second <= 0) {
        report_.problems.push_back(std::string("released suite \"") + name + "\" v" + std::to_string(version) +
                                   " that it did not hold");
        return kHostError;
    }
    --it->second;
    return 0;
}

TxResult HostSession::DisposePPix(TxPPixHandle ppix) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = livePPix_.find(ppix);
    if (it == livePPix_.end()) {
        ++badDisposes_;
        return kHostError;
    }
    livePPix_.erase(it);
    delete ppix;
    return 0;
}

void HostSession::FillTone(float** buffers, std::uint32_t channels, std::uint32_t count) {
    // 440 Hz at a quarter of full scale, the same on every channel.
    std::lock_guard<std::mutex> lock(toneMutex_);
    const double step = 2 * kPi * 440.0 / kHostAudioRate;
    for (std::uint32_t i = 0; i < count; ++i) {
        const float v = static_cast<float>(0.25 * std::sin(tonePhase_));
        tonePhase_ = std::fmod(tonePhase_ + step, 2 * kPi);
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (buffers[c]) buffers[c][i] = v;
        }
    }
}

TxResult HostSession::GetNextAudioBuffer(std::int32_t playId, std::int32_t, float** buffers,
                                         std::uint32_t count) {
    // Audio comes from this suite only in pull mode, and only for our play.
    if (options_.audio != AudioMode::kPull || options_.paused || playId != kHostPlayId || !buffers) {
        return kHostError;
    }
    FillTone(buffers, 2, count);
    audioPulled_.fetch_add(count);
    return 0;
}

void HostSession::OnClock(std::int64_t elapsedTicks) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++clockCallbacks_;
        lastCallback_ = clock_.Now();
        if (!selfClocked_ && elapsedTicks > 0) timeline_ += elapsedTicks;
    }
    timelineMoved_.notify_all();
}

TxPPixHandle HostSession::RenderFrame(std::int64_t index) {
    auto* p = new TxPPix;
    p->width = options_.width;
    p->height = options_.height;
    p->rowBytes = options_.width * 4;
    const std::size_t size = static_cast<std::size_t>(p->rowBytes) * p->height;
    if (options_.pattern == PatternKind::kStatic) {
        if (staticPicture_.empty()) {
            staticPicture_.resize(size);
            DrawPattern(PatternKind::kStatic, staticPicture_.data(), p->width, p->height, p->rowBytes, {});
        }
        p->pixels = staticPicture_;
    } else {
        p->pixels.resize(size);
        // The stamp carries the steady-clock time of the push, read back on the phone side.
        const PatternStamp stamp{static_cast<std::uint64_t>(MicrosSinceEpoch(clock_.Now())),
                                 static_cast<std::uint32_t>(index)};
        DrawPattern(PatternKind::kMoving, p->pixels.data(), p->width, p->height, p->rowBytes, stamp);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    livePPix_.insert(p);
    return p;
}

std::int64_t HostSession::WaitForTimeline(std::int64_t target, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop.load()) {
        const auto now = clock_.Now();
        if (!selfClocked_ && clockRunning_ && now - lastCallback_ > std::chrono::seconds(1)) {
            // The plug-in's clock went quiet: keep playing on the host's own time.
            selfClocked_ = true;
            selfBase_ = timeline_;
            selfStart_ = now;
        }
        if (selfClocked_) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - selfStart_).count();
            timeline_ = selfBase_ + static_cast<std::int64_t>(static_cast<long double>(ns) * kHostTicksPerSecond / 1e9L);
        }
        if (timeline_ >= target) break;
        clock_.WaitFor(timelineMoved_, lock, std::chrono::milliseconds(10), [&] { return timeline_ >= target; });
    }
    return timeline_;
}

int HostSession::Run(const std::atomic<bool>& stop, const std::function<void(const HostStatus&)>& onStatus,
                     std::ostream& err) {
    if (gActive.load() != this) {
        err << "vx-host: another host session is active in this process\n";
        return 1;
    }
    TxModule module{};
    if (const TxResult r = entry_(kTxInterfaceVersion, 1, &kHostSuites, &module); r != 0) {
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
    const TxStdParms stdParms{kTxInterfaceVersion, &kHostSuites};
    TxPluginInfo info{};
    if (const TxResult r = module.Startup(&stdParms, &info); r != 0) {
        err << "vx-host: start-up failed with " << r << "\n";
        return 1;
    }
    report_.pluginName = DisplayName(info);

    TxInstance instance{};
    instance.stdParms = &stdParms;
    instance.audioSampleRate = kHostAudioRate;
    instance.audioChannelType = 2;
    instance.videoFrameDuration = frameTicks_;
    instance.playId = kHostPlayId;
    if (const TxResult r = module.CreateInstance(&instance); r != 0) {
        err << "vx-host: the plug-in could not create an instance (" << r
            << "); is an encoder available on this machine?\n";
        module.Shutdown(&stdParms);
        return 1;
    }
    TxVideoMode videoMode{};
    TxAudioMode audioMode{};
    if (module.QueryVideoMode(&instance, 0, &videoMode) == 0 && videoMode.pixelFormat != kTxPixelFormatBgra) {
        report_.problems.push_back("video mode 0 does not ask for 'bgra' pixels");
    }
    module.QueryAudioMode(&instance, 0, &audioMode);
    module.ActivateDeactivate(&instance, 0, 1, 1);
    // The host's Setup button: a key while vx-host runs.
    auto setupKeys = std::make_unique<SetupKeyReader>([&] { module.SetupDialog(&stdParms, nullptr); });

    const bool playing = !options_.paused;
    if (playing) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clockRunning_ = true;
            lastCallback_ = clock_.Now();
        }
        const TxClock clockRec{&ClockCallback, this, kTxClockModeRun};
        module.StartPlaybackClock(&instance, &clockRec);
    }
    std::uint32_t samplesPerFrame = 0;
    const bool pushAudio = playing && options_.audio == AudioMode::kPush;
    if (pushAudio) {
        module.StartPushAudio(&instance, 0, &samplesPerFrame);
        if (samplesPerFrame == 0) samplesPerFrame = 1024;
    }

    const std::int64_t endTicks =
        options_.seconds > 0 ? static_cast<std::int64_t>(std::llround(options_.seconds * kHostTicksPerSecond)) : -1;
    const auto wallStart = clock_.Now();
    auto lastStatus = wallStart;
    std::int64_t framesAtLastStatus = 0;
    std::int64_t frame = 0;
    std::vector<float> left, right;
    auto status = [&](bool force) {
        const auto now = clock_.Now();
        if (!onStatus || (!force && now - lastStatus < std::chrono::milliseconds(500))) return;
        if (setupKeys && setupKeys->ViewHoldsTerminal()) return;
        HostStatus s;
        const double dt = std::chrono::duration<double>(now - lastStatus).count();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            s.timelineSeconds = static_cast<double>(timeline_) / kHostTicksPerSecond;
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

    const std::int64_t pauseTicks =
        options_.pauseAfter > 0 ? static_cast<std::int64_t>(std::llround(options_.pauseAfter * kHostTicksPerSecond)) : -1;
    bool playingNow = playing;
    bool pushingAudio = pushAudio;
    while (!stop.load()) {
        if (playingNow && pauseTicks >= 0 && frame > 0 && frame * frameTicks_ >= pauseTicks) {
            // The editor pauses: audio and clock stop, the picture stays.
            if (pushingAudio) module.StopPushAudio(&instance);
            module.StopPlaybackClock(&instance);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                clockRunning_ = false;
            }
            playingNow = false;
            pushingAudio = false;
        }
        if (playingNow) {
            const std::int64_t target = frame * frameTicks_;
            if (endTicks >= 0 && target >= endTicks) break;
            WaitForTimeline(target, stop);
            if (stop.load()) break;
        } else if (frame > 0) {
            // Paused: the host shows one picture and waits.
            if (options_.seconds > 0 &&
                clock_.Now() - wallStart >= std::chrono::duration<double>(options_.seconds)) {
                break;
            }
            clock_.SleepFor(std::chrono::milliseconds(20));
            status(false);
            continue;
        }
        TxPushedFrame pushed{RenderFrame(frame)};
        const TxPushedVideo video{1, &pushed};
        module.PushVideo(&instance, &video);
        ++frame;
        if (pushingAudio) {
            // Audio keeps up with the end of the frame just shown.
            const std::int64_t wanted =
                static_cast<std::int64_t>(static_cast<long double>(frame) * frameTicks_ * kHostAudioRate / kHostTicksPerSecond);
            while (audioPushed_ + samplesPerFrame <= wanted && !stop.load()) {
                left.resize(samplesPerFrame);
                right.resize(samplesPerFrame);
                float* buffers[2] = {left.data(), right.data()};
                FillTone(buffers, 2, samplesPerFrame);
                const TxPushedAudio audio{buffers, samplesPerFrame, 2};
                module.PushAudio(&instance, &audio);
                audioPushed_ += samplesPerFrame;
            }
        }
        status(false);
    }
    status(true);

    // The host's order at the end of playback.
    if (pushingAudio) module.StopPushAudio(&instance);
    if (playingNow) {
        module.StopPlaybackClock(&instance);
        std::lock_guard<std::mutex> lock(mutex_);
        clockRunning_ = false;
    }
    setupKeys.reset();
    module.ActivateDeactivate(&instance, 0, 0, 0);
    module.DisposeInstance(&instance);
    module.Shutdown(&stdParms);

    std::lock_guard<std::mutex> lock(mutex_);
    report_.framesPushed = frame;
    report_.audioSamplesPushed = audioPushed_;
    report_.audioSamplesPulled = audioPulled_.load();
    report_.clockCallbacks = clockCallbacks_;
    report_.ppixNeverDisposed = static_cast<int>(livePPix_.size());
    report_.ppixBadDisposes = badDisposes_;
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
        << options->height << " @ " << std::fixed << std::setprecision(3) << options->fps.value() << " fps, pattern "
        << PatternKindName(options->pattern) << ", audio " << AudioModeName(options->audio)
        << (options->paused ? ", paused" : "") << "\n";
    out.flush();
    int rc = 0;
    HostReport report;
    {
        HostSession session(*options, entry);
        auto onStatus = [&](const HostStatus& s) {
            if (options->quiet) return;
            char line[256];
            std::snprintf(line, sizeof line,
                          "t=%8.2f s  frames %7lld  %6.2f fps  audio %7.2f s  clock %s (%lld)  frames held %d",
                          s.timelineSeconds, static_cast<long long>(s.framesPushed), s.pushFps, s.audioSeconds,
                          s.selfClocked ? "host" : "plug-in", static_cast<long long>(s.clockCallbacks), s.ppixLive);
            if (statusIsTerminal) err << "\r" << line << "\x1b[K" << std::flush;
            else err << line << "\n";
        };
        rc = session.Run(stop, onStatus, err);
        if (statusIsTerminal && !options->quiet) err << "\n";
        report = session.report();
    }
    out << "vx-host: " << (report.pluginName.empty() ? "plug-in" : report.pluginName) << ": "
        << report.framesPushed << " frames, " << (report.audioSamplesPushed + report.audioSamplesPulled)
        << " audio samples (" << report.audioSamplesPushed << " pushed, " << report.audioSamplesPulled
        << " pulled), " << report.clockCallbacks << " clock callbacks\n";
    return rc;
}

}  // namespace Veltrix::host
