// The control-surface plug-in: the entry, the plug-in suite, the surface and
// the bridge that hands the transmit plug-in the host's transport.
#pragma once

#include <cstdint>

#include "ctrl/bridge.h"
#include "sdk/control_surface_sdk.h"

namespace Veltrix {

// What the exported EntryPoint does: keeps the basic suite and host id and
// copies out the five entry functions. 'Parm' without a basic suite.
CsError CtrlEntryPoint(const CsSPBasicSuite* basic, std::uint32_t major, std::uint32_t minor,
                       CsHostId hostIdentifier, CsPluginEntryFuncs* out);

// The bridge record: static memory, the same address on every call.
VXCtrlBridge* CtrlBridge();

// 0 done; -1 nothing to drive or opcode out of range; -2 the host call failed.
// Any thread.
std::int32_t BridgeDispatchImpl(VXCtrlOpcode op);

// The plug-in suite table this module registers.
const CsPluginSuite* CtrlPluginSuite();

}  // namespace Veltrix
