// The two symbols the host (and the control-surface plug-in) look up by name.
#include "support/export.h"
#include "transmit/module.h"

VX_EXPORT TxResult xTransmitEntry(int32_t interfaceVersion, TxBool loadModule, TxPiSuites* suites,
                                  TxModule* outModule) {
    return Veltrix::TransmitEntry(interfaceVersion, loadModule, suites, outModule);
}

VX_EXPORT int vx_transmit_publish_playback_state(int playing) { return Veltrix::PublishPlaybackState(playing); }
