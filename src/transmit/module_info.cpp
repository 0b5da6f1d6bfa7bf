#include "transmit/module_info.h"

#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kMainLog{kLogSubsystem, "main"};

std::int64_t LatencyTicks(const TxInstance* instance, std::int64_t frames) {
    if (!instance || instance->videoFrameDuration <= 0) return 0;
    return frames * instance->videoFrameDuration;
}

}  // namespace

void FillPluginInfo(TxPluginInfo* info) {
    if (!info) return;
    info->hasAudio = 1;
    info->audioOnByDefault = 1;
    info->hasVideo = 1;
    info->videoOnByDefault = 1;
    info->hasClock = 1;
    std::size_t i = 0;
    for (; kPluginDisplayName[i] && i + 1 < sizeof(info->displayName) / sizeof(info->displayName[0]); ++i) {
        info->displayName[i] = static_cast<std::uint16_t>(kPluginDisplayName[i]);
    }
    info->displayName[i] = 0;
    const std::int32_t trailing[5] = {0, 1, 4, 1, 1};
    for (int k = 0; k < 5; ++k) info->trailing[k] = trailing[k];
}

TxResult AnswerAudioMode(const TxInstance* instance, int index, TxAudioMode* out) {
    if (index != 0 || !out) return kTxResultNoMode;
    const float rate = instance && instance->audioSampleRate > 0 ? instance->audioSampleRate : 48000.0f;
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
    out->pixelAspectNum = 0;
    out->pixelAspectDen = 0;
    out->fieldType = kTxFieldTypeValue;
    out->pixelFormat = kTxPixelFormatBgra;
    out->latency = LatencyTicks(instance, 2);
    return kTxResultSuccess;
}

}  // namespace Veltrix
