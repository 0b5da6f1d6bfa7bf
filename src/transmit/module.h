// The transmit module the host sees: the nineteen operations of its table,
// each a thin adapter onto the TransmitInstance kept in the host instance's
// private data. The exported C entry points forward here.
#pragma once

#include <cstdint>

#include "sdk/transmit_sdk.h"

namespace Veltrix {

// xTransmitEntry: loadModule 0 writes nothing; otherwise fills the table.
// The interface version is not looked at: the table is the same for every host.
TxResult TransmitEntry(std::int32_t interfaceVersion, TxBool loadModule, TxPiSuites* suites, TxModule* outModule);

// vx_transmit_publish_playback_state: kPlaybackState 1 for non-zero, else 0;
// non-zero when the message was queued.
int PublishPlaybackState(int playing);

}  // namespace Veltrix
