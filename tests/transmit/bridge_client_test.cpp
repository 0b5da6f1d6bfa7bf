#include "transmit/bridge_client.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "dynamic_library.h"
#include "support/log.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using testing::ManualClock;

// Records every export lookup and answers from a scripted table.
class FakeLookup final : public ModuleLookup {
public:
    void* FindLoadedExport(const std::u16string& module, const char* name) override {
        asked.push_back(module);
        auto it = exports.find(module);
        return it != exports.end() && std::string(name) == kVXCtrlBridgeExport ? it->second : nullptr;
    }
    std::map<std::u16string, void*> exports;
    std::vector<std::u16string> asked;
};

// Records every batch of key events, with the clock's time of the call.
class RecordingKeys final : public KeySender {
public:
    explicit RecordingKeys(Clock& clock) : clock_(clock) {}
    KeySendResult Send(const KeyEvent* events, unsigned count) override {
        batches.emplace_back(events, events + count);
        times.push_back(clock_.Now());
        return KeySendResult{keyboard, shortBy > count ? 0 : count - shortBy, 5};
    }
    std::vector<std::vector<KeyEvent>> batches;
    std::vector<Clock::time_point> times;
    bool keyboard = true;
    unsigned shortBy = 0;

private:
    Clock& clock_;
};

// A bridge record the test scripts through these globals.
VXCtrlBridge gBridge{};
int gDispatchResult = 0;
std::vector<int> gDispatched;
std::int32_t Dispatch(std::int32_t op) {
    gDispatched.push_back(op);
    return gDispatchResult;
}
const VXCtrlBridge* GetBridge() { return &gBridge; }
const VXCtrlBridge* GetNull() { return nullptr; }

std::vector<std::pair<std::uint16_t, bool>> Flatten(const std::vector<KeyEvent>& batch) {
    std::vector<std::pair<std::uint16_t, bool>> out;
    for (const auto& e : batch) out.emplace_back(e.virtualKey, e.keyUp);
    return out;
}

class BridgeClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        gBridge = VXCtrlBridge{&Dispatch, kVXCtrlBridgeVersion, 0};
        gDispatchResult = 0;
        gDispatched.clear();
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }

    testing::ScopedTestDirs dirs;
    ManualClock clock{true};
    FakeLookup lookup;
    RecordingKeys keys{clock};
};

TEST_F(BridgeClientTest, TransportOpcodesGoToTheBridgeAndSendNoKeys) {
    lookup.exports[u"VeltrixCtrl.acsrf"] = reinterpret_cast<void*>(&GetBridge);
    BridgeClient client(lookup, keys, clock, HostKind::kPremiere);
    for (int op = 0x20; op <= 0x29; ++op) EXPECT_TRUE(client.HandleTransportOpcode(op));
    EXPECT_EQ(gDispatched, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(keys.batches.empty());
    EXPECT_TRUE(client.TryBridge(kNudge));
    EXPECT_EQ(gDispatched.back(), 10);
}

TEST_F(BridgeClientTest, WithoutTheModuleEveryOpcodeFallsBackToItsKey) {
    BridgeClient client(lookup, keys, clock, HostKind::kPremiere);
    for (int op = 0x20; op <= 0x29; ++op) EXPECT_TRUE(client.HandleTransportOpcode(op));
    ASSERT_EQ(keys.batches.size(), 10u);
    using P = std::vector<std::pair<std::uint16_t, bool>>;
    EXPECT_EQ(Flatten(keys.batches[0]), (P{{0x20, false}, {0x20, true}}));
    EXPECT_EQ(Flatten(keys.batches[1]), (P{{0x27, false}, {0x27, true}}));
    EXPECT_EQ(Flatten(keys.batches[2]), (P{{0x25, false}, {0x25, true}}));
    EXPECT_EQ(Flatten(keys.batches[3]), (P{{0x10, false}, {0x27, false}, {0x27, true}, {0x10, true}}));
    EXPECT_EQ(Flatten(keys.batches[4]), (P{{0x10, false}, {0x25, false}, {0x25, true}, {0x10, true}}));
    EXPECT_EQ(Flatten(keys.batches[5]), (P{{0x10, false}, {0x49, false}, {0x49, true}, {0x10, true}}));
    EXPECT_EQ(Flatten(keys.batches[6]), (P{{0x10, false}, {0x4F, false}, {0x4F, true}, {0x10, true}}));
    EXPECT_EQ(Flatten(keys.batches[7]), (P{{0x4A, false}, {0x4A, true}}));
    EXPECT_EQ(Flatten(keys.batches[8]), (P{{0x4B, false}, {0x4B, true}}));
    EXPECT_EQ(Flatten(keys.batches[9]), (P{{0x4C, false}, {0x4C, true}}));
    // A failed lookup is not remembered: every opcode looks again.
    EXPECT_EQ(lookup.asked.size(), 10u);
}

TEST_F(BridgeClientTest, OtherOpcodesAreNotTransportOpcodes) {
    lookup.exports[u"VeltrixCtrl.acsrf"] = reinterpret_cast<void*>(&GetBridge);
    BridgeClient client(lookup, keys, clock, HostKind::kPremiere);
    for (int op : {0x00, 0x01, 0x1F, 0x2A, 0x40, 0xFF}) EXPECT_FALSE(client.HandleTransportOpcode(op));
    EXPECT_TRUE(gDispatched.empty());
    EXPECT_TRUE(keys.batches.empty());
    EXPECT_TRUE(lookup.asked.empty());
}

TEST_F(BridgeClientTest, AfterEffectsProbesItsSiblingAndFallsBackEveryTime) {
    // The control surface is loaded, but After Effects uses its own sibling module.
    lookup.exports[u"VeltrixCtrl.acsrf"] = reinterpret_cast<void*>(&GetBridge);
    BridgeClient client(lookup, keys, clock, HostKind::kAfterEffects);
    EXPECT_TRUE(client.HandleTransportOpcode(0x21));
    EXPECT_TRUE(client.HandleTransportOpcode(0x21));
    EXPECT_EQ(lookup.asked, (std::vector<std::u16string>{u"VeltrixAE.aex", u"VeltrixAE.aex"}));
    EXPECT_EQ(keys.batches.size(), 2u);
    EXPECT_TRUE(gDispatched.empty());
}

TEST_F(BridgeClientTest, UnusableRecordsAndFailedDispatchFallBack) {
    lookup.exports[u"VeltrixCtrl.acsrf"] = reinterpret_cast<void*>(&GetBridge);
    BridgeClient client(lookup, keys, clock, HostKind::kMediaEncoder);

    gBridge.dispatch = nullptr;  // module loaded, no surface connected
    EXPECT_FALSE(client.TryBridge(kStop));
    gBridge.dispatch = &Dispatch;
    gBridge.version = 2;
    EXPECT_FALSE(client.TryBridge(kStop));
    gBridge.version = kVXCtrlBridgeVersion;
    gDispatchResult = -1;
    EXPECT_FALSE(client.TryBridge(kStop));
    gDispatchResult = -2;
    EXPECT_TRUE(client.HandleTransportOpcode(0x28));
    ASSERT_EQ(keys.batches.size(), 1u);
    EXPECT_EQ(keys.batches[0][0].virtualKey, 0x4B);

    lookup.exports[u"VeltrixCtrl.acsrf"] = reinterpret_cast<void*>(&GetNull);
    EXPECT_FALSE(client.TryBridge(kStop));
    // Once the module goes away it is not called through a stale pointer.
    lookup.exports.clear();
    gDispatchResult = 0;
    const auto before = gDispatched.size();
    EXPECT_FALSE(client.TryBridge(kStop));
    EXPECT_EQ(gDispatched.size(), before);
}

TEST_F(BridgeClientTest, KeyboardNudgeStepsAndReturnsSixtyMillisecondsApart) {
    BridgeClient premiere(lookup, keys, clock, HostKind::kPremiere);
    const auto start = clock.Now();
    premiere.KeyboardNudge();
    ASSERT_EQ(keys.batches.size(), 2u);
    using P = std::vector<std::pair<std::uint16_t, bool>>;
    EXPECT_EQ(Flatten(keys.batches[0]), (P{{0x27, false}, {0x27, true}}));
    EXPECT_EQ(Flatten(keys.batches[1]), (P{{0x25, false}, {0x25, true}}));
    EXPECT_EQ(keys.times[0], start);
    EXPECT_GE(keys.times[1] - keys.times[0], std::chrono::milliseconds(60));

    BridgeClient ae(lookup, keys, clock, HostKind::kAfterEffects);
    ae.KeyboardNudge();
    ASSERT_EQ(keys.batches.size(), 4u);
    EXPECT_EQ(Flatten(keys.batches[2]), (P{{0x22, false}, {0x22, true}}));
    EXPECT_EQ(Flatten(keys.batches[3]), (P{{0x21, false}, {0x21, true}}));

    const std::string log = LogText();
    EXPECT_NE(log.find("kbd:INFO] nudge: →← (Premiere)"), std::string::npos) << log;
    EXPECT_NE(log.find("kbd:INFO] nudge: PgDn/PgUp (AE)"), std::string::npos) << log;
}

TEST_F(BridgeClientTest, ShortSendCountIsLoggedButAMissingKeyboardIsNot) {
    BridgeClient client(lookup, keys, clock, HostKind::kPremiere);
    keys.shortBy = 1;
    client.SendKeyTap(0x49, true);
    EXPECT_NE(LogText().find("SendInput sent=3 expected=4 err=5"), std::string::npos);
    keys.keyboard = false;
    keys.shortBy = 2;
    client.SendKeyTap(0x20, false);
    EXPECT_EQ(LogText().find("SendInput sent=0"), std::string::npos);
}

// The platform lookup against a real module loaded into this process.
TEST_F(BridgeClientTest, PlatformLookupFindsALoadedModuleWithoutLoadingIt) {
    auto platform = MakePlatformModuleLookup();
    BridgeClient client(*platform, keys, clock, HostKind::kPremiere);
    // Not loaded yet: nothing found, and the lookup must not load it.
    EXPECT_FALSE(client.TryBridge(kStepBack));
    EXPECT_EQ(platform->FindLoadedExport(u"VeltrixCtrl.acsrf", "fake_bridge_calls"), nullptr);

    testing::DynamicLibrary module(VX_FAKE_CTRL_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    using Script = void (*)(int, int, unsigned);
    using Count = int (*)();
    auto script = reinterpret_cast<Script>(module.Symbol("fake_bridge_script"));
    auto calls = reinterpret_cast<Count>(module.Symbol("fake_bridge_calls"));
    auto lastOp = reinterpret_cast<Count>(module.Symbol("fake_bridge_last_op"));
    ASSERT_TRUE(script && calls && lastOp);

    script(1, 0, kVXCtrlBridgeVersion);
    EXPECT_TRUE(client.TryBridge(kStepBack));
    EXPECT_EQ(lastOp(), 2);
    EXPECT_TRUE(client.HandleTransportOpcode(0x29));
    EXPECT_EQ(lastOp(), 9);
    EXPECT_EQ(calls(), 2);
    EXPECT_TRUE(keys.batches.empty());

    script(0, 0, kVXCtrlBridgeVersion);  // no surface connected
    EXPECT_TRUE(client.HandleTransportOpcode(0x20));
    EXPECT_EQ(calls(), 2);
    EXPECT_EQ(keys.batches.size(), 1u);

    // After Effects looks for its sibling, which is not loaded.
    script(1, 0, kVXCtrlBridgeVersion);
    BridgeClient ae(*platform, keys, clock, HostKind::kAfterEffects);
    EXPECT_FALSE(ae.TryBridge(kStop));
    EXPECT_EQ(calls(), 2);
}

}  // namespace
}  // namespace Veltrix
