// The setup window's texts from real store files in a private folder, scripted
// adapters and scripted transport snapshots.
#include "ui/setup_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/json_store.h"
#include "support/log.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using testing::ReadFileText;

class SetupModelTest : public ::testing::Test {
protected:
    SetupModel Make() {
        return SetupModel({[this] { return adapters_; }, [this] { return snapshot_; }, 47110});
    }
    std::string LogText() { return ReadFileText(LogFilePath()); }
    testing::ScopedTestDirs dirs_;
    std::vector<AdapterAddress> adapters_;
    SetupStatusSnapshot snapshot_;
};

TEST(SetupAddress, PercentEncodesEveryByteOutsideTheUnreservedSet) {
    EXPECT_EQ(PercentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(PercentEncode("Café Studio/&=?"), "Caf%C3%A9%20Studio%2F%26%3D%3F");
    EXPECT_EQ(PercentEncode(std::string("\0\xff", 2)), "%00%FF");
    EXPECT_EQ(PairingAddress({"id 1", "Anna's PC"}), "veltrix://pair?v=3&id=id%201&name=Anna%27s%20PC");
}

TEST_F(SetupModelTest, IdentityNetworkAndQrComeFromTheStoresAndAdapters) {
    adapters_ = {{"Wi-Fi", "192.168.1.20"}, {"vEthernet (WSL)", "172.20.0.1"}, {"Ethernet 2", "10.0.0.5"}};
    SetDiscoverable(false);
    SetAsyncHwEncodersEnabled(true);
    auto model = Make();
    model.RefreshIdentityAndNetwork();
    const InstallIdentity id = LoadOrCreateIdentity();
    EXPECT_EQ(model.Text(kSetupRowIp), "172.20.0.1");  // the first whose name holds "Ethernet"
    EXPECT_EQ(model.Text(kSetupRowInterfaces),
              "Wi-Fi: 192.168.1.20   vEthernet (WSL): 172.20.0.1   Ethernet 2: 10.0.0.5");
    EXPECT_EQ(model.Text(kSetupRowPorts), "47110 control · 47101 video · 47102 audio");
    EXPECT_EQ(model.Text(kSetupNameEdit), id.name);
    EXPECT_EQ(model.Text(kSetupInstanceId), "Instance ID: " + id.id);
    EXPECT_FALSE(model.Discoverable());
    EXPECT_TRUE(model.HwHevc());
    EXPECT_EQ(model.Address(), PairingAddress(id));
    EXPECT_GT(model.Qr().size, 0);

    adapters_ = {{"Wi-Fi 3", "192.168.1.20"}, {"Tailscale", "100.64.0.1"}};
    model.RefreshIdentityAndNetwork();
    EXPECT_EQ(model.Text(kSetupRowIp), "192.168.1.20");
    adapters_ = {{"Tailscale", "100.64.0.1"}, {"other", "10.1.1.1"}};
    model.RefreshIdentityAndNetwork();
    EXPECT_EQ(model.Text(kSetupRowIp), "100.64.0.1");
    adapters_.clear();
    model.RefreshIdentityAndNetwork();
    EXPECT_EQ(model.Text(kSetupRowIp), "(no network)");
    EXPECT_EQ(model.Text(kSetupRowInterfaces), "(none)");
}

TEST_F(SetupModelTest, SaveRenamesLogsAndRebuildsTheAddressButIgnoresAnEmptyName) {
    auto model = Make();
    model.RefreshIdentityAndNetwork();
    const std::string before = model.Address();
    EXPECT_FALSE(model.Save(""));
    EXPECT_EQ(model.Address(), before);
    EXPECT_EQ(LogText().find("display name updated"), std::string::npos);

    EXPECT_TRUE(model.Save("Edit Bay ü"));
    EXPECT_EQ(LoadOrCreateIdentity().name, "Edit Bay ü");
    EXPECT_NE(model.Address().find("&name=Edit%20Bay%20%C3%BC"), std::string::npos);
    EXPECT_NE(LogText().find("setup_dialog:INFO] display name updated to Edit Bay ü\r\n"), std::string::npos);
    // A line break in a name cannot start a forged log line.
    EXPECT_TRUE(model.Save("a\nb"));
    EXPECT_NE(LogText().find("display name updated to a\\x0ab\r\n"), std::string::npos);
    // At most 255 characters, cut between characters.
    std::string longName;
    for (int i = 0; i < 300; ++i) longName += "é";
    EXPECT_TRUE(model.Save(longName));
    EXPECT_EQ(LoadOrCreateIdentity().name.size(), 255u * 2);
}

TEST_F(SetupModelTest, TogglesAreStoredAndLogged) {
    auto model = Make();
    model.RefreshIdentityAndNetwork();
    model.SetDiscoverable(false);
    model.SetHwHevc(true);
    EXPECT_FALSE(IsDiscoverable());
    EXPECT_TRUE(AsyncHwEncodersEnabled());
    EXPECT_NE(LogText().find("discoverable toggled -> 0"), std::string::npos);
    EXPECT_NE(LogText().find("enableAsyncHwEncoders toggled -> 1"), std::string::npos);
    EXPECT_EQ(model.Text(kSetupAdvanced), "▶  Advanced info");
    model.ToggleAdvanced();
    EXPECT_TRUE(model.Advanced());
    EXPECT_EQ(model.Text(kSetupAdvanced), "▼  Advanced info");
}

// Another process keeping the store's lock: nothing is written, so nothing is
// reported as saved and the switches keep showing what the file holds.
TEST_F(SetupModelTest, NothingWrittenIsNeverReportedAsSaved) {
    auto model = Make();
    model.RefreshIdentityAndNetwork();
    const std::string name = model.Identity().name;
    testing::ManualClock clock(/*autoAdvance=*/true);
    OverrideStoreClockForTesting(&clock);
    {
        StoreFileLock other(InstallIdentityPath(), LogChannel{kLogSubsystem, "other"}, Clock::Real());
        ASSERT_TRUE(other.held());
        EXPECT_FALSE(model.Save("Elsewhere"));
        EXPECT_FALSE(model.SetDiscoverable(false));
        EXPECT_FALSE(model.SetHwHevc(true));
    }
    OverrideStoreClockForTesting(nullptr);
    EXPECT_EQ(LoadOrCreateIdentity().name, name);
    EXPECT_EQ(model.Text(kSetupNameEdit), name);
    EXPECT_TRUE(model.Discoverable());
    EXPECT_FALSE(model.HwHevc());
    EXPECT_EQ(LogText().find("display name updated"), std::string::npos);
    EXPECT_EQ(LogText().find("toggled"), std::string::npos);
    EXPECT_TRUE(model.SetDiscoverable(false));  // released: stored again
    EXPECT_FALSE(IsDiscoverable());
}

TEST_F(SetupModelTest, TrustedRowsFollowTheStoreUpToThirty) {
    auto model = Make();
    EXPECT_TRUE(model.RefreshTrustedPeers());  // first build, even of an empty list
    EXPECT_TRUE(model.Peers().empty());
    EXPECT_FALSE(model.RefreshTrustedPeers());
    for (int i = 0; i < 31; ++i) {
        UpsertPeer({"phone" + std::to_string(i), i == 0 ? "" : "Phone " + std::to_string(i), std::string(64, 'a'),
                    i == 1 ? "" : "2026-12-0" + std::to_string(1 + i % 9) + "T10:00:00Z"});
    }
    EXPECT_TRUE(model.RefreshTrustedPeers());
    ASSERT_EQ(model.Peers().size(), 30u);
    EXPECT_EQ(model.Peers()[0].name, "(unnamed iPhone)");
    EXPECT_EQ(model.Peers()[0].paired, "paired 2026-12-01");
    EXPECT_EQ(model.Peers()[1].paired, "");
    EXPECT_FALSE(model.RefreshTrustedPeers());
    // A rename with the same ids in the same order is no change.
    UpsertPeer({"phone2", "Renamed", std::string(64, 'b'), ""});
    EXPECT_FALSE(model.RefreshTrustedPeers());

    EXPECT_FALSE(model.Forget("phone99"));
    EXPECT_TRUE(model.Forget("phone1"));
    EXPECT_EQ(model.Peers().size(), 30u);  // the 31st moves up
    EXPECT_EQ(model.Peers()[1].id, "phone2");
    EXPECT_EQ(ListPeers().size(), 30u);
    EXPECT_NE(LogText().find("unpaired peer phone1\r\n"), std::string::npos);
}

TEST_F(SetupModelTest, StatusWithNothingRunning) {
    auto model = Make();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Idle");
    EXPECT_EQ(model.Text(kSetupActiveEncoder), "Active encoder: —");
    model.RefreshStatus();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Transmit disabled");
    EXPECT_FALSE(model.DotOn());
    EXPECT_EQ(model.Text(kSetupActiveEncoder), "Active encoder: — (not configured)");
    EXPECT_EQ(model.Text(2101), "Transmit disabled");
    for (int id : {2102, 2103, 2104, 2105, 2106, 2107, 2108, 2109, 2113, 2114, 2116, 2117, 2118, 2119, 2137, 2138, 2139}) {
        EXPECT_EQ(model.Text(id), "—") << id;
    }
    EXPECT_EQ(model.Text(2115), "n/a (v1)");
}

TEST_F(SetupModelTest, StatusWhileWaitingAndFromRequestedSettings) {
    auto model = Make();
    snapshot_.active = true;
    snapshot_.peerAddress = "10.0.0.9";  // not shown without a connection
    snapshot_.encoderDescription = "NVIDIA H.264 Encoder MFT";
    snapshot_.codec = 0;
    snapshot_.gopSize = 1;
    snapshot_.encoderMode = 1;
    snapshot_.quality = 70;
    snapshot_.hasSettings = true;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Ready · waiting for iPhone");
    EXPECT_EQ(model.Text(2101), "Idle · waiting for iPhone");
    EXPECT_EQ(model.Text(2102), "—");
    EXPECT_EQ(model.Text(kSetupActiveEncoder), "Active encoder: NVIDIA H.264 Encoder MFT");
    EXPECT_EQ(model.Text(2103), "HEVC (H.265)");
    EXPECT_EQ(model.Text(2105), "Auto (native)");
    EXPECT_EQ(model.Text(2109), "Auto (native)");
    EXPECT_EQ(model.Text(2106), "All-Intra (every frame IDR)");
    EXPECT_EQ(model.Text(2119), "Quality 70 %");

    snapshot_.connected = true;
    snapshot_.codec = 1;
    snapshot_.maxShortSide = 720;
    snapshot_.gopSize = 5;
    snapshot_.quality = -1;
    snapshot_.encoderValid = true;
    snapshot_.isH264 = true;
    snapshot_.gopClass = 3;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Streaming");
    EXPECT_TRUE(model.DotOn());
    EXPECT_EQ(model.Text(2101), "Streaming");
    EXPECT_EQ(model.Text(2102), "10.0.0.9");
    EXPECT_EQ(model.Text(2103), "H.264");
    EXPECT_EQ(model.Text(2105), "720p (short-side cap)");
    EXPECT_EQ(model.Text(2109), "720p (short side)");
    EXPECT_EQ(model.Text(2106), "Short-GOP (5)");
    EXPECT_EQ(model.Text(2119), "Quality");
    EXPECT_EQ(model.Text(2137), "—");  // valid status with an empty description
    EXPECT_EQ(model.Text(2138), "H.264");
    EXPECT_EQ(model.Text(2139), "Long-GOP");
    for (auto [mode, text] : {std::pair{0, "Adaptive (CBR, AIMD target)"}, {2, "VBR (peak-constrained)"}, {7, "—"}}) {
        snapshot_.encoderMode = mode;
        model.RefreshStatus();
        EXPECT_EQ(model.Text(2119), text);
    }
    snapshot_.isH264 = false;
    snapshot_.gopClass = 1;
    snapshot_.engineDescription = "x265";
    model.RefreshStatus();
    EXPECT_EQ(model.Text(2137), "x265");
    EXPECT_EQ(model.Text(2138), "H.265 (HEVC)");
    EXPECT_EQ(model.Text(2139), "Short-GOP");
    snapshot_.active = false;  // connected but no instance active
    model.RefreshStatus();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Transmit disabled");
    EXPECT_FALSE(model.DotOn());
}

TEST_F(SetupModelTest, StatusFromLiveStatistics) {
    auto model = Make();
    snapshot_.connected = snapshot_.active = true;
    snapshot_.gopSize = 30;  // requested, overridden by the live GOP
    StreamStatistics& st = snapshot_.stats;
    st.valid = 1;
    st.bitrateBps = 12'340'000;
    st.shortSide = 1080;
    st.level = 42;
    st.gopLength = 1;
    st.gopAuto = 1;
    st.fecParityTenths = 125;
    st.controller = 2;
    st.lastReason = 5;
    st.phase = 2;
    st.lossPercent = 0.126;
    st.backlogFraction = 0.376;
    st.owdTrendUs = 0;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Streaming · 12.3 Mbps");
    EXPECT_EQ(model.Text(2104), "12.3 Mbps");
    EXPECT_EQ(model.Text(2105), "1080p short · L42");
    EXPECT_EQ(model.Text(2106), "All-Intra · Auto");
    EXPECT_EQ(model.Text(2107), "12.5 %");
    EXPECT_EQ(model.Text(2113), "Unified v2 (experimental)");
    EXPECT_EQ(model.Text(2114), "Size over budget");
    EXPECT_EQ(model.Text(2115), "Probing");
    EXPECT_EQ(model.Text(2116), "0.13 %");
    EXPECT_EQ(model.Text(2117), "38 %");
    EXPECT_EQ(model.Text(2118), "+0 µs");

    st.gopLength = 12;
    st.owdTrendUs = -250;
    st.phase = 1;
    st.lastReason = 11;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(2106), "Short-GOP (12) · Auto");
    EXPECT_EQ(model.Text(2118), "-250 µs");
    EXPECT_EQ(model.Text(2115), "Settling");
    EXPECT_EQ(model.Text(2114), "—");
    st.phase = 0;
    st.controller = 1;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(2113), "Unified v1");
    EXPECT_EQ(model.Text(2115), "n/a (v1)");
    EXPECT_EQ(model.Text(2116), "—");
    st.controller = 0;
    st.bitrateBps = 0;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(2113), "Legacy (AIMD)");  // live, so shown even for controller 0
    EXPECT_EQ(model.Text(kSetupDeviceStatus), "Streaming");
    st.controller = 2;
    st.valid = 0;
    model.RefreshStatus();
    EXPECT_EQ(model.Text(2115), "—");
    EXPECT_EQ(model.Text(2106), "Short-GOP (30) · Auto");
    EXPECT_EQ(LastReasonText(1), "Ramp up");
    EXPECT_EQ(LastReasonText(10), "Probe fail");
    EXPECT_EQ(LastReasonText(-1), "—");
}

}  // namespace
}  // namespace Veltrix
