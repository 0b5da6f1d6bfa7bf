// vx-phone's session against the real plug-in network side over loopback:
// pairing and trusted reconnect, control both ways, and real H.264 through
// the real packetizer with datagrams dropped, reordered and duplicated.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "network/control_protocol.h"
#include "tests/phone/phone_harness.h"
#include "tests/phone/stamped_h264.h"
#include "transport/packetizer.h"
#include "vx-phone/phone_stats.h"

namespace Veltrix {
namespace {

using namespace testing;

class PhoneSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        NetInit();
        tmp_ = MakeTempDir("phone-session");
        sender_ = CreateUdpSender();
    }
    void TearDown() override {
        Close(sender_);
        NetShutdown();
        std::filesystem::remove_all(tmp_);
    }

    // Starts a session that pairs with the code the dialog shows.
    std::unique_ptr<phone::PhoneSession> StartPaired(phone::PhoneOptions o, PhoneIo& io) {
        auto s = std::make_unique<phone::PhoneSession>(o, io.Make([this] { return plugin_.WaitCode(); }));
        std::string err;
        int code = 0;
        EXPECT_TRUE(s->Start(stop_, &err, &code)) << err;
        return s;
    }

    void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& d) {
        for (int i = 0; i < 100; ++i) {
            if (SendTo(sender_, d.data(), d.size(), 0x0100007F, port) >= 0) return;  // 127.0.0.1
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ADD_FAILURE() << "datagram not sent";
    }
    int SendTo(SocketHandle s, const void* d, std::size_t n, std::uint32_t ip, std::uint16_t port) {
        return Veltrix::SendTo(s, d, n, ip, port);
    }

    // Packetizes every unit; `impair` may drop, duplicate and reorder the datagrams of each.
    void Stream(const std::vector<EncodedUnit>& units, std::uint16_t port,
                const std::function<void(std::size_t, std::vector<std::vector<std::uint8_t>>&)>& impair) {
        std::vector<std::vector<std::uint8_t>> previous;
        for (std::size_t i = 0; i < units.size(); ++i) {
            FrameGroup g;
            ASSERT_TRUE(PacketizeGroup(kStreamTypeVideo, units[i].keyFrame, VideoParityCount(units[i].bytes.size()),
                                       frameNumber_++, seq_, static_cast<std::uint32_t>(i * 33333),
                                       units[i].bytes.data(), units[i].bytes.size(), true, g));
            auto datagrams = g.datagrams;
            if (impair) impair(i, datagrams);
            for (const auto& d : datagrams) SendTo(port, d);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    PluginSide plugin_;
    std::filesystem::path tmp_;
    std::atomic<bool> stop_{false};
    SocketHandle sender_ = kInvalid;
    std::uint16_t frameNumber_ = 65530;  // wraps during the stream
    std::uint32_t seq_ = 0;
};

TEST_F(PhoneSessionTest, PairsWithTheCodeThenReconnectsTrustedAndTalksBothWays) {
    const auto tokens = tmp_ / "tokens";
    auto o = PhoneFor(plugin_, tokens);
    o.send = {"codec hevc", "play-pause", "snapshot 720 h264 long quality x264"};
    {
        PhoneIo io;
        auto s = StartPaired(o, io);
        EXPECT_FALSE(s->trustedReconnect());
        EXPECT_EQ(s->token().size(), 64u);
        ASSERT_TRUE(Eventually([&] { return plugin_.net->PeerKnown(); }));
        // Plug-in -> phone: every message arrives as an event.
        ASSERT_TRUE(plugin_.net->SendControl(kStreamInfo, BuildStreamInfo(1280, 720, 30, 340000).data(), 10));
        const auto info = BuildEncoderInfo("libx264 (software)");
        ASSERT_TRUE(plugin_.net->SendControl(kEncoderInfo, info.data(), info.size()));
        ASSERT_TRUE(plugin_.net->SendControl(kSettingAck, BuildOneByte(kSetCodec).data(), 1));
        ASSERT_TRUE(Eventually([&] { return s->Snapshot().acks.size() == 1; }));
        const auto snap = s->Snapshot();
        EXPECT_EQ(snap.lastStreamInfo.width, 1280u);
        EXPECT_EQ(snap.encoderInfo, "libx264 (software)");
        EXPECT_EQ(snap.events.at(kTransmitState), 1u);  // sent by the plug-in right after pairing
        // Phone -> plug-in: the commands reached the reader in order with their payloads.
        ASSERT_TRUE(Eventually([&] { return plugin_.Received().size() >= 3; }));
        const auto got = plugin_.Received();
        EXPECT_EQ(got[0], (std::pair<std::uint8_t, std::vector<std::uint8_t>>{kSetCodec, {0}}));
        EXPECT_EQ(got[1].first, 0x20);
        EXPECT_EQ(got[2], (std::pair<std::uint8_t, std::vector<std::uint8_t>>{
                              kAppSettingsSnapshot, {0xD0, 0x02, 1, 3, 1, 4, 'x', '2', '6', '4'}}));
        s->Stop();
        EXPECT_NE(io.out.str().find("stream 1280x720 @ 30 fps"), std::string::npos);
        EXPECT_NE(io.out.str().find("(code accepted)"), std::string::npos);
    }
    ASSERT_TRUE(Eventually([&] { return !plugin_.net->PeerKnown(); }));
    o.send.clear();
    {
        PhoneIo io;
        phone::PhoneSession s(o, io.Make([] { return std::nullopt; }));  // no code available
        std::string err;
        int code = 0;
        ASSERT_TRUE(s.Start(stop_, &err, &code)) << err;
        EXPECT_TRUE(s.trustedReconnect());
        s.Stop();
    }
    EXPECT_EQ(plugin_.dialog.shown, 1);
    // A wrong code: rejected, a clear error, exit status 1.
    ASSERT_TRUE(Eventually([&] { return !plugin_.net->PeerKnown(); }));
    o.forgetToken = true;
    {
        PhoneIo io;
        phone::PhoneSession s(o, io.Make([this]() -> std::optional<std::string> {
            auto c = plugin_.WaitCode();
            if (c) (*c)[0] = (*c)[0] == '9' ? '8' : '9';
            return c;
        }));
        std::string err;
        int code = 0;
        EXPECT_FALSE(s.Start(stop_, &err, &code));
        EXPECT_EQ(code, 1);
        EXPECT_NE(err.find("rejected"), std::string::npos) << err;
    }
}

TEST_F(PhoneSessionTest, RepairsALossyReorderedStreamAndReadsEveryStamp) {
    const auto units = EncodeStampedH264(40, 320, 180, 10, 
        // Pushed "earlier" than sent, so every push-to-decode latency is positive.
        static_cast<std::uint64_t>(phone::MicrosOf(Clock::Real().Now()) - 3'000'000));
    if (units.empty()) GTEST_SKIP() << "no libx264";
    auto o = PhoneFor(plugin_, tmp_ / "tokens");
    o.saveAnnexB = (tmp_ / "stream.h264").string();
    o.savePngDir = (tmp_ / "png").string();
    o.pngEvery = 10;
    PhoneIo io;
    auto s = StartPaired(o, io);
    std::mt19937 rng(7);
    std::vector<std::vector<std::uint8_t>> heldBack;
    Stream(units, s->videoPort(), [&](std::size_t i, std::vector<std::vector<std::uint8_t>>& d) {
        const std::size_t data = (units[i].bytes.size() + 1439) / 1440;
        const std::size_t parity = d.size() - data;
        std::shuffle(d.begin(), d.end(), rng);   // any order inside the frame
        d.resize(d.size() - parity);             // as many lost as there is parity
        d.push_back(d.front());                  // one copy
        if (i % 7 == 3) {                        // this frame overtaken by the next
            heldBack = d;
            d.clear();
        } else if (!heldBack.empty()) {
            d.insert(d.end(), heldBack.begin(), heldBack.end());
            heldBack.clear();
        }
    });
    ASSERT_TRUE(Eventually([&] { return s->Snapshot().decoded == units.size(); }))
        << "decoded " << s->Snapshot().decoded;
    s->Stop();
    const auto snap = s->Snapshot();
    EXPECT_EQ(snap.video.framesLost, 0u);
    EXPECT_GT(snap.video.framesRepaired, 10u);
    EXPECT_EQ(snap.video.repairFailures, 0u);
    EXPECT_EQ(snap.decodeErrors, 0u);
    EXPECT_EQ(snap.codec, phone::VideoCodec::kH264);
    EXPECT_EQ(snap.width, 320);
    EXPECT_EQ(snap.stampsRead, units.size());
    ASSERT_TRUE(snap.lastStamp);
    EXPECT_EQ(*snap.lastStamp, units.back().stamp);
    // Frames rebuilt wholly from parity carry no send time.
    EXPECT_GT(snap.sendLatency.count, units.size() / 2);
    // The first pictures were stamped 3 s before they were sent (the later ones later;
    // a slow machine only sends later still).
    EXPECT_GT(snap.hostTime.count, 0u);
    EXPECT_GT(snap.hostTime.maxMs, 2800);
    EXPECT_EQ(snap.stampLatency.count, units.size());
    EXPECT_EQ(snap.decodeTime.count, units.size());
    EXPECT_EQ(snap.reassembly.count, units.size());
    EXPECT_EQ(snap.idrRequests, 0u);
    // The saved stream is the encoder's output, unit after unit.
    std::vector<std::uint8_t> expected;
    for (const auto& u : units) expected.insert(expected.end(), u.bytes.begin(), u.bytes.end());
    std::ifstream in(o.saveAnnexB, std::ios::binary);
    std::vector<std::uint8_t> saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, expected);
    EXPECT_EQ(snap.pngsSaved, 4u);
    std::ifstream png(tmp_ / "png" / "frame-000011.png", std::ios::binary);
    char sig[8] = {};
    png.read(sig, 8);
    EXPECT_EQ(std::string(sig + 1, 3), "PNG");
    const std::string summary = s->SummaryText(snap);
    EXPECT_NE(summary.find("0 frames lost"), std::string::npos) << summary;
}

// The frames (at least 2 ms apart) before 30 ms have passed since the first one
// are left out of every figure; the later ones are all in.
TEST_F(PhoneSessionTest, WarmupLeavesTheFirstFramesOutOfTheFigures) {
    const auto units = EncodeStampedH264(40, 320, 180, 10,
        static_cast<std::uint64_t>(phone::MicrosOf(Clock::Real().Now()) - 3'000'000));
    if (units.empty()) GTEST_SKIP() << "no libx264";
    auto o = PhoneFor(plugin_, tmp_ / "tokens");
    o.warmup = 0.03;
    PhoneIo io;
    auto s = StartPaired(o, io);
    Stream(units, s->videoPort(), {});
    ASSERT_TRUE(Eventually([&] { return s->Snapshot().stampLatency.count > 0; }));
    s->Stop();
    const auto snap = s->Snapshot();
    EXPECT_GT(snap.video.framesComplete, 0u);
    EXPECT_LT(snap.video.framesComplete, units.size());
    EXPECT_EQ(snap.frames, snap.video.framesComplete);
    EXPECT_EQ(snap.decodeTime.count, snap.frames);
    EXPECT_LT(snap.measuredSeconds, snap.seconds);
}

TEST_F(PhoneSessionTest, UnrepairableLossWaitsForTheNextKeyFrameAndAsksForOne) {
    const auto units = EncodeStampedH264(30, 320, 180, 10);
    if (units.empty()) GTEST_SKIP() << "no libx264";
    std::size_t nextKey = 13;
    while (nextKey < units.size() && !units[nextKey].keyFrame) ++nextKey;
    ASSERT_LT(nextKey, units.size());
    ASSERT_FALSE(units[12].keyFrame);
    auto o = PhoneFor(plugin_, tmp_ / "tokens");
    o.json = true;
    PhoneIo io;
    auto s = StartPaired(o, io);
    Stream(units, s->videoPort(), [&](std::size_t i, std::vector<std::vector<std::uint8_t>>& d) {
        if (i == 12) d.resize(d.size() > 2 ? 1 : 0);  // beyond what parity can rebuild
    });
    const std::size_t expectDecoded = units.size() - (nextKey - 12);
    ASSERT_TRUE(Eventually([&] { return s->Snapshot().decoded == expectDecoded; }))
        << "decoded " << s->Snapshot().decoded << " of " << expectDecoded;
    ASSERT_TRUE(Eventually([&] { return plugin_.Got(kRequestIDR); }));
    s->Stop();
    const auto snap = s->Snapshot();
    EXPECT_EQ(snap.video.framesLost, 1u);
    EXPECT_EQ(snap.skippedAwaitingKey, nextKey - 13);
    EXPECT_EQ(snap.decodeErrors, 0u);
    EXPECT_GE(snap.idrRequests, 1u);
    const std::string summary = s->SummaryText(snap);
    EXPECT_EQ(summary.rfind("{\"type\":\"summary\"", 0), 0u) << summary;
    EXPECT_NE(summary.find("\"frames_lost\":1"), std::string::npos);
}

}  // namespace
}  // namespace Veltrix
