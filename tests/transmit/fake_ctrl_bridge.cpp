// A stand-in control-surface module: exports vx_ctrl_bridge_get with a record
// the test can script (connected or not, dispatch result) and records the
// opcodes it was asked to dispatch.
#include <atomic>
#include <cstdint>

#include "ctrl/bridge.h"

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::atomic<int> gResult{0};
std::atomic<int> gCalls{0};
std::atomic<int> gLastOp{-1};

std::int32_t Dispatch(std::int32_t op) {
    gLastOp.store(op);
    gCalls.fetch_add(1);
    return gResult.load();
}

Veltrix::VXCtrlBridge gBridge{&Dispatch, Veltrix::kVXCtrlBridgeVersion, 0};
}  // namespace

FAKE_EXPORT const Veltrix::VXCtrlBridge* vx_ctrl_bridge_get(void) { return &gBridge; }

// Test controls.
FAKE_EXPORT void fake_bridge_script(int connected, int result, unsigned version) {
    gBridge.dispatch = connected ? &Dispatch : nullptr;
    gBridge.version = version;
    gResult.store(result);
}
FAKE_EXPORT int fake_bridge_calls(void) { return gCalls.load(); }
FAKE_EXPORT int fake_bridge_last_op(void) { return gLastOp.load(); }
