// vx-host's side of the control surface: the timeline's transport, and the
// real VeltrixCtrl module connected by CtrlHost, driven through the platform's
// bridge lookup exactly as the transmit plug-in drives it.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/log.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "transmit/bridge_client.h"
#include "vx-host/ctrl_host.h"
#include "vx-host/platform.h"

namespace Veltrix::host {
namespace {

using Veltrix::testing::Eventually;

TEST(Timeline, TransportMovesWithinTheTimelineAndPlayToOutStopsThere) {
    Timeline t(10, 100, 300, 1000);  // 10 ticks a frame; in at frame 10, out at 30, end at 100
    EXPECT_EQ(t.Step(-3).ticks, 0);  // clamped at the start
    EXPECT_EQ(t.Step(250).ticks, 990);  // the last frame, not the end
    EXPECT_EQ(t.GotoIn().ticks, 100);
    EXPECT_EQ(t.PlayToOut().state, PlayState::kForward);
    t.Advance(150);
    EXPECT_EQ(t.View().ticks, 250);
    t.Advance(80);
    EXPECT_EQ(t.View().ticks, 300);  // stopped on the out point
    EXPECT_EQ(t.View().state, PlayState::kStopped);
    t.PlayForward();
    t.Advance(80);
    EXPECT_EQ(t.View().ticks, 380);  // plain forward play goes past it
    EXPECT_EQ(t.PlayStopToggle().state, PlayState::kStopped);
    EXPECT_EQ(t.PlayStopToggle().state, PlayState::kForward);
    t.PlayReverse();
    t.Advance(1000);
    EXPECT_EQ(t.View().ticks, 0);
    EXPECT_EQ(t.View().state, PlayState::kStopped);
    Timeline endless(10, 0, -1, -1);
    endless.Step(7);
    EXPECT_EQ(endless.GotoOut().ticks, 70);  // no out point, no end: stays
}

class NoKeys final : public KeySender {
public:
    KeySendResult Send(const KeyEvent*, unsigned count) override {
        sent += count;
        return KeySendResult{true, count, 0};
    }
    unsigned sent = 0;
};

TEST(CtrlHost, PhoneCommandsReachTheTimelineThroughTheLoadedModule) {
    Veltrix::testing::ScopedTestDirs dirs;
    std::string error;
    auto module = LoadPluginLibrary(VX_CTRL_MODULE, &error);
    ASSERT_TRUE(module) << error;
    auto entry = reinterpret_cast<CsEntryPointFunc>(module->Symbol(kCsEntryPointName));
    ASSERT_TRUE(entry);

    const std::int64_t frame = 1000;
    Timeline timeline(frame, 10 * frame, 50 * frame, 100 * frame);
    std::mutex linesMutex;
    std::vector<std::string> lines;
    {
        CtrlHost host(timeline, [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(linesMutex);
            lines.push_back(line);
        });
        ASSERT_TRUE(host.Start(entry, &error)) << error;
        // The plug-in suite's id and name, read back as host string records.
        EXPECT_EQ(host.pluginName(), "com.veltrix.controlsurface (Veltrix)");

        auto lookup = MakePlatformModuleLookup();
        NoKeys keys;
        BridgeClient client(*lookup, keys, Clock::Real(), HostKind::kPremiere);
        const std::pair<int, std::int64_t> steps[] = {{0x21, 1}, {0x23, 6}, {0x22, 5}, {0x24, 0}, {0x26, 50}, {0x25, 10}};
        for (const auto& [opcode, expected] : steps) {
            EXPECT_TRUE(client.HandleTransportOpcode(static_cast<std::uint8_t>(opcode)));
            EXPECT_EQ(timeline.Frame(), expected) << std::hex << opcode;
        }
        EXPECT_TRUE(client.HandleTransportOpcode(0x29));
        EXPECT_EQ(timeline.View().state, PlayState::kForward);
        EXPECT_TRUE(client.HandleTransportOpcode(0x27));
        EXPECT_EQ(timeline.View().state, PlayState::kReverse);
        EXPECT_TRUE(client.HandleTransportOpcode(0x28));
        EXPECT_EQ(timeline.View().state, PlayState::kStopped);
        EXPECT_TRUE(client.TryBridge(kNudge));
        EXPECT_EQ(timeline.Frame(), 10);
        // Play/pause runs on the UI thread: a paused host without a window plays to the out point.
        EXPECT_TRUE(client.HandleTransportOpcode(0x20));
        EXPECT_TRUE(Eventually([&] { return timeline.Playing(); }));
        host.NotifyPlayState(true);
        EXPECT_EQ(keys.sent, 0u);
        host.Stop();
        EXPECT_TRUE(host.problems().empty()) << host.problems().front();
        // Once disconnected the bridge is gone and the keys take over.
        EXPECT_FALSE(client.TryBridge(kStop));
    }
    std::lock_guard<std::mutex> lock(linesMutex);
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    EXPECT_NE(all.find("vx-host: transport jog +1: frame 10 -> 11 (00:00:00:11)"), std::string::npos) << all;
    EXPECT_NE(all.find("vx-host: transport cmd.transport.play.ctitoout: frame 10 -> 10"), std::string::npos) << all;
    const std::string log = Veltrix::testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("ctrl: command count = 8"), std::string::npos) << log;
    EXPECT_NE(log.find("ctrl: cmd[0] ctx=program.monitor id=cmd.monitor.playstoptoggle name=Play/Stop Toggle"),
              std::string::npos);
    EXPECT_NE(log.find("ctrl: SetPlayState(1)"), std::string::npos);
}

}  // namespace
}  // namespace Veltrix::host
