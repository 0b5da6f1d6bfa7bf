// The built control-surface plug-in against a host made of raw bytes: the SP
// basic, String, SP Suites, host, host transport and host command suites are
// byte buffers with functions at the slots the Control Surface SDK documents
// (sdk/sdk_layout_x64.h), strings are 16-byte records passed by pointer, and
// the suites the plug-in registers are called at their documented slots.
// None of our SDK structs is used.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dynamic_library.h"
#include "sdk/sdk_layout_x64.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "vx-host/ui_thread.h"

namespace {

namespace doc = vx_sdk_x64::cs;
using Veltrix::testing::Eventually;

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kFill = 0xAB;
constexpr std::size_t kCanary = 16;
constexpr std::int32_t kParm = 0x5061726D, kUnimplemented = 0x21494D50, kNotFound = 0x53214664, kTooSmall = 0x73627473;

Bytes Record(std::size_t size) { return Bytes(size + kCanary, kFill); }
template <typename T>
void Put(Bytes& b, std::size_t at, T value) {
    std::memcpy(b.data() + at, &value, sizeof value);
}
template <typename T>
T Read(const void* base, std::size_t at) {
    T value{};
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + at, sizeof value);
    return value;
}
template <typename Fn>
Fn Slot(const void* table, std::size_t at) {
    return reinterpret_cast<Fn>(Read<void*>(table, at));
}
template <typename Fn>
void PutFn(Bytes& table, std::size_t at, Fn fn) {
    Put(table, at, reinterpret_cast<void*>(fn));
}

// ---- the host, one per process ----
struct RawHost {
    Bytes basic = Record(doc::SPBasicSuite::kSize);
    Bytes strings = Record(doc::ADOBESDK_StringSuite1::kSize);
    Bytes suites = Record(doc::SPSuitesSuite::kSize);
    Bytes host = Record(doc::ADOBESDK_ControlSurfaceHostSuite2::kSize);
    Bytes transport = Record(doc::ADOBESDK_ControlSurfaceHostTransportSuite1::kSize);
    Bytes command = Record(doc::ADOBESDK_ControlSurfaceHostCommandSuite1::kSize);
    int list = 0;  // the suite list's address is the handle

    std::mutex m;
    std::map<std::string, int> held;            // "name vN" -> acquisitions not released
    std::map<std::string, const void*> added;   // "name vApi/Internal" -> procs
    int badListArguments = 0;
    int listsFreed = 0;
    std::set<std::u16string*> live;              // strings handed out
    int badDisposes = 0;
    std::vector<std::string> calls;
    std::uint8_t playState = 0;
};
RawHost* gHost = nullptr;
constexpr std::int64_t kTag = 0x5241575354524E47LL;  // second word of our string records

void Call(const std::string& what) {
    std::lock_guard<std::mutex> lock(gHost->m);
    gHost->calls.push_back(what);
}

// Strings: 16-byte records, the first word our text, the second a tag.
void Fill(void* record, std::u16string* text) {
    const std::int64_t words[2] = {static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(text)), kTag};
    std::memcpy(record, words, sizeof words);
    std::lock_guard<std::mutex> lock(gHost->m);
    gHost->live.insert(text);
}
std::u16string* TextOf(const void* record) {
    if (!record) return nullptr;
    if (Read<std::int64_t>(record, 8) != kTag) return nullptr;
    auto* text = reinterpret_cast<std::u16string*>(static_cast<std::intptr_t>(Read<std::int64_t>(record, 0)));
    std::lock_guard<std::mutex> lock(gHost->m);
    return gHost->live.count(text) ? text : nullptr;
}
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }
std::string TextOfRecord(const void* record) {
    std::u16string* t = TextOf(record);
    return t ? Narrow(*t) : std::string("<not a live host string>");
}

std::int32_t Acquire(const char* name, std::int32_t version, const void** out) {
    const std::string n = name;
    const void* t = nullptr;
    if (n == "ADOBESDK StringSuite" && version == 1) t = gHost->strings.data();
    if (n == "SP Suites Suite" && version == 2) t = gHost->suites.data();
    if (n == "ADOBESDK ControlSurfaceHost Suite" && version == 2) t = gHost->host.data();
    if (n == "ADOBESDK ControlSurfaceHost Transport Suite" && version == 1) t = gHost->transport.data();
    if (n == "ADOBESDK ControlSurfaceHost Command Suite" && version == 1) t = gHost->command.data();
    *out = t;
    if (!t) return kNotFound;
    std::lock_guard<std::mutex> lock(gHost->m);
    ++gHost->held[n + " v" + std::to_string(version)];
    return 0;
}
std::int32_t Release(const char* name, std::int32_t version) {
    std::lock_guard<std::mutex> lock(gHost->m);
    --gHost->held[std::string(name) + " v" + std::to_string(version)];
    return 0;
}

std::int32_t StrDispose(const void* record) {
    if (!record) return kParm;
    if (Read<std::int64_t>(record, 0) == 0) return 0;  // the empty string
    std::u16string* t = TextOf(record);
    std::lock_guard<std::mutex> lock(gHost->m);
    if (!t) {
        ++gHost->badDisposes;
        return kParm;
    }
    gHost->live.erase(t);
    delete t;
    return 0;
}
std::int32_t StrFromUtf8(const std::uint8_t* text, void* out) {
    Fill(out, new std::u16string(text, text + std::strlen(reinterpret_cast<const char*>(text))));
    return 0;
}
std::int32_t StrToUtf8(const void* record, std::uint8_t* buffer, std::uint32_t* ioLength) {
    std::u16string* t = TextOf(record);
    if (!t || !buffer || !ioLength) return kParm;
    const std::string s = Narrow(*t);
    if (s.size() + 1 > *ioLength) {
        *ioLength = static_cast<std::uint32_t>(s.size() + 1);
        return kTooSmall;
    }
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    *ioLength = static_cast<std::uint32_t>(s.size() + 1);
    return 0;
}
std::int32_t StrFromUtf16(const std::uint16_t* text, void* out) {
    auto* s = new std::u16string;
    for (const std::uint16_t* p = text; *p; ++p) s->push_back(static_cast<char16_t>(*p));
    Fill(out, s);
    return 0;
}
std::int32_t StrToUtf16(const void*, std::uint16_t*, std::uint32_t*) { return kUnimplemented; }

std::int32_t ListAllocate(void* pool, void* plugins, void** out) {
    if (pool || plugins) ++gHost->badListArguments;
    *out = &gHost->list;
    return 0;
}
std::int32_t ListFree(void* list) {
    if (list == &gHost->list) ++gHost->listsFreed;
    return 0;
}
std::int32_t ListAdd(void* list, void* plugin, const char* name, std::int32_t api, std::int32_t internal,
                     const void* procs, void** out) {
    if (list != &gHost->list || plugin) ++gHost->badListArguments;
    std::lock_guard<std::mutex> lock(gHost->m);
    gHost->added[std::string(name) + " v" + std::to_string(api) + "/" + std::to_string(internal)] = procs;
    if (out) *out = nullptr;
    return 0;
}

// Host references: the host suite hands out its own address.
std::int32_t HostCommandRef(void* host, void** out) {
    *out = host;
    return 0;
}
std::int32_t HostTransportRef(void* host, void** out) {
    *out = host;
    return 0;
}
template <int N>
std::int32_t TransportSlot(void* ref) {
    std::string what(1, 't');
    what.append(std::to_string(N));
    if (ref != gHost) what.append(" wrong ref");
    Call(what);
    return 0;
}
template <int... N>
void FillTransportSlots(Bytes& table, std::integer_sequence<int, N...>) {
    (PutFn(table, static_cast<std::size_t>(N) * 8, &TransportSlot<N>), ...);
}
std::int32_t Jog(void* ref, float moved, float perRevolution, std::uint8_t shuttle) {
    Call("jog " + std::to_string(static_cast<int>(moved)) + "/" + std::to_string(static_cast<int>(perRevolution)) +
         " shuttle " + std::to_string(shuttle) + (ref == gHost ? "" : " wrong ref"));
    return 0;
}
std::int32_t PlayState(void*, std::uint8_t* out) {
    Call("playstate");
    *out = gHost->playState;  // one byte, as ADOBESDK_Boolean
    return 0;
}
std::int32_t CommandCount(void*, std::uint32_t* out) {
    *out = 2;
    return 0;
}
std::int32_t GetCommand(void*, std::uint32_t index, void* ctx, void* ctxName, void* id, void* name) {
    StrFromUtf8(reinterpret_cast<const std::uint8_t*>("program.monitor"), ctx);
    StrFromUtf8(reinterpret_cast<const std::uint8_t*>("Program Monitor"), ctxName);
    StrFromUtf8(reinterpret_cast<const std::uint8_t*>(index ? "cmd.goto.in" : "cmd.goto.out"), id);
    StrFromUtf8(reinterpret_cast<const std::uint8_t*>(index ? "Go to In" : "Go to Out"), name);
    return 0;
}
std::int32_t Execute(void* ref, const void* ctx, const void* id) {
    Call("cmd " + (ctx ? TextOfRecord(ctx) : std::string("-")) + "/" + TextOfRecord(id) +
         (ref == gHost ? "" : " wrong ref"));
    return 0;
}

using EntryFn = std::int32_t (*)(void* basic, std::uint32_t major, std::uint32_t minor, std::uint32_t host,
                                 void* funcs);
using VoidFn = std::int32_t (*)();
using CreateFn = std::int32_t (*)(void** outPlugin);
using PluginFn = std::int32_t (*)(void* plugin);
using ListFn = std::int32_t (*)(void** outList);
using ConnectFn = std::int32_t (*)(void* plugin, void* host, void** outSurface);
using PluginStringFn = std::int32_t (*)(void* plugin, void* string);
using PluginConstStringFn = std::int32_t (*)(void* plugin, const void* string);
using PluginBoolFn = std::int32_t (*)(void* plugin, std::uint8_t* out);
using RunDialogFn = std::int32_t (*)(void* plugin, void* parent, std::uint8_t* out);
using RefStringFn = std::int32_t (*)(void* ref, void* string);
using RefU32Fn = std::int32_t (*)(void* ref, std::uint32_t* out);
using RefRefFn = std::int32_t (*)(void* ref, void** out);
using RefFn = std::int32_t (*)(void* ref);
using RefBoolFn = std::int32_t (*)(void* ref, std::uint8_t value);
using TimeDisplayFn = std::int32_t (*)(void* ref, std::uint32_t mode, const void* text);
using ButtonAtFn = std::int32_t (*)(void* ref, std::uint32_t index, void* out);
using ButtonNameFn = std::int32_t (*)(void* ref, const void* id, void* out);
using SetButtonFn = std::int32_t (*)(void* ref, const void* id, const void* ctx, const void* cmd);
using GetButtonFn = std::int32_t (*)(void* ref, const void* id, void* ctx, void* cmd);
using DispatchFn = std::int32_t (*)(std::int32_t op);
using BridgeGetFn = const void* (*)();

class CtrlConformance : public ::testing::Test {
protected:
    void SetUp() override {
        gHost = &host;
        PutFn(host.basic, doc::SPBasicSuite::AcquireSuite, &Acquire);
        PutFn(host.basic, doc::SPBasicSuite::ReleaseSuite, &Release);
        namespace str = doc::ADOBESDK_StringSuite1;
        PutFn(host.strings, str::DisposeString, &StrDispose);
        PutFn(host.strings, str::AllocateFromUTF8, &StrFromUtf8);
        PutFn(host.strings, str::CopyToUTF8String, &StrToUtf8);
        PutFn(host.strings, str::AllocateFromUTF16, &StrFromUtf16);
        PutFn(host.strings, str::CopyToUTF16String, &StrToUtf16);
        PutFn(host.suites, doc::SPSuitesSuite::AllocateSuiteList, &ListAllocate);
        PutFn(host.suites, doc::SPSuitesSuite::FreeSuiteList, &ListFree);
        PutFn(host.suites, doc::SPSuitesSuite::AddSuite, &ListAdd);
        PutFn(host.host, doc::ADOBESDK_ControlSurfaceHostSuite2::GetCommandRef, &HostCommandRef);
        PutFn(host.host, doc::ADOBESDK_ControlSurfaceHostSuite2::GetTransportRef, &HostTransportRef);
        namespace tr = doc::ADOBESDK_ControlSurfaceHostTransportSuite1;
        FillTransportSlots(host.transport, std::make_integer_sequence<int, 15>{});
        PutFn(host.transport, tr::JogDial, &Jog);
        PutFn(host.transport, tr::GetPlayState, &PlayState);
        namespace cmd = doc::ADOBESDK_ControlSurfaceHostCommandSuite1;
        PutFn(host.command, cmd::GetCommandCount, &CommandCount);
        PutFn(host.command, cmd::GetCommand, &GetCommand);
        PutFn(host.command, cmd::ExecuteCommand, &Execute);

        const auto copy = Veltrix::testing::MakeTempDir("ctrl-raw") / ("VeltrixCtrl" VX_CTRL_SUFFIX);
        std::filesystem::copy_file(VX_CTRL_PATH, copy);
        module = std::make_unique<Veltrix::testing::DynamicLibrary>(copy);
        ASSERT_TRUE(module->loaded()) << module->error();
        entry = reinterpret_cast<EntryFn>(module->Symbol("EntryPoint"));
        bridgeGet = reinterpret_cast<BridgeGetFn>(module->Symbol("vx_ctrl_bridge_get"));
        ASSERT_TRUE(entry && bridgeGet);
    }
    void TearDown() override { gHost = nullptr; }

    std::vector<std::string> TakeCalls() {
        std::lock_guard<std::mutex> lock(host.m);
        return std::exchange(host.calls, {});
    }
    const void* Added(const std::string& key) {
        std::lock_guard<std::mutex> lock(host.m);
        auto it = host.added.find(key);
        return it == host.added.end() ? nullptr : it->second;
    }
    DispatchFn Dispatch() {
        const void* bridge = bridgeGet();
        return reinterpret_cast<DispatchFn>(Read<void*>(bridge, 0));
    }

    Veltrix::testing::ScopedTestDirs dirs;
    RawHost host;
    std::unique_ptr<Veltrix::testing::DynamicLibrary> module;
    EntryFn entry = nullptr;
    BridgeGetFn bridgeGet = nullptr;
    Veltrix::host::UiThread ui;
};

TEST_F(CtrlConformance, EntrySuitesAndBridgeAgainstTheDocumentedTables) {
    // EntryPoint copies out the five entry functions and nothing more.
    namespace ef = doc::ADOBESDK_ControlSurfacePluginFuncs;
    Bytes funcs = Record(ef::kSize);
    ASSERT_EQ(entry(host.basic.data(), 1, 0, 1, funcs.data()), 0);
    for (std::size_t at = 0; at < ef::kSize; at += 8) EXPECT_NE(Read<void*>(funcs.data(), at), nullptr) << at;
    EXPECT_TRUE(std::all_of(funcs.begin() + ef::kSize, funcs.end(), [](std::uint8_t b) { return b == kFill; }));

    // Start-up: the String and SP Suites suites, one suite list, and the four suites added to it.
    ASSERT_EQ(Slot<VoidFn>(funcs.data(), ef::Startup)(), 0);
    EXPECT_EQ(host.held["ADOBESDK StringSuite v1"], 1);
    EXPECT_EQ(host.held["SP Suites Suite v2"], 1);
    EXPECT_EQ(host.badListArguments, 0);  // null string pool, plug-in list and plug-in; the list handed out
    const void* plugin = Added("ADOBESDK ControlSurfacePlugin Suite v1/1");
    const void* surface1 = Added("ADOBESDK ControlSurface Suite v1/1");
    const void* surface2 = Added("ADOBESDK ControlSurface Suite v2/2");
    const void* transport = Added("ADOBESDK ControlSurface Transport Suite v1/1");
    const void* command = Added("ADOBESDK ControlSurface Command Suite v1/1");
    ASSERT_TRUE(plugin && surface1 && surface2 && transport && command);
    EXPECT_EQ(surface1, surface2);
    void* list = nullptr;
    EXPECT_EQ(Slot<ListFn>(funcs.data(), ef::GetSuiteList)(&list), 0);
    EXPECT_EQ(list, &host.list);

    // The plug-in suite: ten slots; its strings are records the host's String suite filled.
    namespace ps = doc::ADOBESDK_ControlSurfacePluginSuite1;
    void* inst = nullptr;
    ASSERT_EQ(Slot<CreateFn>(funcs.data(), ef::CreatePluginInstance)(&inst), 0);
    ASSERT_NE(inst, nullptr);
    Bytes id = Record(16), name = Record(16);
    ASSERT_EQ(Slot<PluginStringFn>(plugin, ps::GetPluginID)(inst, id.data()), 0);
    ASSERT_EQ(Slot<PluginStringFn>(plugin, ps::GetPluginDisplayString)(inst, name.data()), 0);
    EXPECT_EQ(TextOfRecord(id.data()), "com.veltrix.controlsurface");
    EXPECT_EQ(TextOfRecord(name.data()), "Veltrix");
    EXPECT_TRUE(std::all_of(id.begin() + 16, id.end(), [](std::uint8_t b) { return b == kFill; }));
    StrDispose(id.data());
    StrDispose(name.data());
    Bytes settings = Record(16);
    EXPECT_EQ(Slot<PluginStringFn>(plugin, ps::GetPluginSettings)(inst, settings.data()), kUnimplemented);
    EXPECT_EQ(Slot<PluginConstStringFn>(plugin, ps::SetPluginSettings)(inst, settings.data()), kUnimplemented);
    Bytes flag(4, kFill);
    EXPECT_EQ(Slot<PluginBoolFn>(plugin, ps::HasSettingsDialog)(inst, flag.data()), 0);
    EXPECT_EQ(flag, (Bytes{0, kFill, kFill, kFill}));  // one byte written: ADOBESDK_Boolean
    flag.assign(4, kFill);
    EXPECT_EQ(Slot<RunDialogFn>(plugin, ps::RunSettingsDialog)(inst, nullptr, flag.data()), kUnimplemented);
    EXPECT_EQ(flag, (Bytes{0, kFill, kFill, kFill}));
    EXPECT_EQ(Slot<PluginFn>(plugin, ps::Suspend)(inst), 0);
    EXPECT_EQ(Slot<PluginFn>(plugin, ps::Resume)(inst), 0);

    // Connect (on a thread with a message loop): the three host suites, both references, the command list.
    void* surface = nullptr;
    std::int32_t connected = -1;
    ui.Run([&] { connected = Slot<ConnectFn>(plugin, ps::Connect)(inst, &host, &surface); });
    ASSERT_EQ(connected, 0);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(host.held["ADOBESDK ControlSurfaceHost Suite v2"], 1);
    EXPECT_EQ(host.held["ADOBESDK ControlSurfaceHost Transport Suite v1"], 1);
    EXPECT_EQ(host.held["ADOBESDK ControlSurfaceHost Command Suite v1"], 1);
    {
        std::lock_guard<std::mutex> lock(host.m);
        EXPECT_TRUE(host.live.empty());  // the four strings of each listed command were disposed
    }

    // The surface suite: eight slots.
    namespace ss = doc::ADOBESDK_ControlSurfaceSuite2;
    Bytes config = Record(16);
    EXPECT_EQ(Slot<RefStringFn>(surface2, ss::GetConfigIdentifier)(surface, config.data()), kUnimplemented);
    std::uint32_t flags = 7;
    EXPECT_EQ(Slot<RefU32Fn>(surface2, ss::GetControlSurfaceFlags)(surface, &flags), 0);
    EXPECT_EQ(flags, 0u);
    void* surfaceTransport = nullptr;
    void* surfaceCommand = nullptr;
    EXPECT_EQ(Slot<RefRefFn>(surface2, ss::GetTransportRef)(surface, &surfaceTransport), 0);
    EXPECT_EQ(Slot<RefRefFn>(surface2, ss::GetCommandRef)(surface, &surfaceCommand), 0);
    EXPECT_NE(surfaceTransport, nullptr);
    EXPECT_NE(surfaceCommand, nullptr);
    for (std::size_t absent : {ss::GetMixerRef, ss::GetMarkerRef, ss::GetLumetriRef}) {
        void* ref = &ref;
        EXPECT_EQ(Slot<RefRefFn>(surface2, absent)(surface, &ref), 0) << absent;
        EXPECT_EQ(ref, nullptr) << absent;
    }
    EXPECT_EQ(Slot<RefFn>(surface2, ss::Update)(surface), kUnimplemented);

    // The surface transport suite: the play state is taken; the rest are not provided.
    namespace st = doc::ADOBESDK_ControlSurfaceTransportSuite1;
    EXPECT_EQ(Slot<RefBoolFn>(transport, st::SetPlayState)(surfaceTransport, 1), 0);
    for (std::size_t at = 0; at < st::SetTimeDisplay; at += 8) {
        if (at != st::SetPlayState) {
            EXPECT_EQ(Slot<RefBoolFn>(transport, at)(surfaceTransport, 1), kUnimplemented) << at;
        }
    }
    EXPECT_EQ(Slot<TimeDisplayFn>(transport, st::SetTimeDisplay)(surfaceTransport, 2, config.data()), kUnimplemented);

    // The surface command suite: five slots, none provided.
    namespace sc = doc::ADOBESDK_ControlSurfaceCommandSuite1;
    std::uint32_t buttons = 0;
    Bytes a = Record(16), b = Record(16);
    EXPECT_EQ(Slot<RefU32Fn>(command, sc::GetUserButtonCount)(surfaceCommand, &buttons), kUnimplemented);
    EXPECT_EQ(Slot<ButtonAtFn>(command, 8)(surfaceCommand, 0, a.data()), kUnimplemented);
    EXPECT_EQ(Slot<ButtonNameFn>(command, 16)(surfaceCommand, a.data(), b.data()), kUnimplemented);
    EXPECT_EQ(Slot<SetButtonFn>(command, 24)(surfaceCommand, a.data(), a.data(), b.data()), kUnimplemented);
    EXPECT_EQ(Slot<GetButtonFn>(command, sc::GetUserButtonCommand)(surfaceCommand, a.data(), a.data(), b.data()),
              kUnimplemented);

    // The bridge record: dispatch at offset 0, version 1 at offset 8.
    const void* bridge = bridgeGet();
    EXPECT_EQ(Read<std::uint32_t>(bridge, 8), 1u);
    DispatchFn dispatch = Dispatch();
    ASSERT_NE(dispatch, nullptr);
    TakeCalls();
    for (std::int32_t op = 1; op <= 10; ++op) EXPECT_EQ(dispatch(op), 0) << op;
    // Commands by id with no context; J, K, L are the transport's slots 12, 13 and 14; the jog wheel is 15.
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{
                               "cmd -/cmd.transport.step.forward", "cmd -/cmd.transport.step.back",
                               "cmd -/cmd.transport.step.forward.five", "cmd -/cmd.transport.step.back.five",
                               "cmd -/cmd.goto.in", "cmd -/cmd.goto.out", "t13", "t12", "t13", "t13", "t14",
                               "jog 1/24 shuttle 0", "jog -1/24 shuttle 0"}));
    // Play/pause on the UI thread: the play state (slot 19) first; playing, the monitor's toggle.
    host.playState = 1;
    EXPECT_EQ(dispatch(0), 0);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(host.m);
        return host.calls.size() >= 2;
    }));
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"playstate", "cmd program.monitor/cmd.monitor.playstoptoggle"}));

    // Disconnect, delete, shut down: the bridge goes, every suite and string is given back, the list freed.
    std::int32_t disconnected = -1;
    ui.Run([&] { disconnected = Slot<PluginFn>(plugin, ps::Disconnect)(inst); });
    EXPECT_EQ(disconnected, 0);
    EXPECT_EQ(Dispatch(), nullptr);
    std::int32_t deleted = -1;
    ui.Run([&] { deleted = Slot<PluginFn>(funcs.data(), ef::DeletePluginInstance)(inst); });
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(Slot<VoidFn>(funcs.data(), ef::Shutdown)(), 0);
    EXPECT_EQ(host.listsFreed, 1);
    std::lock_guard<std::mutex> lock(host.m);
    for (const auto& [suite, count] : host.held) EXPECT_EQ(count, 0) << suite;
    EXPECT_TRUE(host.live.empty());
    EXPECT_EQ(host.badDisposes, 0);
}

}  // namespace
