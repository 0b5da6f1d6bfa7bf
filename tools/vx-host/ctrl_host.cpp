#include "vx-host/ctrl_host.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "support/utf16.h"

namespace Veltrix::host {
namespace {

std::atomic<CtrlHost*> gActive{nullptr};
constexpr std::uint32_t kHostIdentifier = 1;  // any number: the module only logs it
constexpr std::int64_t kTicksPerSecondForTimecode = 254016000000LL;

CtrlHost* Active() { return gActive.load(); }

// A host string: UTF-16 text on the heap, counted while alive.
struct HostString {
    std::u16string text;
};
HostString* AsString(CsString s) { return reinterpret_cast<HostString*>(s); }

CsString NewString(const std::string& ascii) {
    auto* s = new HostString{std::u16string(ascii.begin(), ascii.end())};
    if (CtrlHost* h = Active()) h->CountString(1);
    return reinterpret_cast<CsString>(s);
}

// ---- SP basic ----
CsError BasicAcquire(const char* name, std::int32_t version, const void** out) {
    CtrlHost* h = Active();
    return h ? h->AcquireSuite(name, version, out) : kCsErrSuiteNotFound;
}
CsError BasicRelease(const char* name, std::int32_t version) {
    CtrlHost* h = Active();
    return h ? h->ReleaseSuite(name, version) : kCsErrBadParameter;
}
const CsSPBasicSuite kBasic{&BasicAcquire, &BasicRelease};

// ---- strings ----
CsError StrDispose(CsString s) {
    if (!s) return kCsErrBadParameter;
    delete AsString(s);
    if (CtrlHost* h = Active()) h->CountString(-1);
    return kCsErrNone;
}
CsError StrCopy16(CsString s, std::uint16_t* buffer, std::uint32_t* ioLength) {
    if (!s || !buffer || !ioLength) return kCsErrBadParameter;
    const std::u16string& t = AsString(s)->text;
    if (t.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(t.size() + 1);
        return kCsErrStringBufferTooSmall;
    }
    std::memcpy(buffer, t.c_str(), (t.size() + 1) * sizeof(char16_t));
    return kCsErrNone;
}
CsError StrCopy8(CsString s, char* buffer, std::uint32_t* ioLength) {
    if (!s || !buffer || !ioLength) return kCsErrBadParameter;
    const std::string t = Utf16ToUtf8(AsString(s)->text);
    if (t.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(t.size() + 1);
        return kCsErrStringBufferTooSmall;
    }
    std::memcpy(buffer, t.c_str(), t.size() + 1);
    return kCsErrNone;
}
CsError StrFrom16(const std::uint16_t* text, CsString* out) {
    if (!text || !out) return kCsErrBadParameter;
    auto* s = new HostString;
    for (const std::uint16_t* p = text; *p; ++p) s->text.push_back(static_cast<char16_t>(*p));
    if (CtrlHost* h = Active()) h->CountString(1);
    *out = reinterpret_cast<CsString>(s);
    return kCsErrNone;
}
const CsStringSuite kStrings{&StrDispose, &StrCopy16, &StrCopy8, &StrFrom16};

// ---- the plug-in's suite list ----
int gListToken = 0;
CsError ListAllocate(std::int32_t, std::int32_t, CsSuiteList* out) {
    if (!out) return kCsErrBadParameter;
    *out = reinterpret_cast<CsSuiteList>(&gListToken);
    return kCsErrNone;
}
CsError ListFree(CsSuiteList list) { return list ? kCsErrNone : kCsErrBadParameter; }
CsError ListAdd(CsSuiteList list, std::int32_t, const char* name, std::int32_t version, std::int32_t,
                const void* procs, CsSuiteRef* out) {
    CtrlHost* h = Active();
    if (!h || !list || !name || !procs) return kCsErrBadParameter;
    if (out) *out = nullptr;
    return h->AddSuite(name, version, procs);
}
const CsSPSuitesSuite kSuites{&ListAllocate, &ListFree, &ListAdd};

// ---- host, transport, command: every reference is the active host ----
CsError HostCommandRef(CsHostRef host, CsCommandRef* out) {
    if (!host || !out) return kCsErrBadParameter;
    *out = reinterpret_cast<CsCommandRef>(host);
    return kCsErrNone;
}
CsError HostTransportRef(CsHostRef host, CsTransportRef* out) {
    if (!host || !out) return kCsErrBadParameter;
    *out = reinterpret_cast<CsTransportRef>(host);
    return kCsErrNone;
}
const CsHostSuite kHostSuite{&HostCommandRef, nullptr, nullptr, &HostTransportRef};

CtrlHost* FromRef(const void* ref) {
    CtrlHost* h = Active();
    return h && ref == h ? h : nullptr;
}

CsError TrReverse(CsTransportRef t) {
    CtrlHost* h = FromRef(t);
    return h ? h->Transport("reverse play", [h] { return h->timeline().PlayReverse(); }) : kCsErrBadParameter;
}
CsError TrStop(CsTransportRef t) {
    CtrlHost* h = FromRef(t);
    return h ? h->Transport("stop", [h] { return h->timeline().Stop(); }) : kCsErrBadParameter;
}
CsError TrForward(CsTransportRef t) {
    CtrlHost* h = FromRef(t);
    return h ? h->Transport("forward play", [h] { return h->timeline().PlayForward(); }) : kCsErrBadParameter;
}
CsError TrJog(CsTransportRef t, float amount, float rate, std::uint32_t) {
    CtrlHost* h = FromRef(t);
    if (!h || !(amount == amount) || amount > 1e6f || amount < -1e6f) return kCsErrBadParameter;
    // The amount is in frames; the rate only says how fast a surface wheel turns.
    const auto frames = static_cast<std::int64_t>(amount >= 0 ? amount + 0.5f : amount - 0.5f);
    char what[48];
    std::snprintf(what, sizeof what, "jog %+lld", static_cast<long long>(frames));
    (void)rate;
    return h->Transport(what, [h, frames] { return h->timeline().Step(frames); });
}
CsError TrPlayState(CsTransportRef t, std::uint8_t* out) {
    CtrlHost* h = FromRef(t);
    return h && out ? h->PlayState(out) : kCsErrBadParameter;
}
CsHostTransportSuite MakeTransportSuite() {
    CsHostTransportSuite t{};
    t.ReversePlay = &TrReverse;
    t.Stop = &TrStop;
    t.ForwardPlay = &TrForward;
    t.Jog = &TrJog;
    t.GetPlayState = &TrPlayState;
    return t;
}
const CsHostTransportSuite kTransportSuite = MakeTransportSuite();

struct HostCommandInfo {
    const char* context;
    const char* id;
    const char* name;
};
constexpr HostCommandInfo kCommands[] = {
    {"program.monitor", "cmd.monitor.playstoptoggle", "Play/Stop Toggle"},
    {"", "cmd.transport.play.ctitoout", "Play from Playhead to Out"},
    {"", "cmd.transport.step.forward", "Step Forward 1 Frame"},
    {"", "cmd.transport.step.back", "Step Back 1 Frame"},
    {"", "cmd.transport.step.forward.five", "Step Forward 5 Frames"},
    {"", "cmd.transport.step.back.five", "Step Back 5 Frames"},
    {"", "cmd.goto.in", "Go to In"},
    {"", "cmd.goto.out", "Go to Out"},
};
constexpr std::uint32_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

CsError CmdCount(CsCommandRef c, std::uint32_t* out) {
    if (!FromRef(c) || !out) return kCsErrBadParameter;
    *out = kCommandCount;
    return kCsErrNone;
}
CsError CmdGet(CsCommandRef c, std::uint32_t index, CsString* context, CsString* extra, CsString* id, CsString* name) {
    if (!FromRef(c) || !context || !extra || !id || !name || index >= kCommandCount) return kCsErrBadParameter;
    *context = NewString(kCommands[index].context);
    *extra = NewString("");
    *id = NewString(kCommands[index].id);
    *name = NewString(kCommands[index].name);
    return kCsErrNone;
}
CsError CmdRun(CsCommandRef c, CsString context, CsString id) {
    CtrlHost* h = FromRef(c);
    if (!h || !id) return kCsErrBadParameter;
    (void)context;  // every command here acts on the one timeline
    return h->Command(Utf16ToUtf8(AsString(id)->text));
}
const CsHostCommandSuite kCommandSuite{nullptr, &CmdCount, &CmdGet, &CmdRun};

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

bool CtrlHost::Start(CsEntryPointFunc entry, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (Active() != this) return fail("another control-surface host is active in this process");
    if (const CsError e = entry(&kBasic, 1, 0, kHostIdentifier, &funcs_); e != kCsErrNone) {
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
    auto* surface = static_cast<const CsSurfaceSuite*>(FindAdded(kCsSurfaceSuiteName, 2));
    auto* transport =
        static_cast<const CsSurfaceTransportSuite*>(FindAdded(kCsSurfaceTransportSuiteName, kCsSurfaceTransportSuiteVersion));
    if (!surface || !transport || !surface->GetTransport || !transport->SetPlayState) return;
    CsSurfaceTransportRef t = nullptr;
    if (surface->GetTransport(surface_, &t) == kCsErrNone && t) transport->SetPlayState(t, playing ? 1 : 0);
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
    if (liveStrings_ > 0) {
        problems_.push_back("the control surface left " + std::to_string(liveStrings_) + " host string(s) undisposed");
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

CsError CtrlHost::AddSuite(const char* name, std::int32_t version, const void* procs) {
    std::lock_guard<std::mutex> lock(mutex_);
    added_[std::string(name) + " v" + std::to_string(version)] = procs;
    return kCsErrNone;
}

const void* CtrlHost::FindAdded(const std::string& name, std::int32_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = added_.find(name + " v" + std::to_string(version));
    return it == added_.end() ? nullptr : it->second;
}

void CtrlHost::CountString(int delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    liveStrings_ += delta;
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

CsError CtrlHost::PlayState(std::uint8_t* out) {
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
