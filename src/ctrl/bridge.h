// The one interface between the transmit plug-in and the control-surface
// plug-in. The control surface exports vx_ctrl_bridge_get, which returns a
// pointer to static memory of its module (never freed); the transmit plug-in
// finds that export at run time by module name and never links against it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Veltrix {

// Host transport operations the bridge can perform (signed 32-bit on the wire of the call).
enum VXCtrlOpcode : std::int32_t {
    kPlayPause = 0,
    kStepForward = 1,
    kStepBack = 2,
    kStepForwardFive = 3,
    kStepBackFive = 4,
    kGotoIn = 5,
    kGotoOut = 6,
    kPlayReverse = 7,
    kStop = 8,
    kPlayForward = 9,
    kNudge = 10,
};
inline constexpr std::int32_t kVXCtrlOpcodeCount = 11;

extern "C" {
// 0 success; -1 nothing to drive or opcode out of range; -2 the host call failed.
typedef std::int32_t (*VXCtrlDispatchFn)(std::int32_t opcode);

struct VXCtrlBridge {
    VXCtrlDispatchFn dispatch;  // null while no surface is connected
    std::uint32_t version;      // always kVXCtrlBridgeVersion
    std::uint32_t reserved;     // zero
};

typedef const VXCtrlBridge* (*VXCtrlBridgeGetFn)(void);
}  // extern "C"

inline constexpr std::uint32_t kVXCtrlBridgeVersion = 1;
inline constexpr const char* kVXCtrlBridgeExport = "vx_ctrl_bridge_get";

static_assert(sizeof(void*) != 8 || offsetof(VXCtrlBridge, version) == 8,
              "dispatch at offset 0, version at offset 8 on x64");
static_assert(sizeof(void*) != 8 || sizeof(VXCtrlBridge) == 16, "x64 record is 16 bytes");

}  // namespace Veltrix
