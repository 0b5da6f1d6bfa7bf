#include "vx-host/ctrl_host.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "support/utf16.h"
#include "vx-host/sp_blocks.h"

namespace Veltrix::host {

struct HostString {
    std::u16string text;
};

struct CtrlHost::SuiteEntry {
    std::string name;
    std::int32_t apiVersion = 0;
    std::int32_t internalVersion = 0;
    const void* procs = nullptr;
    CsSpPluginRef plugin = nullptr;
    std::int32_t acquired = 0;
};

struct CtrlHost::SuiteList {
    std::vector<std::unique_ptr<SuiteEntry>> suites;
};

namespace {

std::atomic<CtrlHost*> gActive{nullptr};
constexpr std::int64_t kTicksPerSecondForTimecode = 254016000000LL;
constexpr std::int64_t kStringTag = 0x5658535452494E47LL;  // "VXSTRING" in the second word

CtrlHost* Active() { return gActive.load(); }

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// ---- the SP basic suite (seven slots) ----
CsError BasicAcquire(const char* name, std::int32_t version, const void** out) {
    CtrlHost* h = Active();
    return h ? h->AcquireSuite(name, version, out) : kCsErrSuiteNotFound;
}
CsError BasicRelease(const char* name, std::int32_t version) {
    CtrlHost* h = Active();
    return h ? h->ReleaseSuite(name, version) : kCsErrBadParameter;
}
CsSPBasicSuite gBasic{&BasicAcquire,  &BasicRelease,        &sp::IsEqual, &sp::AllocateBlock,
                      &sp::FreeBlock, &sp::ReallocateBlock, &sp::Undefined};

// ---- "ADOBESDK StringSuite" version 1 (five slots) ----
CsError StrDispose(const CsString* s) {
    CtrlHost* h = Active();
    return h ? h->DisposeString(s) : kCsErrBadParameter;
}
template <typename Char>
CsError CopyOut(const std::basic_string<Char>& text, Char* buffer, std::uint32_t* ioLength) {
    if (text.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(text.size() + 1);
        return kCsErrStringBufferTooSmall;
    }
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Char));
    *ioLength = static_cast<std::uint32_t>(text.size() + 1);  // elements copied, the NUL included
    return kCsErrNone;
}
CsError StrFrom8(const CsUtf8Char* text, CsString* out) {
    CtrlHost* h = Active();
    if (!h || !text || !out) return kCsErrBadParameter;
    *out = h->NewString(Utf8ToUtf16(reinterpret_cast<const char*>(text)));
    return kCsErrNone;
}
CsError StrCopy8(const CsString* s, CsUtf8Char* buffer, std::uint32_t* ioLength) {
    CtrlHost* h = Active();
    std::u16string text;
    if (!h || !buffer || !ioLength || !h->StringText(s, &text)) return kCsErrBadParameter;
    const std::string utf8 = Utf16ToUtf8(text);
    return CopyOut(std::basic_string<CsUtf8Char>(utf8.begin(), utf8.end()), buffer, ioLength);
}
CsError StrFrom16(const CsUtf16Char* text, CsString* out) {
    CtrlHost* h = Active();
    if (!h || !text || !out) return kCsErrBadParameter;
    std::u16string t;
    for (const CsUtf16Char* p = text; *p; ++p) t.push_back(static_cast<char16_t>(*p));
    *out = h->NewString(t);
    return kCsErrNone;
}
CsError StrCopy16(const CsString* s, CsUtf16Char* buffer, std::uint32_t* ioLength) {
    CtrlHost* h = Active();
    std::u16string text;
    if (!h || !buffer || !ioLength || !h->StringText(s, &text)) return kCsErrBadParameter;
    return CopyOut(std::basic_string<CsUtf16Char>(text.begin(), text.end()), buffer, ioLength);
}
const CsStringSuite kStrings{&StrDispose, &StrFrom8, &StrCopy8, &StrFrom16, &StrCopy16};

// ---- "SP Suites Suite" version 2 (fifteen slots) over the host's suite lists ----
using SuiteEntry = CtrlHost::SuiteEntry;
SuiteEntry* Entry(CsSuiteRef ref) { return reinterpret_cast<SuiteEntry*>(ref); }
struct ListIterator {
    CtrlHost::SuiteList* list;
    std::size_t next;
};

// Runs f(list) with the host's list lock held; 'Parm' for a list the host does not know.
template <typename F>
CsError WithList(CsSuiteListRef ref, F&& f) {
    CtrlHost* h = Active();
    if (!h) return kCsErrBadParameter;
    std::lock_guard<std::mutex> lock(h->listMutex());
    CtrlHost::SuiteList* list = h->List(ref);
    return list ? f(*list) : kCsErrBadParameter;
}
SuiteEntry* Find(CtrlHost::SuiteList& list, const char* name, std::int32_t api, std::int32_t internal) {
    for (auto& e : list.suites) {
        if (e->name == name && e->apiVersion == api && e->internalVersion == internal) return e.get();
    }
    return nullptr;
}

CsError ListAllocate(CsStringPoolRef, CsSpPluginListRef, CsSuiteListRef* out) {
    CtrlHost* h = Active();
    return h && out ? h->AllocateList(out) : kCsErrBadParameter;
}
CsError ListFree(CsSuiteListRef list) {
    CtrlHost* h = Active();
    return h ? h->FreeList(list) : kCsErrBadParameter;
}
CsError ListAdd(CsSuiteListRef ref, CsSpPluginRef plugin, const char* name, std::int32_t api, std::int32_t internal,
                const void* procs, CsSuiteRef* out) {
    if (!name || !procs) return kCsErrBadParameter;
    return WithList(ref, [&](CtrlHost::SuiteList& list) {
        auto e = std::make_unique<SuiteEntry>();
        e->name = name;
        e->apiVersion = api;
        e->internalVersion = internal;
        e->procs = procs;
        e->plugin = plugin;
        if (out) *out = reinterpret_cast<CsSuiteRef>(e.get());
        list.suites.push_back(std::move(e));
        return kCsErrNone;
    });
}
CsError ListAcquire(CsSuiteListRef ref, const char* name, std::int32_t api, std::int32_t internal, const void** out) {
    if (!name || !out) return kCsErrBadParameter;
    return WithList(ref, [&](CtrlHost::SuiteList& list) {
        SuiteEntry* e = Find(list, name, api, internal);
        *out = e ? e->procs : nullptr;
        if (!e) return kCsErrSuiteNotFound;
        ++e->acquired;
        return kCsErrNone;
    });
}
CsError ListRelease(CsSuiteListRef ref, const char* name, std::int32_t api, std::int32_t internal) {
    if (!name) return kCsErrBadParameter;
    return WithList(ref, [&](CtrlHost::SuiteList& list) {
        SuiteEntry* e = Find(list, name, api, internal);
        if (!e || e->acquired <= 0) return kCsErrBadParameter;
        --e->acquired;
        return kCsErrNone;
    });
}
CsError ListFind(CsSuiteListRef ref, const char* name, std::int32_t api, std::int32_t internal, CsSuiteRef* out) {
    if (!name || !out) return kCsErrBadParameter;
    return WithList(ref, [&](CtrlHost::SuiteList& list) {
        *out = reinterpret_cast<CsSuiteRef>(Find(list, name, api, internal));
        return *out ? kCsErrNone : kCsErrSuiteNotFound;
    });
}
CsError ListIterate(CsSuiteListRef ref, CsSuiteListIteratorRef* out) {
    if (!out) return kCsErrBadParameter;
    return WithList(ref, [&](CtrlHost::SuiteList& list) {
        *out = reinterpret_cast<CsSuiteListIteratorRef>(new ListIterator{&list, 0});
        return kCsErrNone;
    });
}
CsError ListNext(CsSuiteListIteratorRef ref, CsSuiteRef* out) {
    auto* it = reinterpret_cast<ListIterator*>(ref);
    if (!it || !out) return kCsErrBadParameter;
    *out = it->next < it->list->suites.size() ? reinterpret_cast<CsSuiteRef>(it->list->suites[it->next++].get())
                                              : nullptr;
    return kCsErrNone;
}
CsError ListIteratorDelete(CsSuiteListIteratorRef ref) {
    delete reinterpret_cast<ListIterator*>(ref);
    return kCsErrNone;
}
CsError SuiteHost(CsSuiteRef s, CsSpPluginRef* out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->plugin;
    return kCsErrNone;
}
CsError SuiteName(CsSuiteRef s, const char** out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->name.c_str();
    return kCsErrNone;
}
CsError SuiteApi(CsSuiteRef s, std::int32_t* out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->apiVersion;
    return kCsErrNone;
}
CsError SuiteInternal(CsSuiteRef s, std::int32_t* out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->internalVersion;
    return kCsErrNone;
}
CsError SuiteProcs(CsSuiteRef s, const void** out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->procs;
    return kCsErrNone;
}
CsError SuiteCount(CsSuiteRef s, std::int32_t* out) {
    if (!s || !out) return kCsErrBadParameter;
    *out = Entry(s)->acquired;
    return kCsErrNone;
}
const CsSPSuitesSuite kSuites{&ListAllocate, &ListFree,    &ListAdd,       &ListAcquire,   &ListRelease,
                              &ListFind,     &ListIterate, &ListNext,      &ListIteratorDelete,
                              &SuiteHost,    &SuiteName,   &SuiteApi,      &SuiteInternal, &SuiteProcs,
                              &SuiteCount};

// ---- host, transport, command: every reference is the active host ----
CtrlHost* FromRef(const void* ref) {
    CtrlHost* h = Active();
    return h && ref == h ? h : nullptr;
}
template <typename Ref>
CsError Absent(CsHostRef host, Ref* out) {
    if (!FromRef(host) || !out) return kCsErrBadParameter;
    *out = nullptr;  // vx-host has no marker, mixer or Lumetri panel
    return kCsErrNotImplemented;
}
CsError HostCommandRef(CsHostRef host, CsHostCommandRef* out) {
    if (!FromRef(host) || !out) return kCsErrBadParameter;
    *out = reinterpret_cast<CsHostCommandRef>(host);
    return kCsErrNone;
}
CsError HostTransportRef(CsHostRef host, CsHostTransportRef* out) {
    if (!FromRef(host) || !out) return kCsErrBadParameter;
    *out = reinterpret_cast<CsHostTransportRef>(host);
    return kCsErrNone;
}
const CsHostSuite kHostSuite{&HostCommandRef, &Absent<CsHostMarkerRef>, &Absent<CsHostMixerRef>, &HostTransportRef,
                             &Absent<CsHostLumetriRef>};

CsError Move(CsHostTransportRef t, const char* what, std::function<TimelineView(Timeline&)> change) {
    CtrlHost* h = FromRef(t);
    if (!h) return kCsErrBadParameter;
    return h->Transport(what, [h, change] { return change(h->timeline()); });
}
// A transport key vx-host's timeline has no counterpart for.
CsError NoCounterpart(CsHostTransportRef t) { return FromRef(t) ? kCsErrNotImplemented : kCsErrBadParameter; }
CsError TrStop(CsHostTransportRef t) { return Move(t, "stop", [](Timeline& tl) { return tl.Stop(); }); }
CsError TrPlay(CsHostTransportRef t) { return Move(t, "play", [](Timeline& tl) { return tl.PlayForward(); }); }
CsError TrPause(CsHostTransportRef t) { return Move(t, "pause", [](Timeline& tl) { return tl.Stop(); }); }
CsError TrGotoStart(CsHostTransportRef t) {
    return Move(t, "go to start", [](Timeline& tl) { return tl.Step(-(tl.View().ticks / tl.frameTicks())); });
}
CsError TrShuttleLeft(CsHostTransportRef t) {
    return Move(t, "reverse play", [](Timeline& tl) { return tl.PlayReverse(); });
}
CsError TrShuttleStop(CsHostTransportRef t) { return Move(t, "stop", [](Timeline& tl) { return tl.Stop(); }); }
CsError TrShuttleRight(CsHostTransportRef t) {
    return Move(t, "forward play", [](Timeline& tl) { return tl.PlayForward(); });
}
CsError TrJog(CsHostTransportRef t, float ticksMoved, float ticksPerRevolution, CsBool shuttle) {
    if (!FromRef(t) || !(ticksMoved == ticksMoved) || ticksMoved > 1e6f || ticksMoved < -1e6f) {
        return kCsErrBadParameter;
    }
    if (shuttle) {
        // Shuttling plays in the wheel's direction.
        if (ticksMoved > 0) return Move(t, "shuttle forward", [](Timeline& tl) { return tl.PlayForward(); });
        if (ticksMoved < 0) return Move(t, "shuttle reverse", [](Timeline& tl) { return tl.PlayReverse(); });
        return Move(t, "shuttle stop", [](Timeline& tl) { return tl.Stop(); });
    }
    // Each wheel tick moves the current time one frame; the ticks per turn only say how fine the wheel is.
    const auto frames = static_cast<std::int64_t>(ticksMoved >= 0 ? ticksMoved + 0.5f : ticksMoved - 0.5f);
    char what[48];
    std::snprintf(what, sizeof what, "jog %+lld", static_cast<long long>(frames));
    (void)ticksPerRevolution;
    return Move(t, what, [frames](Timeline& tl) { return tl.Step(frames); });
}
std::string TimeCode(std::int64_t ticks, std::int64_t frameTicks);
CsError TrTimeDisplay(CsHostTransportRef t, std::uint32_t* mode, std::uint32_t maxLength, CsString* out) {
    CtrlHost* h = FromRef(t);
    if (!h || !mode || !out) return kCsErrBadParameter;
    *mode = 2;  // kADOBESDK_ControlSurfaceTimeDisplayMode_SMPTE
    std::string text = TimeCode(h->timeline().View().ticks, h->timeline().frameTicks());
    if (maxLength > 0 && text.size() > maxLength) text.resize(maxLength);
    *out = h->NewString(Widen(text));
    return kCsErrNone;
}
CsError TrPlayState(CsHostTransportRef t, CsBool* out) {
    CtrlHost* h = FromRef(t);
    return h && out ? h->PlayState(out) : kCsErrBadParameter;
}
CsError TrStopState(CsHostTransportRef t, CsBool* out) {
    CtrlHost* h = FromRef(t);
    if (!h || !out) return kCsErrBadParameter;
    *out = h->timeline().Playing() ? 0 : 1;
    return kCsErrNone;
}
CsError TrOff(CsHostTransportRef t, CsBool* out) {  // never records, never solos
    if (!FromRef(t) || !out) return kCsErrBadParameter;
    *out = 0;
    return kCsErrNone;
}
const CsHostTransportSuite kTransportSuite{
    &NoCounterpart, &NoCounterpart, &NoCounterpart, &NoCounterpart,  // rewind and fast forward keys
    &TrStop,        &TrPlay,        &NoCounterpart, &TrPause,        // stop, play, record, pause
    &NoCounterpart, &NoCounterpart, &NoCounterpart, &TrGotoStart,    // cycle, previous, next, start
    &TrShuttleLeft, &TrShuttleStop, &TrShuttleRight, &TrJog,         // J, K, L, jog wheel
    &TrTimeDisplay, &TrOff,         &TrStopState,   &TrPlayState,    // time, record, stop, play states
    &TrOff,                                                          // solo state
};

struct HostCommandInfo {
    const char* context;
    const char* contextName;
    const char* id;
    const char* name;
};
constexpr HostCommandInfo kCommands[] = {
    {"program.monitor", "Program Monitor", "cmd.monitor.playstoptoggle", "Play/Stop Toggle"},
    {"", "", "cmd.transport.play.ctitoout", "Play from Playhead to Out"},
    {"", "", "cmd.transport.step.forward", "Step Forward 1 Frame"},
    {"", "", "cmd.transport.step.back", "Step Back 1 Frame"},
    {"", "", "cmd.transport.step.forward.five", "Step Forward 5 Frames"},
    {"", "", "cmd.transport.step.back.five", "Step Back 5 Frames"},
    {"", "", "cmd.goto.in", "Go to In"},
    {"", "", "cmd.goto.out", "Go to Out"},
};
constexpr std::uint32_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

CsError CmdNavigate(CsHostCommandRef c, CsBool, std::int32_t, std::int32_t, CsBool) {
    return FromRef(c) ? kCsErrNotImplemented : kCsErrBadParameter;
}
CsError CmdCount(CsHostCommandRef c, std::uint32_t* out) {
    if (!FromRef(c) || !out) return kCsErrBadParameter;
    *out = kCommandCount;
    return kCsErrNone;
}
CsError CmdGet(CsHostCommandRef c, std::uint32_t index, CsString* context, CsString* contextName, CsString* id,
               CsString* name) {
    CtrlHost* h = FromRef(c);
    if (!h || !context || !contextName || !id || !name || index >= kCommandCount) return kCsErrBadParameter;
    *context = h->NewString(Widen(kCommands[index].context));
    *contextName = h->NewString(Widen(kCommands[index].contextName));
    *id = h->NewString(Widen(kCommands[index].id));
    *name = h->NewString(Widen(kCommands[index].name));
    return kCsErrNone;
}
CsError CmdRun(CsHostCommandRef c, const CsString* context, const CsString* id) {
    CtrlHost* h = FromRef(c);
    std::u16string text, contextText;
    if (!h || !h->StringText(id, &text)) return kCsErrBadParameter;
    // Every command here acts on the one timeline; a context must still be a live host string.
    if (context && !h->StringText(context, &contextText)) return kCsErrBadParameter;
    return h->Command(Utf16ToUtf8(text));
}
const CsHostCommandSuite kCommandSuite{&CmdNavigate, &CmdCount, &CmdGet, &CmdRun};

std::string TimeCode(std::int64_t ticks, std::int64_t frameTicks) {
    const std::int64_t frame = ticks / frameTicks;
    const double fps = static_cast<double>(kTicksPerSecondForTimecode) / static_cast<double>(frameTicks);
    const auto perSecond = static_cast<std::int64_t>(fps + 0.5) > 0 ? static_cast<std::int64_t>(fps + 0.5) : 1;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld:%02lld", static_cast<long long>(frame / perSecond / 3600),
                  static_cast<long long>(frame / perSecond / 60 % 60), static_cast<long long>(frame / perSecond % 60),
                  static_cast<long long>(frame % perSecond));
    return buf;
}

}  // namespace

CtrlHost::CtrlHost(Timeline& timeline, Say say) : timeline_(timeline), say_(std::move(say)) {
    CtrlHost* expected = nullptr;
    gActive.compare_exchange_strong(expected, this);
}

CtrlHost::~CtrlHost() {
    Stop();
    CtrlHost* self = this;
    gActive.compare_exchange_strong(self, nullptr);
}

CsString CtrlHost::NewString(const std::u16string& text) {
    auto s = std::make_unique<HostString>(HostString{text});
    CsString record{};
    record.opaque[0] = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(s.get()));
    record.opaque[1] = kStringTag;
    std::lock_guard<std::mutex> lock(mutex_);
    strings_.emplace(s.get(), std::move(s));
    return record;
}

bool CtrlHost::StringText(const CsString* s, std::u16string* out) {
    if (!s) return false;
    if (s->opaque[0] == 0) {  // the empty string
        out->clear();
        return true;
    }
    if (s->opaque[1] != kStringTag) return false;
    const auto* key = reinterpret_cast<const HostString*>(static_cast<std::intptr_t>(s->opaque[0]));
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = strings_.find(key);
    if (it == strings_.end()) return false;
    *out = it->second->text;
    return true;
}

CsError CtrlHost::DisposeString(const CsString* s) {
    if (!s) return kCsErrBadParameter;
    if (s->opaque[0] == 0) return kCsErrNone;  // disposing the empty string is allowed
    const auto* key = reinterpret_cast<const HostString*>(static_cast<std::intptr_t>(s->opaque[0]));
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = s->opaque[1] == kStringTag ? strings_.find(key) : strings_.end();
    if (it == strings_.end()) {
        const std::string sentence = "the control surface disposed a string the host did not hand out (or disposed it twice)";
        if (std::find(problems_.begin(), problems_.end(), sentence) == problems_.end()) problems_.push_back(sentence);
        return kCsErrBadParameter;
    }
    strings_.erase(it);
    return kCsErrNone;
}

void CtrlHost::Problem(const std::string& sentence) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(problems_.begin(), problems_.end(), sentence) == problems_.end()) problems_.push_back(sentence);
}

CsError CtrlHost::AllocateList(CsSuiteListRef* out) {
    auto list = std::make_unique<SuiteList>();
    *out = reinterpret_cast<CsSuiteListRef>(list.get());
    std::lock_guard<std::mutex> lock(mutex_);
    lists_.emplace(list.get(), std::move(list));
    return kCsErrNone;
}

CsError CtrlHost::FreeList(CsSuiteListRef ref) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lists_.find(reinterpret_cast<const SuiteList*>(ref));
    if (it == lists_.end()) return kCsErrBadParameter;
    lists_.erase(it);
    if (ref == moduleList_) moduleList_ = nullptr;
    return kCsErrNone;
}

CtrlHost::SuiteList* CtrlHost::List(CsSuiteListRef ref) {
    auto it = lists_.find(reinterpret_cast<const SuiteList*>(ref));
    return it == lists_.end() ? nullptr : it->second.get();
}

std::string CtrlHost::ReadPluginString(CsError (*get)(CsPluginRef, CsString*), const char* what) {
    CsString s{};
    if (!get) return {};
    const CsError e = get(instance_, &s);
    std::u16string text;
    if (e != kCsErrNone || !StringText(&s, &text)) {
        Problem(std::string("the plug-in suite's ") + what + " did not answer a host string (" + std::to_string(e) +
                ")");
        return {};
    }
    DisposeString(&s);  // the host owns the strings the plug-in hands it
    return Utf16ToUtf8(text);
}

bool CtrlHost::Start(CsEntryPointFunc entry, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (Active() != this) return fail("another control-surface host is active in this process");
    if (const CsError e = entry(&gBasic, 1, 0, kCsHostPremierePro, &funcs_); e != kCsErrNone) {
        return fail("EntryPoint returned " + std::to_string(e));
    }
    if (!funcs_.Startup || !funcs_.Shutdown || !funcs_.CreatePluginInstance || !funcs_.DeletePluginInstance ||
        !funcs_.GetSuiteList) {
        return fail("EntryPoint left an entry function empty");
    }
    if (const CsError e = funcs_.Startup(); e != kCsErrNone) {
        funcs_.Shutdown();
        return fail("start-up returned " + std::to_string(e));
    }
    started_ = true;
    // The host takes the module's suites from the list the module hands it.
    if (const CsError e = funcs_.GetSuiteList(&moduleList_); e != kCsErrNone || !moduleList_) {
        moduleList_ = nullptr;
        Stop();
        return fail("the module's suite list was not given (" + std::to_string(e) + ")");
    }
    pluginSuite_ = static_cast<const CsPluginSuite*>(FindAdded(kCsPluginSuiteName, kCsPluginSuiteVersion));
    if (!pluginSuite_ || !pluginSuite_->Connect || !pluginSuite_->Disconnect) {
        Stop();
        return fail("the module registered no \"" + std::string(kCsPluginSuiteName) + "\"");
    }
    if (const CsError e = funcs_.CreatePluginInstance(&instance_); e != kCsErrNone || !instance_) {
        instance_ = nullptr;
        Stop();
        return fail("create plug-in instance returned " + std::to_string(e));
    }
    pluginName_ = ReadPluginString(pluginSuite_->GetPluginID, "plug-in id") + " (" +
                  ReadPluginString(pluginSuite_->GetPluginDisplayString, "display name") + ")";
    ui_ = std::make_unique<UiThread>();
    CsError connected = kCsErrNone;
    ui_->Run([&] {
        connected = pluginSuite_->Connect(instance_, reinterpret_cast<CsHostRef>(this), &surface_);
    });
    if (connected != kCsErrNone) {
        Stop();
        return fail("connect returned " + std::to_string(connected));
    }
    return true;
}

void CtrlHost::NotifyPlayState(bool playing) {
    if (say_) {
        const TimelineView v = timeline_.View();
        say_(std::string("vx-host: playback ") + (playing ? "started" : "stopped") + " at frame " +
             std::to_string(v.ticks / timeline_.frameTicks()) + ", " + PlayStateName(v.state));
    }
    if (!surface_) return;
    auto* surface = static_cast<const CsSurfaceSuite*>(FindAdded(kCsSurfaceSuiteName, kCsSurfaceSuiteVersion2));
    auto* transport = static_cast<const CsSurfaceTransportSuite*>(
        FindAdded(kCsSurfaceTransportSuiteName, kCsSurfaceTransportSuiteVersion));
    if (!surface || !transport || !surface->GetTransportRef || !transport->SetPlayState) return;
    CsSurfaceTransportRef t = nullptr;
    if (surface->GetTransportRef(surface_, &t) == kCsErrNone && t) transport->SetPlayState(t, playing ? 1 : 0);
}

void CtrlHost::Stop() {
    if (!started_) return;
    started_ = false;
    if (instance_) {
        if (ui_ && surface_) ui_->Run([&] { pluginSuite_->Disconnect(instance_); });
        surface_ = nullptr;
        funcs_.DeletePluginInstance(instance_);
        instance_ = nullptr;
    }
    funcs_.Shutdown();
    ui_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, count] : acquired_) {
        if (count > 0) {
            problems_.push_back("the control surface acquired suite \"" + name + "\" and did not release it (" +
                                std::to_string(count) + ")");
        }
    }
    if (!strings_.empty()) {
        problems_.push_back("the control surface left " + std::to_string(strings_.size()) +
                            " host string(s) undisposed");
    }
    if (!lists_.empty()) {
        problems_.push_back("the control surface left " + std::to_string(lists_.size()) + " suite list(s) unfreed");
    }
}

CsError CtrlHost::AcquireSuite(const char* name, std::int32_t version, const void** out) {
    if (!name || !out) return kCsErrBadParameter;
    *out = nullptr;
    const std::string n = name;
    const void* suite = nullptr;
    if (n == kCsStringSuiteName && version == kCsStringSuiteVersion) suite = &kStrings;
    else if (n == kCsSPSuitesSuiteName && version == kCsSPSuitesSuiteVersion) suite = &kSuites;
    else if (n == kCsHostSuiteName && version == kCsHostSuiteVersion) suite = &kHostSuite;
    else if (n == kCsHostTransportSuiteName && version == kCsHostTransportSuiteVersion) suite = &kTransportSuite;
    else if (n == kCsHostCommandSuiteName && version == kCsHostCommandSuiteVersion) suite = &kCommandSuite;
    if (!suite) return kCsErrSuiteNotFound;
    std::lock_guard<std::mutex> lock(mutex_);
    ++acquired_[n + " v" + std::to_string(version)];
    *out = suite;
    return kCsErrNone;
}

CsError CtrlHost::ReleaseSuite(const char* name, std::int32_t version) {
    if (!name) return kCsErrBadParameter;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = acquired_.find(std::string(name) + " v" + std::to_string(version));
    if (it == acquired_.end() || it->second <= 0) {
        problems_.push_back("the control surface released suite \"" + std::string(name) + "\" v" +
                            std::to_string(version) + " that it did not hold");
        return kCsErrBadParameter;
    }
    --it->second;
    return kCsErrNone;
}

const void* CtrlHost::FindAdded(const char* name, std::int32_t version) {
    // Looked up in the module's own list, as the host acquires the module's suites (internal version = version).
    CsSuiteRef suite = nullptr;
    const void* procs = nullptr;
    if (!moduleList_ || kSuites.FindSuite(moduleList_, name, version, version, &suite) != kCsErrNone ||
        kSuites.GetSuiteProcs(suite, &procs) != kCsErrNone) {
        return nullptr;
    }
    return procs;
}

void CtrlHost::SayChange(const std::string& what, const TimelineView& before, const TimelineView& after) {
    if (!say_) return;
    const std::int64_t ft = timeline_.frameTicks();
    say_("vx-host: transport " + what + ": frame " + std::to_string(before.ticks / ft) + " -> " +
         std::to_string(after.ticks / ft) + " (" + TimeCode(after.ticks, ft) + "), " + PlayStateName(after.state));
}

CsError CtrlHost::Transport(const char* what, const std::function<TimelineView()>& change) {
    const TimelineView before = timeline_.View();
    const TimelineView after = change();
    SayChange(what, before, after);
    return kCsErrNone;
}

CsError CtrlHost::PlayState(CsBool* out) {
    *out = timeline_.Playing() ? 1 : 0;
    return kCsErrNone;
}

CsError CtrlHost::Command(const std::string& id) {
    Timeline& t = timeline_;
    std::function<TimelineView()> change;
    if (id == "cmd.monitor.playstoptoggle") change = [&] { return t.PlayStopToggle(); };
    else if (id == "cmd.transport.play.ctitoout") change = [&] { return t.PlayToOut(); };
    else if (id == "cmd.transport.step.forward") change = [&] { return t.Step(1); };
    else if (id == "cmd.transport.step.back") change = [&] { return t.Step(-1); };
    else if (id == "cmd.transport.step.forward.five") change = [&] { return t.Step(5); };
    else if (id == "cmd.transport.step.back.five") change = [&] { return t.Step(-5); };
    else if (id == "cmd.goto.in") change = [&] { return t.GotoIn(); };
    else if (id == "cmd.goto.out") change = [&] { return t.GotoOut(); };
    if (!change) {
        if (say_) say_("vx-host: transport: unknown command refused");
        return kCsErrBadParameter;
    }
    return Transport(id.c_str(), change);
}

ControlSurfacePlugin LoadControlSurface(bool noCtrl, const std::string& path, std::ostream& out, std::ostream& err,
                                        bool* ok) {
    *ok = true;
    ControlSurfacePlugin plugin;
    if (noCtrl) {
        out << "vx-host: no control surface (--no-ctrl): phone transport falls back to keys\n";
        return plugin;
    }
    const std::filesystem::path file =
        path.empty() ? SelfExecutablePath().parent_path() / DefaultCtrlFileName() : std::filesystem::path(path);
    std::string error;
    plugin.library = LoadPluginLibrary(file, &error);
    if (!plugin.library) {
        if (!path.empty()) {
            err << "vx-host: cannot load the control surface " << file.string() << ": " << error << "\n";
            *ok = false;
        } else {
            out << "vx-host: no control surface next to vx-host (" << file.filename().string()
                << "): phone transport falls back to keys\n";
        }
        return plugin;
    }
    plugin.entry = reinterpret_cast<CsEntryPointFunc>(plugin.library->Symbol(kCsEntryPointName));
    if (!plugin.entry) {
        err << "vx-host: " << file.string() << " does not export " << kCsEntryPointName << "\n";
        *ok = false;
        plugin.library.reset();
        return plugin;
    }
    out << "vx-host: control surface " << file.string() << "\n";
    return plugin;
}

}  // namespace Veltrix::host
