// The phone's host-transport opcodes through the transmit plug-in's bridge
// client into the control surface's dispatch, against a scripted host: any
// opcode and any bridge argument must be answered (0, -1 or -2) without a
// crash, an out-of-range argument never reaches the host, and every transport
// opcode ends in exactly one of the bridge or the keyboard.
// Input: [host script byte] then repeated [opcode][4 bytes of a raw dispatch argument].
// Kept thin over the dispatch entry so a change of the host side needs no change here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "ctrl/ctrl_module.h"
#include "ctrl/ui_dispatcher.h"
#include "fuzz/network/fuzz_env.h"
#include "fuzz/network/log_check.h"
#include "scripted_host.h"
#include "transmit/bridge_client.h"

// A broken promise: which one, then the crash the fuzzer looks for.
#define VX_CHECK(cond)                                                  \
    do {                                                                \
        if (!(cond)) {                                                  \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            __builtin_trap();                                           \
        }                                                               \
    } while (0)

namespace {

using namespace Veltrix;

// Hands out a bridge of our own whose dispatch calls the control surface's
// and remembers what it answered.
VXCtrlBridge gBridge{};
VXCtrlDispatchFn gReal = nullptr;
std::int32_t gLastResult = 0;
int gDispatches = 0;
std::int32_t Recorded(std::int32_t op) {
    ++gDispatches;
    return gLastResult = gReal ? gReal(op) : -1;
}
const VXCtrlBridge* GetBridge() { return &gBridge; }

class Lookup final : public ModuleLookup {
public:
    void* FindLoadedExport(const std::u16string&, const char* name) override {
        return std::strcmp(name, kVXCtrlBridgeExport) == 0 ? reinterpret_cast<void*>(&GetBridge) : nullptr;
    }
};

class Keys final : public KeySender {
public:
    KeySendResult Send(const KeyEvent*, unsigned count) override {
        ++taps;
        return {true, count, 0};
    }
    int taps = 0;
};

struct Harness {
    testing::ScriptedHost host;
    CsPluginEntryFuncs funcs{};
    CsPluginRef instance = nullptr;
    CsSurfaceRef surface = nullptr;
    Lookup lookup;
    Keys keys;
    BridgeClient client{lookup, keys, Clock::Real(), HostKind::kPremiere};

    Harness() {
        fuzzing::KeepFilesInTemp("ctrl_bridge");
        VX_CHECK(CtrlEntryPoint(host.basic(), 1, 0, 7, &funcs) == kCsErrNone && funcs.Startup() == kCsErrNone);
        const auto it = host.added.find(std::string(kCsPluginSuiteName) + " v1");
        VX_CHECK(it != host.added.end());
        const auto* suite = static_cast<const CsPluginSuite*>(it->second);
        VX_CHECK(funcs.CreatePluginInstance(&instance) == kCsErrNone &&
                 suite->Connect(instance, host.hostRef(1), &surface) == kCsErrNone);
        gReal = CtrlBridge()->dispatch;
        VX_CHECK(gReal != nullptr);
        gBridge = *CtrlBridge();
        gBridge.dispatch = &Recorded;
        fuzzing::CheckAndClearLog();
    }
    // Disconnects before the dispatcher's own statics go, so the process can exit.
    ~Harness() {
        const auto* suite = static_cast<const CsPluginSuite*>(host.added[std::string(kCsPluginSuiteName) + " v1"]);
        suite->Disconnect(instance);
        funcs.DeletePluginInstance(instance);
        funcs.Shutdown();
    }
    // Waits (bounded) until work posted to the surface's UI thread so far has run,
    // so that a play/pause still in flight is not taken for a later call.
    bool DrainUi() {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> f = done->get_future();
        if (!UiDispatcherPost([done] { done->set_value(); })) return false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        do {
            fuzzing::PumpThreadMessages();  // the surface was connected on this thread
            if (f.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) return true;
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;  // one connected surface for the whole run, as in a long session
    Harness* h = &harness;
    if (size == 0) return 0;
    {
        std::lock_guard<std::mutex> lock(h->host.mutex);
        h->host.transportResult = (data[0] & 1) ? kCsErrNotImplemented : kCsErrNone;
        h->host.commandResult = (data[0] & 2) ? kCsErrNotImplemented : kCsErrNone;
        h->host.playState = (data[0] >> 2) & 1;
    }
    for (std::size_t at = 1; at < size; at += 5) {
        const std::uint8_t opcode = data[at];
        const int dispatchesBefore = gDispatches, tapsBefore = h->keys.taps;
        const bool handled = h->client.HandleTransportOpcode(opcode);
        const bool transport = opcode >= kFirstTransportOpcode && opcode <= kLastTransportOpcode;
        VX_CHECK(handled == transport);
        VX_CHECK(transport || (gDispatches == dispatchesBefore && h->keys.taps == tapsBefore));
        if (transport) {
            VX_CHECK(gDispatches == dispatchesBefore + 1);
            VX_CHECK((gLastResult != 0) == (h->keys.taps == tapsBefore + 1));
            VX_CHECK(gLastResult == 0 || gLastResult == -2);
        }
        // The raw argument, as any caller of the export might pass it.
        std::int32_t raw = 0;
        if (at + 5 <= size) std::memcpy(&raw, data + at + 1, 4);
        const bool quiet = h->DrainUi();
        h->host.ClearCalls();
        const std::int32_t r = CtrlBridge()->dispatch(raw);
        VX_CHECK(r == 0 || r == -1 || r == -2);
        const bool inRange = raw >= 0 && raw < kVXCtrlOpcodeCount;
        VX_CHECK(inRange || (r == -1 && (!quiet || h->host.Calls().empty())));
    }
    // The last dispatch's work may still be running on the UI thread: let it finish
    // before the log is judged, so that its lines land in this input's log.
    h->DrainUi();
    fuzzing::CheckAndClearLog();
    return 0;
}
