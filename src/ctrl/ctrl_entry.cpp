// The two exports of VeltrixCtrl. No exception crosses them.
#include "ctrl/ctrl_module.h"
#include "support/export.h"

VX_EXPORT CsError EntryPoint(CsSPBasicSuite* basic, uint32_t major, uint32_t minor, CsHostId hostIdentifier,
                             CsPluginEntryFuncs* out) {
    try {
        return Veltrix::CtrlEntryPoint(basic, major, minor, hostIdentifier, out);
    } catch (...) {
        return kCsErrBadParameter;
    }
}

VX_EXPORT const Veltrix::VXCtrlBridge* vx_ctrl_bridge_get(void) { return Veltrix::CtrlBridge(); }
