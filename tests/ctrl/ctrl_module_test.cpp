// The control-surface module as the host loads it: a fresh copy of the built
// module per test (its process-wide state starts empty), driven by a scripted host.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "ctrl/bridge.h"
#include "dynamic_library.h"
#include "scripted_host.h"
#include "support/log.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "vx-host/ui_thread.h"

namespace Veltrix {
namespace {

using testing::Eventually;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool Has(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class CtrlModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> copies{0};
        const auto dir = testing::MakeTempDir("ctrl-module");
        const auto copy = dir / ("VeltrixCtrl-" + std::to_string(copies++) + VX_CTRL_SUFFIX);
        std::filesystem::copy_file(VX_CTRL_PATH, copy);
        module = std::make_unique<testing::DynamicLibrary>(copy);
        ASSERT_TRUE(module->loaded()) << module->error();
        entry = reinterpret_cast<CsEntryPointFunc>(module->Symbol("EntryPoint"));
        bridgeGet = reinterpret_cast<VXCtrlBridgeGetFn>(module->Symbol("vx_ctrl_bridge_get"));
        ASSERT_TRUE(entry && bridgeGet);
    }
    // EntryPoint and start-up; the plug-in suite the module registered.
    const CsPluginSuite* Start() {
        EXPECT_EQ(entry(host.basic(), 1, 0, 7, &funcs), kCsErrNone);
        EXPECT_EQ(funcs.Startup(), kCsErrNone);
        auto it = host.added.find(std::string(kCsPluginSuiteName) + " v1");
        return it == host.added.end() ? nullptr : static_cast<const CsPluginSuite*>(it->second);
    }
    std::int32_t Dispatch(std::int32_t op) {
        const VXCtrlBridge* b = bridgeGet();
        auto fn = std::atomic_ref<VXCtrlDispatchFn>(const_cast<VXCtrlBridge*>(b)->dispatch).load();
        return fn ? fn(op) : -100;
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    // Connect and disconnect run on a thread with a message loop, as in the host.
    template <typename F>
    CsError OnUi(F&& f) {
        CsError e = kCsErrNone;
        ui.Run([&] { e = f(); });
        return e;
    }

    testing::ScopedTestDirs dirs;
    testing::ScriptedHost host;
    std::unique_ptr<testing::DynamicLibrary> module;
    CsEntryPointFunc entry = nullptr;
    VXCtrlBridgeGetFn bridgeGet = nullptr;
    CsPluginEntryFuncs funcs{};
    host::UiThread ui;
};

TEST_F(CtrlModuleTest, BridgeAndEntryBeforeAnySurface) {
    const VXCtrlBridge* b = bridgeGet();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(bridgeGet(), b);  // before start-up, the same address every time
    EXPECT_EQ(b->version, 1u);
    EXPECT_EQ(b->dispatch, nullptr);

    CsPluginEntryFuncs none{};
    EXPECT_EQ(entry(nullptr, 1, 0, 7, &none), kCsErrBadParameter);
    EXPECT_EQ(none.Startup, nullptr);
    ASSERT_EQ(entry(host.basic(), 1, 0, 7, &funcs), kCsErrNone);
    // The host forgets its basic suite: start-up refuses.
    EXPECT_EQ(entry(nullptr, 1, 0, 7, nullptr), kCsErrBadParameter);
    EXPECT_EQ(funcs.Startup(), kCsErrBadParameter);
    EXPECT_EQ(funcs.CreatePluginInstance(nullptr), kCsErrBadParameter);
    EXPECT_EQ(funcs.DeletePluginInstance(nullptr), kCsErrBadParameter);
    CsSuiteListRef list = reinterpret_cast<CsSuiteListRef>(1);
    EXPECT_EQ(funcs.GetSuiteList(&list), kCsErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(bridgeGet(), b);
    const std::string log = LogText();
    EXPECT_NE(log.find("ctrl:INFO] ctrl: EntryPoint v=1.0 host=7 sp="), std::string::npos) << log;
    EXPECT_NE(log.find("ctrl:ERROR] ctrl: Startup: sSPBasicSuite not set"), std::string::npos) << log;
}

TEST_F(CtrlModuleTest, StartupFailuresReportTheFirstMissingSuite) {
    host.failAcquire = {kCsSPSuitesSuiteName};
    ASSERT_EQ(entry(host.basic(), 1, 0, 7, &funcs), kCsErrNone);
    EXPECT_EQ(funcs.Startup(), kCsErrSuiteNotFound);
    EXPECT_NE(LogText().find("ctrl: Startup: AcquireSuite(SPSuites) err="), std::string::npos);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
    EXPECT_EQ(host.Held(std::string(kCsStringSuiteName) + " v1"), 0);
}

TEST_F(CtrlModuleTest, ConnectedSurfaceDrivesTheHostThroughTheBridge) {
    host.commandCount = 5000;
    const CsPluginSuite* ps = Start();
    ASSERT_NE(ps, nullptr);
    for (const char* s : {"ADOBESDK ControlSurface Suite v1", "ADOBESDK ControlSurface Suite v2",
                          "ADOBESDK ControlSurface Transport Suite v1", "ADOBESDK ControlSurface Command Suite v1"}) {
        EXPECT_TRUE(host.added.count(s)) << s;
    }
    CsSuiteListRef list = nullptr;
    EXPECT_EQ(funcs.GetSuiteList(&list), kCsErrNone);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(host.badListArguments, 0);  // null string pool, plug-in list and plug-in; internal version = version

    CsPluginRef inst = nullptr;
    ASSERT_EQ(funcs.CreatePluginInstance(&inst), kCsErrNone);
    EXPECT_EQ(Dispatch(kStop), -100);  // not connected: no dispatch published
    CsSurfaceRef surface = nullptr;
    ASSERT_EQ(OnUi([&] { return ps->Connect(inst, host.hostRef(1), &surface); }), kCsErrNone);
    ASSERT_NE(surface, nullptr);

    // The surface hands out its transport part, which takes the play state.
    auto* surfaceSuite = static_cast<const CsSurfaceSuite*>(host.added["ADOBESDK ControlSurface Suite v2"]);
    auto* transportSuite = static_cast<const CsSurfaceTransportSuite*>(host.added["ADOBESDK ControlSurface Transport Suite v1"]);
    CsSurfaceTransportRef st = nullptr;
    EXPECT_EQ(surfaceSuite->GetTransportRef(surface, &st), kCsErrNone);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(transportSuite->SetPlayState(st, 1), kCsErrNone);
    EXPECT_EQ(transportSuite->SetTimeDisplay(st, 0, nullptr), kCsErrNotImplemented);
    EXPECT_EQ(surfaceSuite->GetTransportRef(surface, nullptr), kCsErrBadParameter);
    CsSurfaceMixerRef mixer = reinterpret_cast<CsSurfaceMixerRef>(&mixer);
    EXPECT_EQ(surfaceSuite->GetMixerRef(surface, &mixer), kCsErrNone);
    EXPECT_EQ(mixer, nullptr);
    std::uint32_t flags = 7;
    EXPECT_EQ(surfaceSuite->GetControlSurfaceFlags(surface, &flags), kCsErrNone);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(surfaceSuite->Update(surface), kCsErrNotImplemented);
    CsSurfaceCommandRef sc = nullptr;
    EXPECT_EQ(surfaceSuite->GetCommandRef(surface, &sc), kCsErrNone);
    EXPECT_NE(sc, nullptr);
    auto* commandSuite = static_cast<const CsSurfaceCommandSuite*>(host.added["ADOBESDK ControlSurface Command Suite v1"]);
    std::uint32_t buttons = 0;
    EXPECT_EQ(commandSuite->GetUserButtonCount(sc, &buttons), kCsErrNotImplemented);

    CsString name{};
    ASSERT_EQ(ps->GetPluginDisplayString(inst, &name), kCsErrNone);
    EXPECT_EQ(testing::HostStringText(name), "Veltrix");
    CsString id{};
    ASSERT_EQ(ps->GetPluginID(inst, &id), kCsErrNone);
    EXPECT_EQ(testing::HostStringText(id), "com.veltrix.controlsurface");
    const void* found = nullptr;
    ASSERT_EQ(host.basic()->AcquireSuite(kCsStringSuiteName, 1, &found), kCsErrNone);
    auto* strings = static_cast<const CsStringSuite*>(found);
    strings->DisposeString(&name);
    strings->DisposeString(&id);
    host.basic()->ReleaseSuite(kCsStringSuiteName, 1);
    CsBool has = 1;
    EXPECT_EQ(ps->HasSettingsDialog(inst, &has), kCsErrNone);
    EXPECT_EQ(has, 0);
    EXPECT_EQ(ps->GetPluginSettings(inst, nullptr), kCsErrNotImplemented);

    host.ClearCalls();
    for (int op = kStepForward; op <= kNudge; ++op) EXPECT_EQ(Dispatch(op), 0) << op;
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{
                                "cmd -/cmd.transport.step.forward@1", "cmd -/cmd.transport.step.back@1",
                                "cmd -/cmd.transport.step.forward.five@1", "cmd -/cmd.transport.step.back.five@1",
                                "cmd -/cmd.goto.in@1", "cmd -/cmd.goto.out@1", "K@1", "J@1", "K@1", "K@1", "L@1",
                                "jog +1 of 24 shuttle 0@1", "jog -1 of 24 shuttle 0@1"}));
    host.ClearCalls();
    EXPECT_EQ(Dispatch(11), -1);
    EXPECT_EQ(Dispatch(-1), -1);
    EXPECT_TRUE(host.Calls().empty());
    host.transportResult = kCsErrNotImplemented;
    EXPECT_EQ(Dispatch(kStop), -2);
    host.transportResult = kCsErrNone;

    // Play/pause moves to the UI thread: paused host without a window plays to the out point...
    EXPECT_EQ(Dispatch(kPlayPause), 0);
    ASSERT_TRUE(Eventually([&] { return host.Calls().size() >= 3; }));
    EXPECT_EQ(host.Calls().back(), "cmd -/cmd.transport.play.ctitoout@1");
    // ...a playing one is paused through the monitor's toggle.
    host.ClearCalls();
    host.playState = 1;
    EXPECT_EQ(Dispatch(kPlayPause), 0);
    ASSERT_TRUE(Eventually([&] { return host.Calls().size() >= 2; }));
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"playstate@1", "cmd program.monitor/cmd.monitor.playstoptoggle@1"}));

    // Disconnect: the published dispatch goes, and a stale one finds nothing to drive.
    const VXCtrlDispatchFn stale = bridgeGet()->dispatch;
    ASSERT_EQ(OnUi([&] { return ps->Disconnect(inst); }), kCsErrNone);
    EXPECT_EQ(bridgeGet()->dispatch, nullptr);
    EXPECT_EQ(stale(kStop), -1);
    EXPECT_EQ(stale(kPlayPause), -1);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(inst); }), kCsErrNone);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
    for (const auto& [suite, count] : host.held) EXPECT_EQ(count, 0) << suite;
    EXPECT_EQ(host.LiveStrings(), 0);
    EXPECT_EQ(host.badDisposes, 0);
    EXPECT_EQ(host.listsLive, 0);

    const std::string log = LogText();
    EXPECT_NE(log.find("ctrl: command count = 5000"), std::string::npos);
    EXPECT_EQ(Count(log, "ctrl: cmd["), 4095u);  // 4096 listed, one of them failed
    EXPECT_NE(log.find("ctrl:ERROR] ctrl: GetCommand[1] err="), std::string::npos);
    EXPECT_NE(log.find("ctrl: cmd[4095] ctx=program.monitor id=cmd.listed.4095." + std::string(150, 'x') +
                       " name=Command 4095"),
              std::string::npos);
    EXPECT_EQ(log.find("ctrl: cmd[4096]"), std::string::npos);
    for (const char* line :
         {"ctrl: acquired all host suites", "ctrl: bridge dispatch installed", "ctrl: Connect → surface=",
          "ctrl: SetPlayState(1)", "ctrl: bridge dispatch op=11", "ctrl: bridge dispatch op=-1",
          "ctrl:ERROR] ctrl: Dispatch(op=8) err=0x21494d50", "ctrl: play/pause[ui]: was=1 Pause err=0x00000000",
          "ctrl:ERROR] ctrl: play[ui]: Premiere HWND not found, ctitoout err=0x00000000",
          "ctrl: Disconnect: released host suites + bridge", "ctrl: UI-dispatcher torn down", "ctrl: Shutdown"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(CtrlModuleTest, SecondConnectKeepsTheSurfaceAndSwitchesTheHost) {
    const CsPluginSuite* ps = Start();
    ASSERT_NE(ps, nullptr);
    CsPluginRef inst = nullptr;
    ASSERT_EQ(funcs.CreatePluginInstance(&inst), kCsErrNone);
    CsSurfaceRef first = nullptr, second = nullptr;
    ASSERT_EQ(OnUi([&] { return ps->Connect(inst, host.hostRef(1), &first); }), kCsErrNone);
    ASSERT_EQ(OnUi([&] { return ps->Connect(inst, host.hostRef(2), &second); }), kCsErrNone);
    EXPECT_EQ(first, second);
    EXPECT_EQ(host.Held(std::string(kCsHostTransportSuiteName) + " v1"), 1);  // the first context let go
    host.ClearCalls();
    EXPECT_EQ(Dispatch(kStop), 0);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"K@2"}));
    EXPECT_NE(LogText().find("ctrl: UI-dispatcher already installed"), std::string::npos);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(inst); }), kCsErrNone);
    EXPECT_EQ(host.Held(std::string(kCsHostSuiteName) + " v2"), 0);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
}

TEST_F(CtrlModuleTest, AMissingHostSuiteLeavesTheSurfaceDormant) {
    host.failAcquire = {kCsHostCommandSuiteName};
    const CsPluginSuite* ps = Start();
    ASSERT_NE(ps, nullptr);
    CsPluginRef inst = nullptr;
    ASSERT_EQ(funcs.CreatePluginInstance(&inst), kCsErrNone);
    CsSurfaceRef surface = nullptr;
    EXPECT_EQ(OnUi([&] { return ps->Connect(nullptr, host.hostRef(1), &surface); }), kCsErrBadParameter);
    ASSERT_EQ(OnUi([&] { return ps->Connect(inst, host.hostRef(1), &surface); }), kCsErrNone);
    EXPECT_NE(surface, nullptr);
    EXPECT_EQ(bridgeGet()->dispatch, nullptr);
    // What was acquired before the failure is given back with the dropped context.
    EXPECT_EQ(host.Held(std::string(kCsHostSuiteName) + " v2"), 0);
    EXPECT_EQ(host.Held(std::string(kCsHostTransportSuiteName) + " v1"), 0);
    const std::string log = LogText();
    EXPECT_NE(log.find("ctrl:ERROR] ctrl: AcquireSuite(HostCommand) err=1394689636"), std::string::npos) << log;
    EXPECT_NE(log.find("ctrl:ERROR] ctrl: Connect: suite acquisition failed — staying dormant"), std::string::npos);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(inst); }), kCsErrNone);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
}

// A host that serves our calls on its UI thread: while one of them waits for
// that thread, the play/pause queued there and a disconnect made there go on.
TEST_F(CtrlModuleTest, AHostCallWaitingForTheUiThreadBlocksNothingOfOurs) {
    const std::string transport = std::string(kCsHostTransportSuiteName) + " v1";
    const CsPluginSuite* ps = Start();
    ASSERT_NE(ps, nullptr);
    CsPluginRef inst = nullptr;
    ASSERT_EQ(funcs.CreatePluginInstance(&inst), kCsErrNone);
    CsSurfaceRef surface = nullptr;
    ASSERT_EQ(OnUi([&] { return ps->Connect(inst, host.hostRef(1), &surface); }), kCsErrNone);

    // The step stays inside the host until the play/pause has read the play state.
    std::atomic<bool> inside{false}, sawPlayState{false};
    host.During([&](const std::string& call) {
        if (call != "cmd -/cmd.transport.step.forward@1") return;
        inside = true;
        sawPlayState = Eventually([&] { return Has(host.Calls(), "playstate@1"); });
    });
    std::thread step([&] { EXPECT_EQ(Dispatch(kStepForward), 0); });
    ASSERT_TRUE(Eventually([&] { return inside.load(); }));
    EXPECT_EQ(Dispatch(kPlayPause), 0);
    step.join();
    EXPECT_TRUE(sawPlayState);
    ASSERT_TRUE(Eventually([&] { return Has(host.Calls(), "cmd -/cmd.transport.play.ctitoout@1"); }));

    // The disconnect runs while a command waits for the UI thread it runs on:
    // it gives up waiting, and the command keeps the suites until it returns.
    inside = false;
    std::atomic<bool> disconnecting{false};
    int heldInside = -1;
    host.During([&](const std::string& call) {
        if (call != "cmd -/cmd.goto.in@1") return;
        inside = true;
        if (!Eventually([&] { return disconnecting.load(); })) return;
        ui.Run([] {});
        heldInside = host.Held(transport);
    });
    std::int32_t gotoIn = -100;
    std::thread go([&] { gotoIn = Dispatch(kGotoIn); });
    ASSERT_TRUE(Eventually([&] { return inside.load(); }));
    EXPECT_EQ(OnUi([&] {
                  disconnecting = true;
                  return ps->Disconnect(inst);
              }),
              kCsErrNone);
    go.join();
    host.During(nullptr);
    EXPECT_EQ(gotoIn, 0);
    EXPECT_EQ(heldInside, 1);
    EXPECT_EQ(host.Held(transport), 0);
    EXPECT_NE(LogText().find("ctrl:ERROR] ctrl: Disconnect: 1 host call(s) still running after 500 ms"),
              std::string::npos);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(inst); }), kCsErrNone);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
}

TEST_F(CtrlModuleTest, OnlyTheDrivingSurfaceTakesTheBridgeDown) {
    const CsPluginSuite* ps = Start();
    ASSERT_NE(ps, nullptr);
    CsPluginRef a = nullptr, never = nullptr, c = nullptr;
    ASSERT_EQ(funcs.CreatePluginInstance(&a), kCsErrNone);
    ASSERT_EQ(funcs.CreatePluginInstance(&never), kCsErrNone);
    ASSERT_EQ(funcs.CreatePluginInstance(&c), kCsErrNone);
    CsSurfaceRef surface = nullptr;
    ASSERT_EQ(OnUi([&] { return ps->Connect(a, host.hostRef(1), &surface); }), kCsErrNone);
    // An instance that never connected goes: the connected one still drives the host.
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(never); }), kCsErrNone);
    host.ClearCalls();
    EXPECT_EQ(Dispatch(kStop), 0);
    // A later surface drives; the earlier one's disconnect leaves it, and its dispatcher, alone.
    ASSERT_EQ(OnUi([&] { return ps->Connect(c, host.hostRef(3), &surface); }), kCsErrNone);
    EXPECT_EQ(OnUi([&] { return ps->Disconnect(a); }), kCsErrNone);
    EXPECT_EQ(Dispatch(kStop), 0);
    EXPECT_EQ(Dispatch(kPlayPause), 0);
    ASSERT_TRUE(Eventually([&] { return Has(host.Calls(), "cmd -/cmd.transport.play.ctitoout@3"); }));
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"K@1", "K@3", "playstate@3",
                                                      "cmd -/cmd.transport.play.ctitoout@3"}));
    EXPECT_EQ(Count(LogText(), "ctrl: UI-dispatcher torn down"), 0u);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(c); }), kCsErrNone);
    EXPECT_EQ(bridgeGet()->dispatch, nullptr);
    EXPECT_EQ(Count(LogText(), "ctrl: UI-dispatcher torn down"), 1u);
    EXPECT_EQ(OnUi([&] { return funcs.DeletePluginInstance(a); }), kCsErrNone);
    EXPECT_EQ(funcs.Shutdown(), kCsErrNone);
    for (const auto& [suite, count] : host.held) EXPECT_EQ(count, 0) << suite;
}

// Each plug-in links its own logger and both append to one file. Two copies of
// this module stand in for the pair: when both cross the size limit together,
// the file is rotated once, kept whole, and no line of either is lost.
TEST(SharedLogFile, TwoLoggersCrossingTheLimitTogetherRotateItOnce) {
    testing::ScopedTestDirs dirs;
    std::vector<std::unique_ptr<testing::DynamicLibrary>> modules;
    std::vector<CsEntryPointFunc> entries;
    for (int i = 0; i < 2; ++i) {
        const auto copy = testing::MakeTempDir("shared-log") / ("VeltrixCtrl-log" + std::to_string(i) + VX_CTRL_SUFFIX);
        std::filesystem::copy_file(VX_CTRL_PATH, copy);
        modules.push_back(std::make_unique<testing::DynamicLibrary>(copy));
        ASSERT_TRUE(modules.back()->loaded()) << modules.back()->error();
        entries.push_back(reinterpret_cast<CsEntryPointFunc>(modules.back()->Symbol("EntryPoint")));
        ASSERT_NE(entries.back(), nullptr);
    }
    const auto log = LogFilePath();
    auto rotated = log;
    rotated += ".1";
    constexpr int kRounds = 40, kLinesEach = 3;
    const std::string older(1 << 20, 'o');
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        std::filesystem::create_directories(log.parent_path());
        {
            // An older rotated file to replace, and a full log: the next line of either rotates it.
            std::ofstream out(rotated, std::ios::binary | std::ios::trunc);
            for (int i = 0; i < 2; ++i) out << older;
        }
        { std::ofstream(log, std::ios::binary | std::ios::trunc); }
        std::filesystem::resize_file(log, kLogRotateSize);
        // Both start together: spinning, so that neither is still waking when the other writes.
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> writers;
        for (std::uint32_t w = 0; w < 2; ++w) {
            writers.emplace_back([&, w] {
                ready.fetch_add(1);
                while (!go.load()) {
                }
                // Each EntryPoint writes one line; without a basic suite it changes nothing else.
                for (std::uint32_t i = 0; i < kLinesEach; ++i) entries[w](nullptr, i, 0, 100 + w, nullptr);
            });
        }
        while (ready.load() < 2) std::this_thread::yield();
        go = true;
        for (auto& t : writers) t.join();
        std::error_code ec;
        EXPECT_EQ(std::filesystem::file_size(rotated, ec), kLogRotateSize) << "round " << round;
        const std::string text = testing::ReadFileText(log);
        for (std::uint32_t w = 0; w < 2; ++w) {
            for (std::uint32_t i = 0; i < kLinesEach; ++i) {
                const std::string line = "ctrl: EntryPoint v=" + std::to_string(i) + ".0 host=" + std::to_string(100 + w);
                EXPECT_EQ(Count(text, line + " "), 1u) << line << " round " << round;
            }
        }
    }
}

}  // namespace
}  // namespace Veltrix
