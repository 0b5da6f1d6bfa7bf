// The whole command-line run on the phone's real media ports: the plug-in's
// own SendDatagram addresses UDP 47101 of the paired phone.
#include <gtest/gtest.h>

#include "network/control_protocol.h"
#include "tests/phone/phone_harness.h"
#include "tests/phone/stamped_h264.h"
#include "transport/packetizer.h"

namespace Veltrix {
namespace {

using namespace testing;

TEST(PhoneFixedPorts, RunPhoneReceivesWhatTheTransportSendsToThePairedPhone) {
    const auto units = EncodeStampedH264(20, 320, 180, 10);
    if (units.empty()) GTEST_SKIP() << "no libx264";
    PluginSide plugin;
    const auto tmp = MakeTempDir("phone-fixed");
    auto o = PhoneFor(plugin, tmp / "tokens");
    o.videoPort = kVideoPort;
    o.audioPort = kAudioPort;
    o.json = true;
    o.minDecoded = static_cast<int>(units.size());
    o.send = {"idr"};
    o.silenceLimit = 600;  // this plug-in's heartbeat clock stands still
    PhoneIo io;
    std::atomic<bool> stop{false};
    int rc = -1;
    std::thread run([&] { rc = phone::RunPhone(o, io.Make([&] { return plugin.WaitCode(); }), stop); });
    ASSERT_TRUE(Eventually([&] { return plugin.net->PeerKnown(); }));
    std::uint32_t seq = 0;
    std::uint16_t frame = 0;
    for (const auto& u : units) {
        FrameGroup g;
        ASSERT_TRUE(PacketizeGroup(kStreamTypeVideo, u.keyFrame, VideoParityCount(u.bytes.size()), frame++, seq, 0,
                                   u.bytes.data(), u.bytes.size(), true, g));
        for (const auto& d : g.datagrams) EXPECT_TRUE(plugin.net->SendDatagram(d.data(), d.size(), kVideoPort));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const float tone[480] = {0.5f};
    const float* channels[1] = {tone};
    std::vector<std::uint8_t> audio;
    BuildAudioPayload(48000, channels, 1, 480, audio);
    FrameGroup ag;
    std::uint32_t aseq = 0;
    ASSERT_TRUE(PacketizeGroup(kStreamTypeAudio, false, 0, 0, aseq, 0, audio.data(), audio.size(), false, ag));
    for (const auto& d : ag.datagrams) EXPECT_TRUE(plugin.net->SendDatagram(d.data(), d.size(), kAudioPort));
    EXPECT_TRUE(Eventually([&] { return plugin.Got(kRequestIDR); }));
    // The status lines report progress; stop once they show every picture decoded and the audio.
    const std::string done = "\"decoded\":" + std::to_string(units.size()) + ",";
    EXPECT_TRUE(Eventually([&] {
        const std::string t = io.out.str();
        return t.find(done) != std::string::npos && t.find("\"audio_blocks\":1}") != std::string::npos;
    }));
    stop.store(true);
    run.join();
    EXPECT_EQ(rc, 0) << io.err.str();
    const std::string out = io.out.str();
    EXPECT_NE(out.find("\"decoded\":" + std::to_string(units.size()) + ","), std::string::npos) << out;
    EXPECT_NE(out.find("\"audio_blocks\":1,"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"type\":\"paired\""), std::string::npos);
    EXPECT_NE(out.find("{\"type\":\"status\""), std::string::npos);
    std::filesystem::remove_all(tmp);
}

}  // namespace
}  // namespace Veltrix
