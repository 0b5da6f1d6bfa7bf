#include "transmit/module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/trusted_peers.h"
#include "support/log.h"
#include "tests/testing/test_env.h"
#include "transmit/setup_status.h"
#include "transmit/shared_transport.h"
#include "fake_host.h"
#include "phone_wire.h"

namespace Veltrix {
namespace {

using testing::FakeHost;
using testing::FakePicture;
using testing::WirePhone;

TxModule LoadedModule() {
    TxModule m{};
    EXPECT_EQ(TransmitEntry(kTxInterfaceVersion, 1, FakeHost::Get().Suites(), &m), kTxResultSuccess);
    return m;
}

TEST(TransmitModuleTest, EntryFillsAllNineteenSlotsOnlyWhenLoading) {
    TxModule untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    TxModule copy = untouched;
    EXPECT_EQ(TransmitEntry(kTxInterfaceVersion, 0, FakeHost::Get().Suites(), &untouched), kTxResultSuccess);
    EXPECT_EQ(std::memcmp(&untouched, &copy, sizeof copy), 0);
    EXPECT_EQ(TransmitEntry(kTxInterfaceVersion, 1, nullptr, nullptr), kTxResultSuccess);

    TxModule m = LoadedModule();
    void* slots[kTxModuleSlotCount];
    std::memcpy(slots, &m, sizeof slots);
    for (int i = 0; i < kTxModuleSlotCount; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

TEST(TransmitModuleTest, OperationsWithoutAnInstanceAnswerTheHost) {
    testing::ScopedTestDirs dirs;
    TxModule m = LoadedModule();
    TxPluginInfo info{};
    EXPECT_EQ(m.Startup(FakeHost::Get().StdParms(), &info), kTxResultSuccess);
    EXPECT_EQ(+info.clockAvailable, 1);
    EXPECT_EQ(+info.displayName[0], u'L');
    EXPECT_NE(testing::ReadFileText(LogFilePath()).find("Lumenfold plugin v0.2.0 starting up"), std::string::npos);

    TxStdParms* parms = FakeHost::Get().StdParms();
    TxInstance rec = FakeHost::Get().MakeInstance(0.0f, 0);  // no private data
    std::uint32_t samples = 0;
    EXPECT_EQ(m.StartPushAudio(parms, &rec, 0, 1.0f, 0, 0, 0, 1, &samples), kTxResultSuccess);
    EXPECT_EQ(samples, 1024u);
    EXPECT_EQ(m.StopPushAudio(parms, &rec), kTxResultSuccess);
    EXPECT_EQ(m.ActivateDeactivate(parms, &rec, kTxActivationPlayerActivated, 0, 1), kTxResultSuccess);
    EXPECT_EQ(m.PushVideo(parms, &rec, nullptr), kTxResultSuccess);
    EXPECT_EQ(m.PushAudio(parms, &rec, nullptr), kTxResultSuccess);
    EXPECT_EQ(m.StartPlaybackClock(parms, &rec, nullptr), kTxResultSuccess);
    EXPECT_EQ(m.StopPlaybackClock(parms, &rec), kTxResultSuccess);
    EXPECT_EQ(m.DisposeInstance(parms, &rec), kTxResultSuccess);
    EXPECT_EQ(m.SetStreamingStateChangedCallback(parms, nullptr, nullptr), kTxResultSuccess);
    EXPECT_EQ(m.EnableStreaming(parms, 0), kTxResultSuccess);
    TxBool flag = 0;
    EXPECT_EQ(m.IsStreamingActive(parms, &flag), kTxResultSuccess);
    EXPECT_EQ(flag, 1);
    flag = 0;
    EXPECT_EQ(m.IsStreamingEnabled(parms, &flag), kTxResultSuccess);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(m.IsStreamingEnabled(parms, nullptr), kTxResultSuccess);
    TxBool reset = 5;
    EXPECT_EQ(m.NeedsReset(parms, &reset), kTxResultSuccess);
    EXPECT_EQ(reset, 0);

    TxAudioMode audio{};
    EXPECT_EQ(m.QueryAudioMode(parms, &rec, 1, &audio), kTxResultNoMode);
    EXPECT_EQ(m.QueryAudioMode(parms, &rec, 0, nullptr), kTxResultNoMode);
    EXPECT_EQ(m.QueryAudioMode(parms, &rec, 0, &audio), kTxResultSuccess);
    EXPECT_EQ(+audio.sampleRate, 48000.0f);
    EXPECT_EQ(+audio.maxBufferSize, 48000u);
    TxVideoMode video{};
    EXPECT_EQ(m.QueryVideoMode(parms, &rec, 1, &video), kTxResultNoMode);
    EXPECT_EQ(m.QueryVideoMode(parms, &rec, 0, &video), kTxResultSuccess);
    EXPECT_EQ(+video.pixelFormat, kTxPixelFormatBgra);
}

// The whole host order through the process's shared transport, with a phone
// that reconnects with a stored token.
TEST(TransmitModuleTest, HostLifecycleWithATrustedPhone) {
    testing::ScopedTestDirs dirs;
    const std::string token(64, 'a');
    ASSERT_TRUE(UpsertPeer(TrustedPeer{"phone-module", "Test Phone", token, "2026-01-01T00:00:00Z"}));

    TxModule m = LoadedModule();
    TxPluginInfo info{};
    m.Startup(FakeHost::Get().StdParms(), &info);
    TxStdParms* parms = FakeHost::Get().StdParms();
    TxInstance rec = FakeHost::Get().MakeInstance();
    ASSERT_EQ(m.CreateInstance(parms, &rec), kTxResultSuccess);
    ASSERT_NE(+rec.privateData, nullptr);
    EXPECT_TRUE(SharedTransport::Instance().Started());

    // The suite runs with VX_CONTROL_PORT=0: the listener takes any free port.
    NetworkTransport& network = SharedTransport::Instance().Network();
    ASSERT_TRUE(testing::Eventually([&] { return network.ListeningPort() != 0; }));
    auto phone = std::make_unique<WirePhone>(network.ListeningPort());
    ASSERT_TRUE(phone->Connected());
    // The setup window's Ports row names that port, not the host kind's.
    SetupModel setup({[] { return std::vector<AdapterAddress>{}; }, TakeSetupStatus, 0});
    setup.RefreshIdentityAndNetwork();
    EXPECT_EQ(setup.Text(kSetupRowPorts), "— control · 47101 video · 47102 audio");
    setup.RefreshStatus();
    EXPECT_EQ(setup.Text(kSetupRowPorts),
              std::to_string(network.ListeningPort()) + " control · 47101 video · 47102 audio");
    ASSERT_TRUE(phone->TrustedReconnect("phone-module", token));
    auto platform = phone->NextOf(0x36);
    ASSERT_TRUE(platform);
    EXPECT_EQ(platform->payload, (std::vector<std::uint8_t>{1, 2}));
    auto initial = phone->NextOf(0x1A);
    ASSERT_TRUE(initial);
    EXPECT_EQ(initial->payload, std::vector<std::uint8_t>{0});

    EXPECT_EQ(PublishPlaybackState(5), 1);
    auto playing = phone->NextOf(0x1A);
    ASSERT_TRUE(playing);
    EXPECT_EQ(playing->payload, std::vector<std::uint8_t>{1});
    EXPECT_EQ(PublishPlaybackState(0), 1);
    auto stopped = phone->NextOf(0x1A);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->payload, std::vector<std::uint8_t>{0});

    // Every pushed picture is handed back to the host exactly once.
    FakePicture first, second;
    testing::FillPicture(first, 64, 48);
    testing::FillPicture(second, 64, 48);
    const TxLabeledFrame frames[2] = {{testing::HandleOf(first), nullptr}, {testing::HandleOf(second), nullptr}};
    TxPushVideo pushed{};
    pushed.playMode = kTxPlayModePlaying;
    pushed.frames = frames;
    pushed.frameCount = 2;
    EXPECT_EQ(m.PushVideo(parms, &rec, &pushed), kTxResultSuccess);
    EXPECT_EQ(first.disposed.load(), 1);
    EXPECT_EQ(second.disposed.load(), 1);

    EXPECT_EQ(m.ActivateDeactivate(parms, &rec, kTxActivationPlayerActivated, 0, 0), kTxResultSuccess);
    EXPECT_EQ(m.DisposeInstance(parms, &rec), kTxResultSuccess);
    EXPECT_EQ(+rec.privateData, nullptr);
    EXPECT_EQ(m.Shutdown(FakeHost::Get().StdParms()), kTxResultSuccess);
    EXPECT_FALSE(SharedTransport::Instance().Started());

    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("ActivateDeactivate: audio=0 video=0 → Stop"), std::string::npos);
    EXPECT_NE(log.find("SharedTransport::Shutdown"), std::string::npos);
    // Without a phone the playback state is dropped.
    EXPECT_EQ(PublishPlaybackState(1), 0);
}

}  // namespace
}  // namespace Veltrix
