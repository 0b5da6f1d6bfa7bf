// The two exports of VeltrixCtrl. No exception crosses them.
#include "ctrl/ctrl_module.h"
#include "transmit/export.h"

VX_EXPORT CsError EntryPoint(const CsSPBasicSuite* basic, uint32_t major, uint32_t minor, uint32_t hostIdentifier,
                             CsPluginEntryFuncs* out) {
    try {
        return Veltrix::CtrlEntryPoint(basic, major, minor, hostIdentifier, out);
    } catch (...) {
        return kCsErrBadParameter;
    }
}

VX_EXPORT const Veltrix::VXCtrlBridge* vx_ctrl_bridge_get(void) { return Veltrix::CtrlBridge(); }
