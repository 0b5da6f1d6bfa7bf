#include "scripted_host.h"

#include <cstdio>
#include <cstring>

namespace Veltrix::testing {
namespace {

ScriptedHost* gHost = nullptr;

struct HostString {
    std::u16string text;
};

int HostNumber(const void* ref) { return static_cast<int>(reinterpret_cast<std::intptr_t>(ref)); }
std::string At(const void* ref) {
    char text[24];
    std::snprintf(text, sizeof text, "@%d", HostNumber(ref));
    return text;
}

CsError BasicAcquire(const char* n, std::int32_t v, const void** out) { return gHost->Acquire(n, v, out); }
CsError BasicRelease(const char* n, std::int32_t v) { return gHost->Release(n, v); }
CsSPBasicSuite gBasic{&BasicAcquire, &BasicRelease, nullptr, nullptr, nullptr, nullptr, nullptr};

HostString* Text(const CsString* s) {
    return s ? reinterpret_cast<HostString*>(static_cast<std::intptr_t>(s->opaque[0])) : nullptr;
}
CsString MakeRecord(HostString* text) {
    CsString s{};
    s.opaque[0] = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(text));
    return s;
}
std::set<HostString*> gLive;  // under gHost->mutex

CsError Dispose(const CsString* s) {
    if (!s) return kCsErrBadParameter;
    HostString* text = Text(s);
    if (!text) return kCsErrNone;  // the empty string
    {
        std::lock_guard<std::mutex> lock(gHost->mutex);
        if (!gLive.erase(text)) {
            ++gHost->badDisposes;
            return kCsErrBadParameter;
        }
        --gHost->liveStrings;
    }
    delete text;
    return kCsErrNone;
}
CsError NotServed() { return kCsErrNotImplemented; }
CsError CopyUtf8(const CsString* s, CsUtf8Char* buffer, std::uint32_t* ioLength) {
    if (!Text(s) || !buffer || !ioLength) return kCsErrBadParameter;
    const std::string text = HostStringText(*s);
    if (text.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(text.size() + 1);
        return kCsErrStringBufferTooSmall;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *ioLength = static_cast<std::uint32_t>(text.size() + 1);
    return kCsErrNone;
}
CsError FromUtf16(const CsUtf16Char* text, CsString* out) {
    if (!text || !out) return kCsErrBadParameter;
    auto* s = new HostString;
    for (const CsUtf16Char* p = text; *p; ++p) s->text.push_back(static_cast<char16_t>(*p));
    *out = MakeRecord(s);
    std::lock_guard<std::mutex> lock(gHost->mutex);
    gLive.insert(s);
    ++gHost->liveStrings;
    return kCsErrNone;
}
const CsStringSuite kStrings{&Dispose,
                             [](const CsUtf8Char*, CsString*) { return NotServed(); },
                             &CopyUtf8,
                             &FromUtf16,
                             [](const CsString*, CsUtf16Char*, std::uint32_t*) { return NotServed(); }};

CsString Make(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    CsString s{};
    FromUtf16(reinterpret_cast<const CsUtf16Char*>(wide.c_str()), &s);
    return s;
}

CsError AllocList(CsStringPoolRef pool, CsSpPluginListRef plugins, CsSuiteListRef* out) {
    if (pool || plugins) ++gHost->badListArguments;
    gHost->listsLive++;
    *out = reinterpret_cast<CsSuiteListRef>(&gHost->added);
    return kCsErrNone;
}
CsError FreeList(CsSuiteListRef) {
    gHost->listsLive--;
    return kCsErrNone;
}
CsError AddSuite(CsSuiteListRef, CsSpPluginRef plugin, const char* name, std::int32_t version,
                 std::int32_t internalVersion, const void* procs, CsSuiteRef*) {
    if (plugin || internalVersion != version) ++gHost->badListArguments;
    gHost->added[std::string(name) + " v" + std::to_string(version)] = procs;
    return kCsErrNone;
}
CsSPSuitesSuite MakeSuites() {
    CsSPSuitesSuite s{};  // the module calls only the first three
    s.AllocateSuiteList = &AllocList;
    s.FreeSuiteList = &FreeList;
    s.AddSuite = &AddSuite;
    return s;
}
const CsSPSuitesSuite kSuites = MakeSuites();

CsError GetCommandRef(CsHostRef host, CsHostCommandRef* out) {
    *out = reinterpret_cast<CsHostCommandRef>(host);
    return kCsErrNone;
}
CsError GetTransportRef(CsHostRef host, CsHostTransportRef* out) {
    *out = reinterpret_cast<CsHostTransportRef>(host);
    return kCsErrNone;
}
const CsHostSuite kHostSuite{&GetCommandRef, nullptr, nullptr, &GetTransportRef, nullptr};

CsError Transport(CsHostTransportRef t, const std::string& what) {
    gHost->Record(what + At(t));
    return gHost->transportResult;
}
CsError Jog(CsHostTransportRef t, float amount, float perRevolution, CsBool shuttle) {
    char text[64];
    std::snprintf(text, sizeof text, "jog %+d of %d shuttle %u", static_cast<int>(amount),
                  static_cast<int>(perRevolution), static_cast<unsigned>(shuttle));
    return Transport(t, text);
}
CsError PlayState(CsHostTransportRef t, CsBool* out) {
    gHost->Record("playstate" + At(t));
    std::lock_guard<std::mutex> lock(gHost->mutex);
    *out = gHost->playState;
    return kCsErrNone;
}
// Every slot records its name, so a call to the wrong one shows.
CsHostTransportSuite MakeTransportSuite() {
    CsHostTransportSuite t{};
    t.BeginRewind = [](CsHostTransportRef r) { return Transport(r, "beginrewind"); };
    t.EndRewind = [](CsHostTransportRef r) { return Transport(r, "endrewind"); };
    t.BeginForward = [](CsHostTransportRef r) { return Transport(r, "beginforward"); };
    t.EndForward = [](CsHostTransportRef r) { return Transport(r, "endforward"); };
    t.Stop = [](CsHostTransportRef r) { return Transport(r, "stop"); };
    t.Play = [](CsHostTransportRef r) { return Transport(r, "play"); };
    t.Record = [](CsHostTransportRef r) { return Transport(r, "record"); };
    t.Pause = [](CsHostTransportRef r) { return Transport(r, "pause"); };
    t.ToggleCycle = [](CsHostTransportRef r) { return Transport(r, "cycle"); };
    t.GotoPrevious = [](CsHostTransportRef r) { return Transport(r, "previous"); };
    t.GotoNext = [](CsHostTransportRef r) { return Transport(r, "next"); };
    t.GotoStart = [](CsHostTransportRef r) { return Transport(r, "start"); };
    t.ShuttleLeft = [](CsHostTransportRef r) { return Transport(r, "J"); };
    t.ShuttleStop = [](CsHostTransportRef r) { return Transport(r, "K"); };
    t.ShuttleRight = [](CsHostTransportRef r) { return Transport(r, "L"); };
    t.JogDial = &Jog;
    t.GetPlayState = &PlayState;
    return t;
}
const CsHostTransportSuite kTransportSuite = MakeTransportSuite();

CsError CommandCount(CsHostCommandRef, std::uint32_t* out) {
    *out = gHost->commandCount;
    return kCsErrNone;
}
CsError GetCommand(CsHostCommandRef, std::uint32_t index, CsString* ctx, CsString* ctxName, CsString* id,
                   CsString* name) {
    if (index == 1) return kCsErrBadParameter;
    *ctx = Make("program.monitor");
    *ctxName = Make("Program Monitor");
    // Longer than the first 128-byte try: the copy is asked again with the size it needs.
    std::string id150 = "cmd.listed.";
    id150.append(std::to_string(index)).append(".").append(150, 'x');
    *id = Make(id150);
    std::string label = "Command ";
    label.append(std::to_string(index));
    *name = Make(label);
    return kCsErrNone;
}
CsError Execute(CsHostCommandRef c, const CsString* ctx, const CsString* id) {
    std::string call = "cmd ";
    call.append(ctx ? HostStringText(*ctx) : std::string("-")).append("/").append(id ? HostStringText(*id) : "?");
    call.append(At(c));
    gHost->Record(call);
    return gHost->commandResult;
}
const CsHostCommandSuite kCommandSuite{nullptr, &CommandCount, &GetCommand, &Execute};

}  // namespace

std::string HostStringText(const CsString& s) {
    std::string out;
    if (HostString* text = Text(&s)) {
        for (char16_t c : text->text) out.push_back(static_cast<char>(c));
    }
    return out;
}

ScriptedHost::ScriptedHost() { gHost = this; }
ScriptedHost::~ScriptedHost() { gHost = nullptr; }
CsSPBasicSuite* ScriptedHost::basic() const { return &gBasic; }

CsError ScriptedHost::Acquire(const char* name, std::int32_t version, const void** out) {
    const std::string n = name;
    *out = nullptr;
    if (failAcquire.count(n)) return kCsErrSuiteNotFound;
    const void* suite = nullptr;
    if (n == kCsStringSuiteName && version == kCsStringSuiteVersion) suite = &kStrings;
    else if (n == kCsSPSuitesSuiteName && version == kCsSPSuitesSuiteVersion) suite = &kSuites;
    else if (n == kCsHostSuiteName && version == kCsHostSuiteVersion) suite = &kHostSuite;
    else if (n == kCsHostTransportSuiteName && version == kCsHostTransportSuiteVersion) suite = &kTransportSuite;
    else if (n == kCsHostCommandSuiteName && version == kCsHostCommandSuiteVersion) suite = &kCommandSuite;
    if (!suite) return kCsErrSuiteNotFound;
    std::lock_guard<std::mutex> lock(mutex);
    ++held[n + " v" + std::to_string(version)];
    *out = suite;
    return kCsErrNone;
}

CsError ScriptedHost::Release(const char* name, std::int32_t version) {
    std::lock_guard<std::mutex> lock(mutex);
    --held[std::string(name) + " v" + std::to_string(version)];
    return kCsErrNone;
}

void ScriptedHost::Record(const std::string& call) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
        hook = during;
    }
    if (hook) hook(call);
}
void ScriptedHost::During(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex);
    during = std::move(hook);
}
std::vector<std::string> ScriptedHost::Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}
void ScriptedHost::ClearCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
}
int ScriptedHost::Held(const std::string& suite) {
    std::lock_guard<std::mutex> lock(mutex);
    return held[suite];
}
int ScriptedHost::LiveStrings() {
    std::lock_guard<std::mutex> lock(mutex);
    return liveStrings;
}

}  // namespace Veltrix::testing
