// A small transmit plug-in for testing vx-host: records the order of the host's
// calls, uses the host's suites as the real plug-in does (PPix, audio pull,
// time base), runs a playback clock thread, and reads the stamp of every pushed
// picture. The record is returned by recording_plugin_record() and, when
// VX_RECORDING_LOG names a file, written there at shut-down.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/transmit_sdk.h"
#include "support/paths.h"
#include "testpattern/test_pattern.h"

#if defined(_WIN32)
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::mutex gMutex;
std::string gRecord;  // one call per line; repeated pushes are counted, not listed
bool gSawVideo = false, gSawAudio = false;
long gFrames = 0, gBadFormats = 0, gStamps = 0, gStampOrderErrors = 0, gPushedSamples = 0, gPulledSamples = 0, gPullErrors = 0;
long gTicks = 0;
long long gLastIndex = -1;

void Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(gMutex);
    gRecord += line + "\n";
}

struct State {
    const TxBasicSuite* basic = nullptr;
    const TxPPixSuite* ppix = nullptr;
    const TxPlaymodAudioSuite* audio = nullptr;
    std::int64_t ticksPerSecond = 0;
    std::int64_t frameTicks = 0;
    std::int32_t playId = 0;
    std::thread clock;
    std::atomic<bool> clockRunning{false};
};

void ClockThread(State* s, TxClockCallback cb, void* ctx) {
    const auto period = std::chrono::nanoseconds(s->frameTicks * 1'000'000'000LL / s->ticksPerSecond);
    auto last = std::chrono::steady_clock::now();
    std::vector<float> l(4096), r(4096);
    while (s->clockRunning.load()) {
        std::this_thread::sleep_until(last + period);
        const auto now = std::chrono::steady_clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
        last = now;
        cb(ctx, static_cast<std::int64_t>(static_cast<long double>(elapsed) * s->ticksPerSecond / 1e9L));
        const auto want = static_cast<std::uint32_t>(s->frameTicks * 48000 / s->ticksPerSecond);
        float* bufs[2] = {l.data(), r.data()};
        const TxSuiteError res = s->audio->GetNextAudioBuffer(s->playId, nullptr, bufs, want);
        std::lock_guard<std::mutex> lock(gMutex);
        ++gTicks;
        if (res < 0) ++gPullErrors;
        else gPulledSamples += want;
    }
}

State* Get(const TxInstance* i) { return i ? static_cast<State*>(i->privateData) : nullptr; }

TxResult Startup(TxStdParms*, TxPluginInfo* info) {
    Note("startup");
    const char name[] = "Recorder";
    for (int i = 0; name[i]; ++i) info->displayName[i] = static_cast<TxUtf16Char>(name[i]);
    info->interfaceVersion = kTxInterfaceVersion;
    info->hasStreaming = 1;
    return 0;
}
TxResult Shutdown(TxStdParms*) {
    Note("shutdown");
    if (const char* path = std::getenv("VX_RECORDING_LOG")) {
        if (FILE* f = std::fopen(path, "wb")) {
            std::lock_guard<std::mutex> lock(gMutex);
            std::fprintf(f, "%shost=%s\n", gRecord.c_str(), Veltrix::HostName(Veltrix::DetectHost()));
            std::fclose(f);
        }
    }
    return 0;
}
TxResult SetupDialog(TxStdParms*, void*) { return 0; }
TxResult NeedsReset(const TxStdParms*, TxBool* out) {
    if (out) *out = 0;
    return 0;
}
TxResult CreateInstance(const TxStdParms* parms, TxInstance* inst) {
    Note("create rate=" + std::to_string(static_cast<int>(inst->audioSampleRate)) +
         " play=" + std::to_string(inst->playId) + " channels=" + std::to_string(inst->channelCount) +
         " size=" + std::to_string(inst->videoWidth) + "x" + std::to_string(inst->videoHeight));
    auto* s = new State;
    s->basic = parms->suites->utilFuncs->GetSPBasicSuite();
    const void* p = nullptr;
    if (s->basic->AcquireSuite(kTxPPixSuiteName, kTxPPixSuiteVersion, &p) == 0) s->ppix = static_cast<const TxPPixSuite*>(p);
    if (s->basic->AcquireSuite(kTxPlaymodAudioSuiteName, kTxPlaymodAudioSuiteVersion, &p) == 0)
        s->audio = static_cast<const TxPlaymodAudioSuite*>(p);
    if (s->basic->AcquireSuite(kTxTimeSuiteName, kTxTimeSuiteVersion, &p) == 0) {
        static_cast<const TxTimeSuite*>(p)->GetTicksPerSecond(&s->ticksPerSecond);
        s->basic->ReleaseSuite(kTxTimeSuiteName, kTxTimeSuiteVersion);
    }
    s->frameTicks = inst->videoFrameRate;
    s->playId = inst->playId;
    inst->privateData = s;
    return 0;
}
TxResult DisposeInstance(const TxStdParms*, TxInstance* inst) {
    Note("dispose");
    if (State* s = Get(inst)) {
        if (s->ppix) s->basic->ReleaseSuite(kTxPPixSuiteName, kTxPPixSuiteVersion);
        if (s->audio) s->basic->ReleaseSuite(kTxPlaymodAudioSuiteName, kTxPlaymodAudioSuiteVersion);
        delete s;
    }
    inst->privateData = nullptr;
    return 0;
}
TxResult QueryAudioMode(const TxStdParms*, const TxInstance*, int32_t index, TxAudioMode* out) {
    Note("query_audio " + std::to_string(index));
    if (index != 0 || !out) return kTxResultNoMode;
    out->sampleRate = 48000.0f;
    out->channelCount = 2;
    return 0;
}
TxResult QueryVideoMode(const TxStdParms*, const TxInstance*, int32_t index, TxVideoMode* out) {
    Note("query_video " + std::to_string(index));
    if (index != 0 || !out) return kTxResultNoMode;
    out->pixelFormat = kTxPixelFormatBgra;
    return 0;
}
TxResult Activate(const TxStdParms*, const TxInstance*, int32_t, TxBool audio, TxBool video) {
    Note("activate " + std::to_string(audio) + " " + std::to_string(video));
    return 0;
}
TxResult StartClock(const TxStdParms*, const TxInstance* inst, const TxPlaybackClock* clock) {
    Note("start_clock mode=" + std::to_string(clock->playMode));
    State* s = Get(inst);
    if (!s || clock->playMode != kTxPlayModePlaying || s->clockRunning.exchange(true)) return 0;
    s->clock = std::thread(&ClockThread, s, clock->callback, clock->callbackContext);
    return 0;
}
TxResult StopClock(const TxStdParms*, const TxInstance* inst) {
    Note("stop_clock");
    State* s = Get(inst);
    if (s && s->clockRunning.exchange(false)) s->clock.join();
    return 0;
}
TxResult PushVideo(const TxStdParms*, const TxInstance* inst, const TxPushVideo* video) {
    State* s = Get(inst);
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (!gSawVideo) {
            gRecord += "push_video\n";
            // The record itself is written at shutdown; a test that must wait
            // for the host to be running waits for this file.
            if (const char* path = std::getenv("VX_RECORDING_LOG")) {
                if (FILE* f = std::fopen((std::string(path) + ".pushing").c_str(), "wb")) std::fclose(f);
            }
        }
        gSawVideo = true;
    }
    for (std::size_t i = 0; i < video->frameCount; ++i) {
        TxPPixHandle p = video->frames[i].frame;
        char* pixels = nullptr;
        TxRect b{};
        int32_t rowBytes = 0;
        TxPixelFormat format = 0;
        s->ppix->GetPixels(p, kTxPPixAccessRead, &pixels);
        s->ppix->GetBounds(p, &b);
        s->ppix->GetRowBytes(p, &rowBytes);
        s->ppix->GetPixelFormat(p, &format);
        long long index = -1;  // the picture's stamped frame index; -1 without one
        if (pixels) {
            if (auto stamp = Veltrix::ReadStampBgra(reinterpret_cast<const std::uint8_t*>(pixels), b.right - b.left,
                                                    b.bottom - b.top, rowBytes)) {
                index = static_cast<long long>(stamp->frameIndex);
            }
        }
        {
            std::lock_guard<std::mutex> lock(gMutex);
            ++gFrames;
            if (format != kTxPixelFormatBgra) ++gBadFormats;
            if (index >= 0) {
                ++gStamps;
                if (index != gLastIndex + 1) ++gStampOrderErrors;
                gLastIndex = index;
            }
        }
        s->ppix->Dispose(p);
    }
    return 0;
}
TxResult StartPushAudio(const TxStdParms*, const TxInstance*, TxTime, float, TxTime, TxTime, TxBool, TxBool scrubbing,
                        uint32_t* spf) {
    Note("start_push_audio scrubbing=" + std::to_string(scrubbing));
    if (spf) *spf = 1024;
    return 0;
}
TxResult PushAudio(const TxStdParms*, const TxInstance*, const TxPushAudio* audio) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gSawAudio) gRecord += "push_audio\n";
    gSawAudio = true;
    gPushedSamples += audio->sampleCount;
    return 0;
}
TxResult StopPushAudio(const TxStdParms*, const TxInstance*) {
    Note("stop_push_audio");
    return 0;
}
TxResult StreamingCallback(const TxStdParms*, void*, TxStreamingStateChangedCallback cb) {
    Note(std::string("streaming_callback ") + (cb ? "set" : "none"));
    return 0;
}
TxResult EnableStreaming(const TxStdParms*, TxBool) { return 0; }
TxResult Flag(const TxStdParms*, TxBool* out) {
    if (out) *out = 1;
    return 0;
}

}  // namespace

PLUGIN_EXPORT TxResult xTransmitEntry(int32_t version, TxBool load, TxPiSuites* suites, TxModule* m) {
    if (!load) return 0;
    Note("entry version=" + std::to_string(version) + " suites=" + std::to_string(suites ? suites->interfaceVersion : -1));
    *m = TxModule{&Startup,         &Shutdown,       &SetupDialog,    &NeedsReset, &CreateInstance,
                  &DisposeInstance, &QueryAudioMode, &QueryVideoMode, &Activate,   &StartClock,
                  &StopClock,       &PushVideo,      &StartPushAudio, &PushAudio,  &StopPushAudio,
                  &StreamingCallback, &EnableStreaming, &Flag,        &Flag};
    return 0;
}

// The record so far, with the counters as "key=value" lines; reset clears it.
PLUGIN_EXPORT const char* recording_plugin_record(int reset) {
    static std::string copy;
    std::lock_guard<std::mutex> lock(gMutex);
    copy = gRecord + "frames=" + std::to_string(gFrames) + "\nbad_formats=" + std::to_string(gBadFormats) +
           "\nstamps=" + std::to_string(gStamps) +
           "\nstamp_order_errors=" + std::to_string(gStampOrderErrors) + "\npushed=" + std::to_string(gPushedSamples) +
           "\npulled=" + std::to_string(gPulledSamples) + "\npull_errors=" + std::to_string(gPullErrors) +
           "\nticks=" + std::to_string(gTicks) + "\n";
    if (reset) {
        gRecord.clear();
        gSawVideo = gSawAudio = false;
        gFrames = gBadFormats = gStamps = gStampOrderErrors = gPushedSamples = gPulledSamples = gPullErrors = gTicks = 0;
        gLastIndex = -1;
    }
    return copy.c_str();
}
