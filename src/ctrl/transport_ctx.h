// What the control surface holds of the host for one connected surface: the
// host suites and references, shared by the plug-in instance, the active slot
// of the bridge and work queued for the UI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/control_surface_sdk.h"

namespace Veltrix {

struct TransportCtx {
    TransportCtx() = default;
    // Releases each suite that is set: transport, command, then host.
    ~TransportCtx();
    TransportCtx(const TransportCtx&) = delete;
    TransportCtx& operator=(const TransportCtx&) = delete;

    const CsHostSuite* hostSuite = nullptr;
    const CsHostTransportSuite* transportSuite = nullptr;
    const CsHostCommandSuite* commandSuite = nullptr;
    CsHostRef hostRef = nullptr;
    CsHostTransportRef transportRef = nullptr;
    CsHostCommandRef commandRef = nullptr;
    // No lock of ours is held across a call into the host (a host may serve
    // our calls on its UI thread, or pump messages inside one): calls are
    // counted instead, and disconnect clears the flag and waits them out.
    std::mutex mutex;  // guards callsInFlight and the flag's change
    std::condition_variable callsDone;
    int callsInFlight = 0;
    std::atomic<bool> connected{false};
};

// Host calls through a context for the scope's lifetime: admitted only while
// the surface is connected, counted so that disconnect can wait for them.
class HostCallScope {
public:
    explicit HostCallScope(TransportCtx& ctx);
    ~HostCallScope();
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;
    explicit operator bool() const { return admitted_; }

private:
    TransportCtx& ctx_;
    bool admitted_ = false;
};

// Clears the connected flag (no call is admitted after it), then waits up to
// limit for the calls in progress; the number still running. Those keep their
// share of the context, and so the suites, until they return.
int CloseHostCalls(TransportCtx& ctx, std::chrono::milliseconds limit);

// Runs the host command id (UTF-16, NUL-terminated) with an optional context
// string: 'Parm' without the suites, else the first string error or the
// command's result. Both strings are disposed on every path.
CsError RunHostCommand(const CsHostCommandSuite* commands, CsHostCommandRef commandRef, const CsStringSuite* strings,
                       const char16_t* id, const char16_t* context);

// The SDK string as UTF-8 (128-byte first try, one retry on 'sbts'); "" on
// any other failure or without a String suite.
std::string SdkStringToUtf8(const CsStringSuite* strings, const CsString& s);

// What a play/pause posted to the UI thread carries.
struct PlayPauseWork {
    const CsHostTransportSuite* transportSuite = nullptr;
    const CsHostCommandSuite* commandSuite = nullptr;
    CsHostTransportRef transportRef = nullptr;
    CsHostCommandRef commandRef = nullptr;
    const CsStringSuite* stringSuite = nullptr;
    std::weak_ptr<TransportCtx> ctx;
};

// On the UI thread: pause through the toggle command when the host plays,
// otherwise press Space in the host's window (or play from the current time
// to the out point when no window is found).
void PlayPauseOnUiThread(const PlayPauseWork& work);

}  // namespace Veltrix
