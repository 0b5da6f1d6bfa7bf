#include "ctrl/ctrl_module.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ctrl/host_window.h"
#include "ctrl/transport_ctx.h"
#include "ctrl/ui_dispatcher.h"
#include "sdk/sdk_layout_x64.h"  // the declarations are checked against the documented layouts
#include "support/clock.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "ctrl"};
constexpr std::uint32_t kMaxListedCommands = 4096;
// How long a disconnect waits for host calls in progress. A call the host can
// only finish on the disconnecting thread never ends while we wait: bounded.
constexpr std::chrono::milliseconds kHostCallDrainLimit{500};

// ---- process-wide state, never freed ----
std::atomic<const CsSPBasicSuite*> gBasic{nullptr};
std::atomic<std::uint32_t> gHostId{0};
// Start-up and shut-down run on the host's thread, one after the other.
const CsStringSuite* gStrings = nullptr;
const CsSPSuitesSuite* gSuites = nullptr;
CsSuiteListRef gSuiteList = nullptr;

VXCtrlBridge gBridge{nullptr, kVXCtrlBridgeVersion, 0};
std::mutex gBridgeMutex;                 // guards gActive and gConnectedSurfaces
std::shared_ptr<TransportCtx> gActive;  // the context of the surface that connected last
int gConnectedSurfaces = 0;             // instances connected and not yet disconnected

void StoreDispatch(VXCtrlDispatchFn fn) {
    // One pointer-sized store; the transmit plug-in reads it from its own threads.
    std::atomic_ref<VXCtrlDispatchFn>(gBridge.dispatch).store(fn, std::memory_order_release);
}

const CsStringSuite* Strings() { return gStrings; }

class VeltrixControlSurface final : public adobesdk::ControlSurfaceBase,
                                    public adobesdk::ControlSurfaceTransportBase,
                                    public adobesdk::ControlSurfaceCommandBase {
public:
    // The references are this object's transport and command parts, as the SDK's suite tables expect.
    CsError GetTransportRef(CsSurfaceTransportRef* out) override {
        if (!out) return kCsErrBadParameter;
        *out = reinterpret_cast<CsSurfaceTransportRef>(static_cast<adobesdk::ControlSurfaceTransportBase*>(this));
        return kCsErrNone;
    }
    CsError GetCommandRef(CsSurfaceCommandRef* out) override {
        if (!out) return kCsErrBadParameter;
        *out = reinterpret_cast<CsSurfaceCommandRef>(static_cast<adobesdk::ControlSurfaceCommandBase*>(this));
        return kCsErrNone;
    }
    CsError SetPlayState(bool playing) override {
        Log(kLog, kLogInfo, "ctrl: SetPlayState(%d)", playing ? 1 : 0);
        return kCsErrNone;
    }
};

struct PluginInstance {
    std::unique_ptr<VeltrixControlSurface> surface;
    std::shared_ptr<TransportCtx> context;
    bool connected = false;  // between Connect and Disconnect; under gBridgeMutex
};

PluginInstance* Instance(CsPluginRef ref) { return reinterpret_cast<PluginInstance*>(ref); }

template <typename Suite>
CsError Acquire(const char* name, std::int32_t version, const Suite** out) {
    *out = nullptr;
    const CsSPBasicSuite* basic = gBasic.load();
    if (!basic || !basic->AcquireSuite) return kCsErrBadParameter;
    const void* suite = nullptr;
    const CsError e = basic->AcquireSuite(name, version, &suite);
    if (e == kCsErrNone) *out = static_cast<const Suite*>(suite);
    return e;
}

void Release(const char* name, std::int32_t version) {
    const CsSPBasicSuite* basic = gBasic.load();
    if (basic && basic->ReleaseSuite) basic->ReleaseSuite(name, version);
}

// ---- acquisition at connect ----
bool AcquireHostSuites(TransportCtx& c) {
    CsError e = Acquire(kCsHostSuiteName, kCsHostSuiteVersion, &c.hostSuite);
    if (e != kCsErrNone || !c.hostSuite) {
        Log(kLog, kLogError, "ctrl: AcquireSuite(Host V2) err=%d", static_cast<int>(e));
        return false;
    }
    e = Acquire(kCsHostTransportSuiteName, kCsHostTransportSuiteVersion, &c.transportSuite);
    if (e != kCsErrNone || !c.transportSuite) {
        Log(kLog, kLogError, "ctrl: AcquireSuite(HostTransport) err=%d", static_cast<int>(e));
        return false;
    }
    e = Acquire(kCsHostCommandSuiteName, kCsHostCommandSuiteVersion, &c.commandSuite);
    if (e != kCsErrNone || !c.commandSuite) {
        Log(kLog, kLogError, "ctrl: AcquireSuite(HostCommand) err=%d", static_cast<int>(e));
        return false;
    }
    Log(kLog, kLogInfo, "ctrl: calling GetTransportRef hostSuite=%p hostRef=%p GetTransportRef=%p",
        static_cast<const void*>(c.hostSuite), static_cast<void*>(c.hostRef),
        reinterpret_cast<void*>(c.hostSuite->GetTransportRef));
    e = c.hostSuite->GetTransportRef ? c.hostSuite->GetTransportRef(c.hostRef, &c.transportRef) : kCsErrNotImplemented;
    if (e != kCsErrNone || !c.transportRef) {
        Log(kLog, kLogError, "ctrl: GetTransportRef err=%d (0x%08x) transportRef=%p", static_cast<int>(e),
            static_cast<unsigned>(e), static_cast<void*>(c.transportRef));
        return false;
    }
    e = c.hostSuite->GetCommandRef ? c.hostSuite->GetCommandRef(c.hostRef, &c.commandRef) : kCsErrNotImplemented;
    if (e != kCsErrNone || !c.commandRef) {
        Log(kLog, kLogError, "ctrl: GetCommandRef err=%d (0x%08x)", static_cast<int>(e), static_cast<unsigned>(e));
        return false;
    }
    Log(kLog, kLogInfo, "ctrl: acquired all host suites (transport=%p command=%p)",
        static_cast<void*>(c.transportRef), static_cast<void*>(c.commandRef));
    return true;
}

// The SDK allows disposing an empty string.
void DisposeString(const CsString& s) {
    const CsStringSuite* strings = Strings();
    if (strings && strings->DisposeString) strings->DisposeString(&s);
}

void LogHostCommands(const TransportCtx& c) {
    std::uint32_t count = 0;
    if (!c.commandSuite->GetCommandCount || !c.commandSuite->GetCommand) return;
    const CsError e = c.commandSuite->GetCommandCount(c.commandRef, &count);
    if (e != kCsErrNone) {
        Log(kLog, kLogError, "ctrl: GetCommandCount err=%d", static_cast<int>(e));
        return;
    }
    Log(kLog, kLogInfo, "ctrl: command count = %u", count);
    if (count > kMaxListedCommands) count = kMaxListedCommands;
    for (std::uint32_t i = 0; i < count; ++i) {
        CsString context{}, extra{}, id{}, name{};
        const CsError ge = c.commandSuite->GetCommand(c.commandRef, i, &context, &extra, &id, &name);
        if (ge != kCsErrNone) {
            Log(kLog, kLogError, "ctrl: GetCommand[%u] err=%d", i, static_cast<int>(ge));
        } else {
            const std::string ctx = SdkStringToUtf8(Strings(), context);
            const std::string idText = SdkStringToUtf8(Strings(), id);
            const std::string nameText = SdkStringToUtf8(Strings(), name);
            Log(kLog, kLogInfo, "ctrl: cmd[%u] ctx=%s id=%s name=%s", i, ctx.c_str(), idText.c_str(),
                nameText.c_str());
        }
        DisposeString(context);
        DisposeString(extra);
        DisposeString(id);
        DisposeString(name);
    }
}

// ---- the dispatch entry the bridge hands out ----
std::int32_t DispatchEntry(std::int32_t op) {
    try {
        return BridgeDispatchImpl(static_cast<VXCtrlOpcode>(op));
    } catch (...) {
        Log(kLog, kLogError, "ctrl: Dispatch(op=%d) threw", static_cast<int>(op));
        return -2;
    }
}

void Disconnect(PluginInstance& inst) {
    bool lastSurface = false;
    {
        // The bridge and the dispatcher are the process's: only the surface the
        // bridge drives takes the bridge down, and only the last one the dispatcher.
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        if (inst.context && gActive == inst.context) {
            StoreDispatch(nullptr);
            gActive.reset();
        }
        if (inst.connected) {
            inst.connected = false;
            lastSurface = --gConnectedSurfaces == 0;
        }
    }
    if (inst.context) {
        // None starts after this; one still inside the host keeps the suites until it returns.
        const int running = CloseHostCalls(*inst.context, kHostCallDrainLimit);
        if (running > 0) {
            Log(kLog, kLogError, "ctrl: Disconnect: %d host call(s) still running after %lld ms — not waiting longer",
                running, static_cast<long long>(kHostCallDrainLimit.count()));
        }
        inst.context.reset();
        Log(kLog, kLogInfo, "ctrl: Disconnect: released host suites + bridge");
    }
    if (lastSurface) UiDispatcherTearDown();
    inst.surface.reset();
}

void Connect(PluginInstance& inst, CsHostRef host) {
    if (!inst.surface) inst.surface = std::make_unique<VeltrixControlSurface>();
    {
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        if (!inst.connected) ++gConnectedSurfaces;
        inst.connected = true;
    }
    UiDispatcherInstall();
    auto ctx = std::make_shared<TransportCtx>();
    inst.context = ctx;
    ctx->hostRef = host;
    if (AcquireHostSuites(*ctx)) {
        ctx->connected.exchange(true);
        LogHostCommands(*ctx);
        {
            std::lock_guard<std::mutex> lock(gBridgeMutex);
            gActive = ctx;
        }
        StoreDispatch(&DispatchEntry);
        Log(kLog, kLogInfo, "ctrl: bridge dispatch installed");
    } else {
        Log(kLog, kLogError, "ctrl: Connect: suite acquisition failed — staying dormant");
        inst.context.reset();
    }
    Log(kLog, kLogInfo, "ctrl: Connect → surface=%p hostRef=%p",
        static_cast<void*>(static_cast<adobesdk::ControlSurfaceBase*>(inst.surface.get())), static_cast<void*>(host));
}

CsError MakeString(const char16_t* text, CsString* out) {
    const CsStringSuite* strings = Strings();
    if (!strings || !strings->AllocateFromUTF16 || !out) return kCsErrBadParameter;
    return strings->AllocateFromUTF16(reinterpret_cast<const CsUtf16Char*>(text), out);
}

// ---- the plug-in suite ----
template <typename F>
CsError Guard(F&& f) {
    try {
        return f();
    } catch (...) {
        Log(kLog, kLogError, "ctrl: plug-in suite call threw");
        return kCsErrBadParameter;
    }
}

CsError PsConnect(CsPluginRef instance, CsHostRef host, CsSurfaceRef* outSurface) {
    if (!instance || !outSurface) return kCsErrBadParameter;
    return Guard([&] {
        PluginInstance& inst = *Instance(instance);
        Connect(inst, host);
        *outSurface = reinterpret_cast<CsSurfaceRef>(static_cast<adobesdk::ControlSurfaceBase*>(inst.surface.get()));
        return kCsErrNone;
    });
}
CsError PsDisconnect(CsPluginRef instance) {
    if (!instance) return kCsErrBadParameter;
    return Guard([&] {
        Disconnect(*Instance(instance));
        return kCsErrNone;
    });
}
CsError PsIdentifier(CsPluginRef, CsString* out) {
    return Guard([&] { return MakeString(u"com.veltrix.controlsurface", out); });
}
CsError PsDisplayName(CsPluginRef, CsString* out) { return Guard([&] { return MakeString(u"Veltrix", out); }); }
CsError PsGetSettings(CsPluginRef, CsString*) { return kCsErrNotImplemented; }
CsError PsSetSettings(CsPluginRef, const CsString*) { return kCsErrNotImplemented; }
CsError PsHasSetup(CsPluginRef, CsBool* out) {
    if (out) *out = 0;
    return kCsErrNone;
}
CsError PsRunSetup(CsPluginRef, void*, CsBool* out) {
    if (out) *out = 0;
    return kCsErrNotImplemented;
}
CsError PsSuspend(CsPluginRef) {
    Log(kLog, kLogInfo, "ctrl: Suspend");
    return kCsErrNone;
}
CsError PsResume(CsPluginRef) {
    Log(kLog, kLogInfo, "ctrl: Resume");
    return kCsErrNone;
}

const CsPluginSuite kPluginSuite{&PsConnect,     &PsDisconnect,  &PsIdentifier, &PsDisplayName, &PsGetSettings,
                                 &PsSetSettings, &PsHasSetup,    &PsRunSetup,   &PsSuspend,     &PsResume};

// ---- entry functions ----
CsError Startup() {
    return Guard([]() -> CsError {
        Log(kLog, kLogInfo, "ctrl: Startup begin");
        if (!gBasic.load()) {
            Log(kLog, kLogError, "ctrl: Startup: sSPBasicSuite not set");
            return kCsErrBadParameter;
        }
        CsError e = Acquire(kCsStringSuiteName, kCsStringSuiteVersion, &gStrings);
        if (e != kCsErrNone || !gStrings) {
            Log(kLog, kLogError, "ctrl: Startup: AcquireSuite(String) err=%d", static_cast<int>(e));
            return e != kCsErrNone ? e : kCsErrSuiteNotFound;
        }
        e = Acquire(kCsSPSuitesSuiteName, kCsSPSuitesSuiteVersion, &gSuites);
        if (e != kCsErrNone || !gSuites) {
            Log(kLog, kLogError, "ctrl: Startup: AcquireSuite(SPSuites) err=%d", static_cast<int>(e));
            return e != kCsErrNone ? e : kCsErrSuiteNotFound;
        }
        // The runtime's string pool and plug-in list (null pointers).
        e = gSuites->AllocateSuiteList ? gSuites->AllocateSuiteList(nullptr, nullptr, &gSuiteList) : kCsErrNotImplemented;
        if (e != kCsErrNone || !gSuiteList) {
            Log(kLog, kLogError, "ctrl: Startup: AllocateSuiteList err=%d", static_cast<int>(e));
            return e != kCsErrNone ? e : kCsErrSuiteNotFound;
        }
        CsSuiteRef ref = nullptr;
        e = gSuites->AddSuite ? gSuites->AddSuite(gSuiteList, nullptr, kCsPluginSuiteName, kCsPluginSuiteVersion,
                                                  kCsPluginSuiteVersion, &kPluginSuite, &ref)
                              : kCsErrNotImplemented;
        if (e != kCsErrNone) {
            Log(kLog, kLogError, "ctrl: Startup: AddSuite(PluginSuite) err=%d", static_cast<int>(e));
            return e;
        }
        // The surface's own suites; the host may ask for either version of the first.
        adobesdk::ControlSurfaceBase::RegisterSuite(gSuites, gSuiteList);
        adobesdk::ControlSurfaceTransportBase::RegisterSuite(gSuites, gSuiteList);
        adobesdk::ControlSurfaceCommandBase::RegisterSuite(gSuites, gSuiteList);
        Log(kLog, kLogInfo, "ctrl: Startup ok (host=%u)", gHostId.load());
        return kCsErrNone;
    });
}

CsError Shutdown() {
    return Guard([]() -> CsError {
        Log(kLog, kLogInfo, "ctrl: Shutdown");
        if (gSuiteList && gSuites) {
            if (gSuites->FreeSuiteList) gSuites->FreeSuiteList(gSuiteList);
            gSuiteList = nullptr;
        }
        if (gSuites) {
            // Acquired at start-up like the String suite; given back the same way.
            Release(kCsSPSuitesSuiteName, kCsSPSuitesSuiteVersion);
            gSuites = nullptr;
        }
        if (gStrings) {
            Release(kCsStringSuiteName, kCsStringSuiteVersion);
            gStrings = nullptr;
        }
        return kCsErrNone;
    });
}

CsError CreatePluginInstance(CsPluginRef* out) {
    if (!out) return kCsErrBadParameter;
    return Guard([&] {
        auto* inst = new PluginInstance;
        *out = reinterpret_cast<CsPluginRef>(inst);
        Log(kLog, kLogInfo, "ctrl: CreatePluginInstance → %p", static_cast<void*>(inst));
        return kCsErrNone;
    });
}

CsError DeletePluginInstance(CsPluginRef instance) {
    if (!instance) return kCsErrBadParameter;
    return Guard([&] {
        Log(kLog, kLogInfo, "ctrl: DeletePluginInstance %p", static_cast<void*>(instance));
        PluginInstance* inst = Instance(instance);
        Disconnect(*inst);
        inst->context.reset();
        delete inst;
        return kCsErrNone;
    });
}

CsError GetSuiteList(CsSuiteListRef* out) {
    if (!out) return kCsErrBadParameter;
    *out = gSuiteList;
    return kCsErrNone;
}

}  // namespace

HostCallScope::HostCallScope(TransportCtx& ctx) : ctx_(ctx) {
    std::lock_guard<std::mutex> lock(ctx_.mutex);
    admitted_ = ctx_.connected.load();
    if (admitted_) ++ctx_.callsInFlight;
}

HostCallScope::~HostCallScope() {
    if (!admitted_) return;
    std::lock_guard<std::mutex> lock(ctx_.mutex);
    if (--ctx_.callsInFlight == 0) ctx_.callsDone.notify_all();
}

int CloseHostCalls(TransportCtx& ctx, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(ctx.mutex);
    ctx.connected.exchange(false);
    Clock::Real().WaitFor(ctx.callsDone, lock, limit, [&] { return ctx.callsInFlight == 0; });
    return ctx.callsInFlight;
}

TransportCtx::~TransportCtx() {
    if (transportSuite) Release(kCsHostTransportSuiteName, kCsHostTransportSuiteVersion);
    if (commandSuite) Release(kCsHostCommandSuiteName, kCsHostCommandSuiteVersion);
    if (hostSuite) Release(kCsHostSuiteName, kCsHostSuiteVersion);
}

CsError CtrlEntryPoint(const CsSPBasicSuite* basic, std::uint32_t major, std::uint32_t minor,
                       CsHostId hostIdentifier, CsPluginEntryFuncs* out) {
    gHostId.store(hostIdentifier);
    gBasic.store(basic);
    Log(kLog, kLogInfo, "ctrl: EntryPoint v=%u.%u host=%u sp=%p", major, minor, hostIdentifier,
        static_cast<const void*>(basic));
    if (basic && out) *out = CsPluginEntryFuncs{&Startup, &Shutdown, &CreatePluginInstance, &DeletePluginInstance,
                                                &GetSuiteList};
    return basic ? kCsErrNone : kCsErrBadParameter;
}

VXCtrlBridge* CtrlBridge() { return &gBridge; }

const CsPluginSuite* CtrlPluginSuite() { return &kPluginSuite; }

std::string SdkStringToUtf8(const CsStringSuite* strings, const CsString& s) {
    if (!strings || !strings->CopyToUTF8String) return {};
    std::vector<char> buffer(128, '\0');
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    CsError e = strings->CopyToUTF8String(&s, reinterpret_cast<CsUtf8Char*>(buffer.data()), &length);
    if (e == kCsErrStringBufferTooSmall) {
        // The host wrote back the size it needs; bounded so a hostile answer cannot exhaust memory.
        if (length == 0 || length > (1u << 20)) return {};
        buffer.assign(length, '\0');
        e = strings->CopyToUTF8String(&s, reinterpret_cast<CsUtf8Char*>(buffer.data()), &length);
    }
    if (e != kCsErrNone) return {};
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

CsError RunHostCommand(const CsHostCommandSuite* commands, CsHostCommandRef commandRef, const CsStringSuite* strings,
                       const char16_t* id, const char16_t* context) {
    if (!commands || !commands->ExecuteCommand || !commandRef || !strings || !strings->AllocateFromUTF16) {
        return kCsErrBadParameter;
    }
    CsString ctxString{}, idString{};
    bool haveContext = false, haveId = false;
    CsError e = kCsErrNone;
    if (context) {
        e = strings->AllocateFromUTF16(reinterpret_cast<const CsUtf16Char*>(context), &ctxString);
        haveContext = e == kCsErrNone;
    }
    if (e == kCsErrNone) {
        e = strings->AllocateFromUTF16(reinterpret_cast<const CsUtf16Char*>(id), &idString);
        haveId = e == kCsErrNone;
    }
    if (e == kCsErrNone) e = commands->ExecuteCommand(commandRef, haveContext ? &ctxString : nullptr, &idString);
    if (strings->DisposeString) {
        if (haveId) strings->DisposeString(&idString);
        if (haveContext) strings->DisposeString(&ctxString);
    }
    return e;
}

void PlayPauseOnUiThread(const PlayPauseWork& w) {
    // Holding the context keeps the suites acquired; its flag says whether the
    // host still has the surface connected.
    std::shared_ptr<TransportCtx> ctx = w.ctx.lock();
    if (!ctx) {
        Log(kLog, kLogInfo, "ctrl: play/pause[ui]: surface gone, skipped");
        return;
    }
    const HostCallScope inHost(*ctx);
    if (!inHost) {
        Log(kLog, kLogInfo, "ctrl: play/pause[ui]: surface disconnected, skipped");
        return;
    }
    std::uint8_t state = 0;
    if (w.transportSuite && w.transportSuite->GetPlayState) w.transportSuite->GetPlayState(w.transportRef, &state);
    if (state == 1) {
        const CsError e = RunHostCommand(w.commandSuite, w.commandRef, w.stringSuite, u"cmd.monitor.playstoptoggle",
                                         u"program.monitor");
        Log(kLog, kLogInfo, "ctrl: play/pause[ui]: was=1 Pause err=0x%08x", static_cast<unsigned>(e));
        return;
    }
    if (!PostPlayKeyToHostWindow(w)) {
        const CsError e =
            RunHostCommand(w.commandSuite, w.commandRef, w.stringSuite, u"cmd.transport.play.ctitoout", nullptr);
        Log(kLog, kLogError, "ctrl: play[ui]: Premiere HWND not found, ctitoout err=0x%08x", static_cast<unsigned>(e));
    }
}

std::int32_t BridgeDispatchImpl(VXCtrlOpcode op) {
    std::shared_ptr<TransportCtx> ctx;
    {
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        ctx = gActive;
    }
    if (!ctx) return -1;
    const HostCallScope inHost(*ctx);
    if (!inHost || !ctx->transportSuite || !ctx->transportRef || !ctx->commandSuite ||
        !ctx->commandRef) {
        return -1;
    }
    Log(kLog, kLogInfo, "ctrl: bridge dispatch op=%d", static_cast<int>(op));
    if (static_cast<std::uint32_t>(op) >= static_cast<std::uint32_t>(kVXCtrlOpcodeCount)) return -1;

    const CsHostTransportSuite& t = *ctx->transportSuite;
    const CsHostTransportRef tr = ctx->transportRef;
    auto call = [](CsError (*fn)(CsHostTransportRef), CsHostTransportRef ref) {
        return fn ? fn(ref) : kCsErrNotImplemented;
    };
    auto command = [&](const char16_t* id) {
        return RunHostCommand(ctx->commandSuite, ctx->commandRef, Strings(), id, nullptr);
    };
    CsError e = kCsErrNone;
    switch (op) {
        case kPlayPause: {
            PlayPauseWork work{ctx->transportSuite, ctx->commandSuite, tr, ctx->commandRef, Strings(), ctx};
            if (!UiDispatcherPost([work] { PlayPauseOnUiThread(work); })) {
                Log(kLog, kLogError, "ctrl: play/pause: UI dispatcher not installed, can't post");
            }
            return 0;
        }
        case kStepForward: e = command(u"cmd.transport.step.forward"); break;
        case kStepBack: e = command(u"cmd.transport.step.back"); break;
        case kStepForwardFive: e = command(u"cmd.transport.step.forward.five"); break;
        case kStepBackFive: e = command(u"cmd.transport.step.back.five"); break;
        case kGotoIn: e = command(u"cmd.goto.in"); break;
        case kGotoOut: e = command(u"cmd.goto.out"); break;
        // The host's J, K and L: shuttle left (reverse play), shuttle stop, shuttle right.
        case kPlayReverse:
            call(t.ShuttleStop, tr);
            e = call(t.ShuttleLeft, tr);
            break;
        case kStop: e = call(t.ShuttleStop, tr); break;
        case kPlayForward:
            call(t.ShuttleStop, tr);
            e = call(t.ShuttleRight, tr);
            break;
        case kNudge: {
            // Moves the current time (shuttle false), one tick of a 24-tick wheel each way.
            auto jog = [&](float amount) {
                return t.JogDial ? t.JogDial(tr, amount, 24.0f, 0) : kCsErrNotImplemented;
            };
            jog(1.0f);
            Clock::Real().SleepFor(std::chrono::milliseconds(60));
            e = jog(-1.0f);
            break;
        }
    }
    if (e != kCsErrNone) {
        Log(kLog, kLogError, "ctrl: Dispatch(op=%d) err=0x%08x", static_cast<int>(op), static_cast<unsigned>(e));
        return -2;
    }
    return 0;
}

}  // namespace Veltrix
