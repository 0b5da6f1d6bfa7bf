#include "transmit/module.h"

#include <exception>

#include "support/crash_handler.h"
#include "support/log.h"
#include "transmit/module_info.h"
#include "transmit/setup_status.h"
#include "transmit/shared_transport.h"
#include "transmit/transmit_instance.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "main"};

constexpr std::uint8_t kOpPlaybackState = 0x1A;
constexpr std::uint32_t kSamplesPerAudioFrame = 1024;

TransmitInstance* InstanceOf(const TxInstance* instance) {
    return instance ? static_cast<TransmitInstance*>(instance->privateData) : nullptr;
}

// No exception may reach the host: every operation runs inside this.
template <typename F>
TxResult Guarded(const char* operation, F&& f) {
    try {
        return f();
    } catch (const std::exception& e) {
        Log(kLog, kLogError, "%s: exception caught at the host boundary: %s", operation, e.what());
    } catch (...) {
        Log(kLog, kLogError, "%s: unknown exception caught at the host boundary", operation);
    }
    return kTxResultSuccess;
}

// The host's basic suite, from the utility functions of its suite record.
const TxBasicSuite* BasicSuiteOf(const TxStdParms* stdParms) {
    if (!stdParms || !stdParms->suites) return nullptr;
    const TxUtilFuncs* utility = stdParms->suites->utilFuncs;
    if (!utility || !utility->GetSPBasicSuite) return nullptr;
    return utility->GetSPBasicSuite();
}

TxResult Startup(TxStdParms*, TxPluginInfo* outInfo) {
    return Guarded("Startup", [&] {
        InstallCrashHandler();
        Log(kLog, kLogInfo, "Lumenfold plugin v%{public}s starting up", kPluginVersion);
        FillPluginInfo(outInfo);
        return kTxResultSuccess;
    });
}

TxResult Shutdown(TxStdParms*) {
    return Guarded("Shutdown", [] {
        CloseSetupWindow();  // its thread runs our code: it ends before the module goes
        SharedTransport::Instance().Shutdown();
        return kTxResultSuccess;
    });
}

TxResult SetupDialog(TxStdParms*, void* parentWindow) {
    return Guarded("SetupDialog", [&] {
        OpenSetupWindow(parentWindow);
        return kTxResultSuccess;
    });
}

TxResult NeedsReset(const TxStdParms*, TxBool* outResetModule) {
    return Guarded("NeedsReset", [&] {
        if (outResetModule) *outResetModule = 0;
        return kTxResultSuccess;
    });
}

TxResult CreateInstance(const TxStdParms* stdParms, TxInstance* instance) {
    TxResult result = kTxResultInstanceFailed;
    Guarded("CreateInstance", [&] {
        if (!instance) return kTxResultSuccess;
        instance->privateData = nullptr;
        auto* created = new TransmitInstance(BasicSuiteOf(stdParms));
        if (!created->HasPipeline()) {
            delete created;
            return kTxResultSuccess;
        }
        created->SetAudioFormat(instance->audioSampleRate, static_cast<std::int32_t>(instance->channelCount));
        created->SetVideoFrameRate(instance->videoFrameRate);
        created->Start();
        instance->privateData = created;
        result = kTxResultSuccess;
        return kTxResultSuccess;
    });
    return result;
}

TxResult DisposeInstance(const TxStdParms*, TxInstance* instance) {
    return Guarded("DisposeInstance", [&] {
        if (!instance) return kTxResultSuccess;
        TransmitInstance* owned = InstanceOf(instance);
        instance->privateData = nullptr;
        delete owned;
        return kTxResultSuccess;
    });
}

TxResult QueryAudioMode(const TxStdParms*, const TxInstance* instance, std::int32_t index, TxAudioMode* outMode) {
    TxResult result = kTxResultNoMode;
    Guarded("QueryAudioMode", [&] {
        result = AnswerAudioMode(instance, index, outMode);
        return kTxResultSuccess;
    });
    return result;
}

TxResult QueryVideoMode(const TxStdParms*, const TxInstance* instance, std::int32_t index, TxVideoMode* outMode) {
    TxResult result = kTxResultNoMode;
    Guarded("QueryVideoMode", [&] {
        result = AnswerVideoMode(instance, index, outMode);
        return kTxResultSuccess;
    });
    return result;
}

TxResult ActivateDeactivate(const TxStdParms*, const TxInstance* instance, std::int32_t, TxBool audioActive,
                            TxBool videoActive) {
    return Guarded("ActivateDeactivate", [&] {
        const bool start = audioActive != 0 || videoActive != 0;
        Log(kLog, kLogInfo, "ActivateDeactivate: audio=%d video=%d → %s", audioActive, videoActive,
            start ? "Start" : "Stop");
        if (TransmitInstance* ti = InstanceOf(instance)) {
            if (start) {
                ti->Start();
            } else {
                ti->Stop();
            }
        }
        return kTxResultSuccess;
    });
}

TxResult StartPlaybackClock(const TxStdParms*, const TxInstance* instance, const TxPlaybackClock* clock) {
    return Guarded("StartPlaybackClock", [&] {
        TransmitInstance* ti = InstanceOf(instance);
        if (ti && clock) ti->StartClock(clock->callback, clock->callbackContext, clock->playMode, instance->playId);
        return kTxResultSuccess;
    });
}

TxResult StopPlaybackClock(const TxStdParms*, const TxInstance* instance) {
    return Guarded("StopPlaybackClock", [&] {
        if (TransmitInstance* ti = InstanceOf(instance)) ti->StopClock();
        return kTxResultSuccess;
    });
}

TxResult PushVideo(const TxStdParms*, const TxInstance* instance, const TxPushVideo* video) {
    return Guarded("PushVideo", [&] {
        if (TransmitInstance* ti = InstanceOf(instance)) ti->PushVideo(video);
        return kTxResultSuccess;
    });
}

// Start time, speed, in and out points and loop are the host's business; only scrubbing matters here.
TxResult StartPushAudio(const TxStdParms*, const TxInstance* instance, TxTime, float, TxTime, TxTime, TxBool,
                        TxBool scrubbing, std::uint32_t* outSamplesPerFrame) {
    return Guarded("StartPushAudio", [&] {
        if (outSamplesPerFrame) *outSamplesPerFrame = kSamplesPerAudioFrame;
        Log(kLog, kLogInfo, "StartPushAudio: samplesPerFrame=1024 scrubbing=%d", scrubbing);
        if (TransmitInstance* ti = InstanceOf(instance)) ti->SetAudioPushActive(true, scrubbing != 0);
        return kTxResultSuccess;
    });
}

TxResult PushAudio(const TxStdParms*, const TxInstance* instance, const TxPushAudio* audio) {
    return Guarded("PushAudio", [&] {
        if (TransmitInstance* ti = InstanceOf(instance)) ti->PushAudio(audio);
        return kTxResultSuccess;
    });
}

TxResult StopPushAudio(const TxStdParms*, const TxInstance* instance) {
    return Guarded("StopPushAudio", [&] {
        Log(kLog, kLogInfo, "StopPushAudio");
        if (TransmitInstance* ti = InstanceOf(instance)) ti->SetAudioPushActive(false, false);
        return kTxResultSuccess;
    });
}

// The four streaming slots: the first two change nothing, the last two answer 1.
TxResult SetStreamingStateChangedCallback(const TxStdParms*, void*, TxStreamingStateChangedCallback) {
    return kTxResultSuccess;
}
TxResult EnableStreaming(const TxStdParms*, TxBool) { return kTxResultSuccess; }
TxResult AnswerStreamingFlag(const TxStdParms*, TxBool* outFlag) {
    if (outFlag) *outFlag = 1;
    return kTxResultSuccess;
}

}  // namespace

TxResult TransmitEntry(std::int32_t, TxBool loadModule, TxPiSuites*, TxModule* outModule) {
    return Guarded("xTransmitEntry", [&] {
        if (loadModule == 0 || !outModule) return kTxResultSuccess;
        outModule->Startup = Startup;
        outModule->Shutdown = Shutdown;
        outModule->SetupDialog = SetupDialog;
        outModule->NeedsReset = NeedsReset;
        outModule->CreateInstance = CreateInstance;
        outModule->DisposeInstance = DisposeInstance;
        outModule->QueryAudioMode = QueryAudioMode;
        outModule->QueryVideoMode = QueryVideoMode;
        outModule->ActivateDeactivate = ActivateDeactivate;
        outModule->StartPlaybackClock = StartPlaybackClock;
        outModule->StopPlaybackClock = StopPlaybackClock;
        outModule->PushVideo = PushVideo;
        outModule->StartPushAudio = StartPushAudio;
        outModule->PushAudio = PushAudio;
        outModule->StopPushAudio = StopPushAudio;
        outModule->SetStreamingStateChangedCallback = SetStreamingStateChangedCallback;
        outModule->EnableStreaming = EnableStreaming;
        outModule->IsStreamingEnabled = AnswerStreamingFlag;
        outModule->IsStreamingActive = AnswerStreamingFlag;
        return kTxResultSuccess;
    });
}

int PublishPlaybackState(int playing) {
    int queued = 0;
    Guarded("vx_transmit_publish_playback_state", [&] {
        const std::uint8_t b = playing != 0 ? 1 : 0;
        queued = SharedTransport::Instance().SendControl(kOpPlaybackState, &b, 1) ? 1 : 0;
        return kTxResultSuccess;
    });
    return queued;
}

}  // namespace Veltrix
