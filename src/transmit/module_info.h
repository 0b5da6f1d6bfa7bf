// What the transmit module tells the host about itself: the plug-in
// information written at start-up and the answers to the two mode queries.
#pragma once

#include "sdk/transmit_sdk.h"

namespace Veltrix {

inline constexpr const char* kPluginVersion = "0.2.0";
inline constexpr const char16_t* kPluginDisplayName = u"Lumenfold";

// Sets the five capability flags (audio available, audio on by default, clock
// available, video available, video on by default), the display name and the
// five values after it (hide in UI 0, has setup 1, interface version 4, push
// audio 1, streaming 1); nothing else in the record is touched.
void FillPluginInfo(TxPluginInfo* info);

// Index 0 only: otherwise, or without an output record, kTxResultNoMode.
// The instance record may be null (defaults are answered).
TxResult AnswerAudioMode(const TxInstance* instance, int index, TxAudioMode* out);
TxResult AnswerVideoMode(const TxInstance* instance, int index, TxVideoMode* out);

}  // namespace Veltrix
