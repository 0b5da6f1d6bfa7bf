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
const CsSPBasicSuite kBasic{&BasicAcquire, &BasicRelease};

CsError Dispose(CsString s) {
    {
        std::lock_guard<std::mutex> lock(gHost->mutex);
        --gHost->liveStrings;
    }
    delete reinterpret_cast<HostString*>(s);
    return kCsErrNone;
}
CsError CopyUtf16(CsString, std::uint16_t*, std::uint32_t*) { return kCsErrNotImplemented; }
CsError CopyUtf8(CsString s, char* buffer, std::uint32_t* ioLength) {
    if (!s || !buffer || !ioLength) return kCsErrBadParameter;
    const std::string text = HostStringText(s);
    if (text.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(text.size() + 1);
        return kCsErrStringBufferTooSmall;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return kCsErrNone;
}
CsError FromUtf16(const std::uint16_t* text, CsString* out) {
    if (!text || !out) return kCsErrBadParameter;
    auto* s = new HostString;
    for (const std::uint16_t* p = text; *p; ++p) s->text.push_back(static_cast<char16_t>(*p));
    *out = reinterpret_cast<CsString>(s);
    std::lock_guard<std::mutex> lock(gHost->mutex);
    ++gHost->liveStrings;
    return kCsErrNone;
}
const CsStringSuite kStrings{&Dispose, &CopyUtf16, &CopyUtf8, &FromUtf16};

CsString Make(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    CsString s = nullptr;
    FromUtf16(reinterpret_cast<const std::uint16_t*>(wide.c_str()), &s);
    return s;
}

CsError AllocList(std::int32_t, std::int32_t, CsSuiteList* out) {
    gHost->listsLive++;
    *out = reinterpret_cast<CsSuiteList>(&gHost->added);
    return kCsErrNone;
}
CsError FreeList(CsSuiteList) {
    gHost->listsLive--;
    return kCsErrNone;
}
CsError AddSuite(CsSuiteList, std::int32_t, const char* name, std::int32_t version, std::int32_t, const void* procs,
                 CsSuiteRef*) {
    gHost->added[std::string(name) + " v" + std::to_string(version)] = procs;
    return kCsErrNone;
}
const CsSPSuitesSuite kSuites{&AllocList, &FreeList, &AddSuite};

CsError GetCommandRef(CsHostRef host, CsCommandRef* out) {
    *out = reinterpret_cast<CsCommandRef>(host);
    return kCsErrNone;
}
CsError GetTransportRef(CsHostRef host, CsTransportRef* out) {
    *out = reinterpret_cast<CsTransportRef>(host);
    return kCsErrNone;
}
const CsHostSuite kHostSuite{&GetCommandRef, nullptr, nullptr, &GetTransportRef};

CsError Transport(CsTransportRef t, const std::string& what) {
    gHost->Record(what + At(t));
    return gHost->transportResult;
}
CsError Reverse(CsTransportRef t) { return Transport(t, "reverse"); }
CsError Stop(CsTransportRef t) { return Transport(t, "stop"); }
CsError Forward(CsTransportRef t) { return Transport(t, "forward"); }
CsError Jog(CsTransportRef t, float amount, float rate, std::uint32_t flags) {
    char text[64];
    std::snprintf(text, sizeof text, "jog %+d rate %d flags %u", static_cast<int>(amount), static_cast<int>(rate),
                  static_cast<unsigned>(flags));
    return Transport(t, text);
}
CsError PlayState(CsTransportRef t, std::uint8_t* out) {
    gHost->Record("playstate" + At(t));
    std::lock_guard<std::mutex> lock(gHost->mutex);
    *out = gHost->playState;
    return kCsErrNone;
}
CsHostTransportSuite MakeTransportSuite() {
    CsHostTransportSuite t{};
    t.ReversePlay = &Reverse;
    t.Stop = &Stop;
    t.ForwardPlay = &Forward;
    t.Jog = &Jog;
    t.GetPlayState = &PlayState;
    return t;
}
const CsHostTransportSuite kTransportSuite = MakeTransportSuite();

CsError CommandCount(CsCommandRef, std::uint32_t* out) {
    *out = gHost->commandCount;
    return kCsErrNone;
}
CsError GetCommand(CsCommandRef, std::uint32_t index, CsString* ctx, CsString* extra, CsString* id, CsString* name) {
    if (index == 1) return kCsErrBadParameter;
    *ctx = Make("program.monitor");
    *extra = Make("unused");
    // Longer than the first 128-byte try: the copy is asked again with the size it needs.
    std::string id150 = "cmd.listed.";
    id150.append(std::to_string(index)).append(".").append(150, 'x');
    *id = Make(id150);
    std::string label = "Command ";
    label.append(std::to_string(index));
    *name = Make(label);
    return kCsErrNone;
}
CsError Execute(CsCommandRef c, CsString ctx, CsString id) {
    std::string call = "cmd ";
    call.append(ctx ? HostStringText(ctx) : std::string("-")).append("/").append(HostStringText(id)).append(At(c));
    gHost->Record(call);
    return gHost->commandResult;
}
const CsHostCommandSuite kCommandSuite{nullptr, &CommandCount, &GetCommand, &Execute};

}  // namespace

std::string HostStringText(CsString s) {
    std::string out;
    for (char16_t c : reinterpret_cast<HostString*>(s)->text) out.push_back(static_cast<char>(c));
    return out;
}

ScriptedHost::ScriptedHost() { gHost = this; }
ScriptedHost::~ScriptedHost() { gHost = nullptr; }
const CsSPBasicSuite* ScriptedHost::basic() const { return &kBasic; }

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
