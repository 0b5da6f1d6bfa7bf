#include "transmit/module_info.h"

#include "sdk/sdk_layout_x64.h"  // the declarations are checked against the documented layouts
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kMainLog{kLogSubsystem, "main"};

std::int64_t LatencyTicks(const TxInstance* instance, std::int64_t frames) {
    if (!instance) return 0;
    const std::int64_t frameTicks = instance->videoFrameRate;  // ticks per frame
    return frameTicks > 0 ? frames * frameTicks : 0;
}

}  // namespace

void FillPluginInfo(TxPluginInfo* info) {
    if (!info) return;
    info->audioAvailable = 1;
    info->audioDefaultEnabled = 1;
    info->clockAvailable = 1;
    info->videoAvailable = 1;
    info->videoDefaultEnabled = 1;
    constexpr std::size_t kNameCapacity = sizeof(info->displayName) / sizeof(info->displayName[0]);
    std::size_t i = 0;
    for (; kPluginDisplayName[i] && i + 1 < kNameCapacity; ++i) {
        info->displayName[i] = static_cast<TxUtf16Char>(kPluginDisplayName[i]);
    }
    info->displayName[i] = 0;
    info->hideInUI = 0;
    info->hasSetup = 1;
    info->interfaceVersion = kTxInterfaceVersion;
    info->pushAudioAvailable = 1;
    info->hasStreaming = 1;
}

TxResult AnswerAudioMode(const TxInstance* instance, int index, TxAudioMode* out) {
    if (index != 0 || !out) return kTxResultNoMode;
    const float hostRate = instance ? instance->audioSampleRate : 0.0f;
    const float rate = hostRate > 0 ? hostRate : 48000.0f;
    out->sampleRate = rate;
    out->maxBufferSize = static_cast<std::uint32_t>(rate);
    out->channelCount = 2;
    out->channelLabels[0] = kTxAudioLabelFrontLeft;
    out->channelLabels[1] = kTxAudioLabelFrontRight;
    out->latency = LatencyTicks(instance, 5);
    Log(kMainLog, kLogInfo, "QueryAudioMode: idx=%d rate=%.0f ch=2", index, static_cast<double>(rate));
    return kTxResultSuccess;
}

TxResult AnswerVideoMode(const TxInstance* instance, int index, TxVideoMode* out) {
    if (index != 0 || !out) return kTxResultNoMode;
    out->width = 0;
    out->height = 0;
    out->parNum = 0;
    out->parDen = 0;
    out->fieldType = kTxFieldsAny;
    out->pixelFormat = kTxPixelFormatBgra;
    out->latency = LatencyTicks(instance, 2);
    return kTxResultSuccess;
}

}  // namespace Veltrix
