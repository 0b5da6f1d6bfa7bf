// The phone's reading of every plug-in message (built by the plug-in's own
// builders), its commands, token file and command line.
#include <gtest/gtest.h>

#include <cstring>

#include "network/control_protocol.h"
#include "tests/testing/test_env.h"
#include "vx-phone/control_client.h"
#include "vx-phone/phone_options.h"
#include "vx-phone/token_store.h"
#include "vx-phone/video_decoder.h"

namespace Veltrix::phone {
namespace {

// A byte stream in memory behind the reader's recv function.
struct Wire {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    void Add(std::uint8_t op, const std::vector<std::uint8_t>& payload = {}) {
        bytes.push_back(op);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
    RecvFunction Recv() {
        return [this](void* out, std::size_t n) {
            if (bytes.size() - at < n) return false;
            std::memcpy(out, bytes.data() + at, n);
            at += n;
            return true;
        };
    }
};

TEST(PhoneControl, ReadsEveryPluginMessage) {
    Wire w;
    w.Add(kHeartbeat);
    w.Add(kStreamInfo, BuildStreamInfo(70000, 720, 30, 340000));
    w.Add(kSourceChanged, BuildSourceChanged(1920, 1080, 29.97f));
    w.Add(kSettingAck, BuildOneByte(kSetCodec));
    w.Add(kPlaybackState, BuildOneByte(1));
    w.Add(kTransmitState, BuildOneByte(0));
    w.Add(kAudioState, BuildOneByte(1));
    w.Add(kHostPlatform, BuildHostPlatform());
    w.Add(kEncoderInfo, BuildEncoderInfo("libx264 (software)"));
    w.Add(kEncoderEngineList, BuildEncoderEngineList({{"auto", "Automatic", ""}, {"x264", "libx264", "software"}}));
    w.Add(kPairChallenge);
    w.Add(kPairAccepted, BuildShortString("abc"));
    w.Add(kPairRejected);
    const auto recv = w.Recv();
    std::vector<ControlEvent> events;
    ControlEvent e;
    while (ReadControlEvent(recv, e) == EventRead::kEvent) events.push_back(e);
    ASSERT_EQ(events.size(), 13u);
    EXPECT_EQ(events[1].width, 65535u);  // the sender's clamp
    EXPECT_EQ(events[1].height, 720u);
    EXPECT_EQ(events[1].fps, 30u);
    EXPECT_EQ(events[1].frameSizeCap, 340000u);
    EXPECT_EQ(DescribeEvent(events[1]), "stream 65535x720 @ 30 fps, frame cap 340000 B");
    EXPECT_EQ(events[2].width, 1920u);
    EXPECT_FLOAT_EQ(events[2].fpsExact, 29.97f);
    EXPECT_EQ(events[2].fps, 30u);
    EXPECT_EQ(DescribeEvent(events[3]), "setting acknowledged: 0x05 (SetCodec)");
    EXPECT_EQ(DescribeEvent(events[4]), "host playing");
    EXPECT_EQ(DescribeEvent(events[5]), "host not transmitting");
    EXPECT_EQ(DescribeEvent(events[7]), "host platform Windows (x86_64)");
    EXPECT_EQ(events[8].text, "libx264 (software)");
    ASSERT_EQ(events[9].engines.size(), 2u);
    EXPECT_EQ(events[9].engines[1].detail, "software");
    EXPECT_FALSE(events[9].listCut);
    EXPECT_EQ(events[11].text, "abc");
    EXPECT_EQ(DescribeEvent(events[11]), "pairing accepted");  // never the token
}

TEST(PhoneControl, CutEngineListUnknownOpcodeAndTruncation) {
    std::vector<EngineEntry> many;
    for (int i = 0; i < 20; ++i) many.push_back({"engine-" + std::to_string(i), "Label " + std::to_string(i), "detail"});
    Wire w;
    w.Add(kEncoderEngineList, BuildEncoderEngineList(many));  // over 255 bytes: cut by the sender
    ControlEvent e;
    ASSERT_EQ(ReadControlEvent(w.Recv(), e), EventRead::kEvent);
    EXPECT_TRUE(e.listCut);
    EXPECT_GT(e.engines.size(), 3u);
    EXPECT_LT(e.engines.size(), 20u);

    Wire bad;
    bad.Add(0x01);  // a phone opcode never comes from the plug-in
    EXPECT_EQ(ReadControlEvent(bad.Recv(), e), EventRead::kUnknownOpcode);
    Wire cut;
    cut.Add(kStreamInfo, {1, 2, 3});
    EXPECT_EQ(ReadControlEvent(cut.Recv(), e), EventRead::kTruncated);
    Wire empty;
    EXPECT_EQ(ReadControlEvent(empty.Recv(), e), EventRead::kClosed);
}

TEST(PhoneControl, CommandsFromNamesAndArguments) {
    std::string err;
    auto c = [&](const std::string& text) {
        auto r = ParsePhoneCommand(text, &err);
        return r ? std::make_pair(r->opcode, r->payload) : std::make_pair(std::uint8_t{0xFF}, std::vector<std::uint8_t>{});
    };
    using V = std::vector<std::uint8_t>;
    EXPECT_EQ(c("idr"), std::make_pair(std::uint8_t{0x01}, V{}));
    EXPECT_EQ(c("codec hevc"), std::make_pair(std::uint8_t{0x05}, V{0}));
    EXPECT_EQ(c("SetCodec 1"), std::make_pair(std::uint8_t{0x05}, V{1}));
    EXPECT_EQ(c("gop long"), std::make_pair(std::uint8_t{0x04}, V{3}));
    EXPECT_EQ(c("maxres 1080"), std::make_pair(std::uint8_t{0x07}, V{0x38, 0x04}));
    EXPECT_EQ(c("mode quality 80"), std::make_pair(std::uint8_t{0x08}, V{1, 80}));
    EXPECT_EQ(c("engine x264"), std::make_pair(std::uint8_t{0x13}, V{4, 'x', '2', '6', '4'}));
    EXPECT_EQ(c("engine"), std::make_pair(std::uint8_t{0x13}, V{0}));
    EXPECT_EQ(c("snapshot 1080 h264 long quality"), std::make_pair(std::uint8_t{0x18}, V{0x38, 0x04, 1, 3, 1, 0}));
    EXPECT_EQ(c("step-back-5"), std::make_pair(std::uint8_t{0x24}, V{}));
    EXPECT_EQ(c("l"), std::make_pair(std::uint8_t{0x29}, V{}));
    EXPECT_EQ(c("marker SELFTEST  pacer "), std::make_pair(std::uint8_t{0x40},
                                                           V{16, 'S', 'E', 'L', 'F', 'T', 'E', 'S', 'T', ' ', ' ', 'p', 'a', 'c', 'e', 'r', ' '}));
    EXPECT_EQ(c("ReceiverReport").second.size(), 24u);
    EXPECT_EQ(c("SetBitrate 1 2"), std::make_pair(std::uint8_t{0x02}, V{1, 2, 0, 0}));
    EXPECT_EQ(c("raw 0x7f 01 ff"), std::make_pair(std::uint8_t{0x7F}, V{1, 0xFF}));
    for (const char* badText : {"", "codec vp9", "maxres 70000", "mode fast", "SetCodec 1 2", "play-pause now", "fly"}) {
        EXPECT_FALSE(ParsePhoneCommand(badText, &err)) << badText;
        EXPECT_FALSE(err.empty());
    }
    // The hello carries each field cut to its limit.
    const auto hello = BuildClientHello(std::string(70, 'i'), "n", "");
    EXPECT_EQ(hello[0], 0x30);
    EXPECT_EQ(hello[1], 64);
    EXPECT_EQ(hello.size(), 1u + 1 + 64 + 1 + 1 + 1);
}

TEST(PhoneTokens, KeptPerHostAndIdAcrossRuns) {
    const auto dir = testing::MakeTempDir("phone-tokens");
    const auto file = dir / "sub" / "tokens";
    std::string err;
    std::string id;
    {
        TokenStore s(file);
        ASSERT_TRUE(s.Load(&err));  // missing file: empty
        id = s.PhoneId();
        EXPECT_EQ(id.size(), 36u);
        s.SetToken("127.0.0.1:47100", id, "t1");
        s.SetToken("127.0.0.1:47130", id, "t2");
        s.SetToken("127.0.0.1:47100", id, "t3");  // replaces
        s.SetToken("bad host", id, "t4");          // not storable
        ASSERT_TRUE(s.Save(&err)) << err;
    }
    TokenStore again(file);
    ASSERT_TRUE(again.Load(&err));
    EXPECT_EQ(again.PhoneId(), id);
    EXPECT_EQ(again.TokenFor("127.0.0.1:47100", id), "t3");
    EXPECT_EQ(again.TokenFor("127.0.0.1:47130", id), "t2");
    EXPECT_EQ(again.TokenFor("127.0.0.1:47100", "other-id"), "");
    again.ForgetToken("127.0.0.1:47130", id);
    EXPECT_EQ(again.TokenFor("127.0.0.1:47130", id), "");
    std::filesystem::remove_all(dir);
}

TEST(PhoneOptions, ParsesAndNamesTheBadOption) {
    std::string err;
    auto o = ParsePhoneOptions({"--host", "10.0.0.2", "--port=47130", "--code", "012345", "--seconds", "2.5", "--json",
                                "--send", "codec hevc", "--send", "idr", "--save-png", "/tmp/x", "--png-every", "5",
                                "--video-port", "5000"},
                               &err);
    ASSERT_TRUE(o) << err;
    EXPECT_EQ(o->host, "10.0.0.2");
    EXPECT_EQ(o->port, 47130);
    EXPECT_EQ(o->code, "012345");
    EXPECT_DOUBLE_EQ(o->seconds, 2.5);
    EXPECT_TRUE(o->json);
    EXPECT_EQ(o->send.size(), 2u);
    EXPECT_EQ(o->pngEvery, 5);
    EXPECT_EQ(o->videoPort, 5000);
    EXPECT_EQ(o->audioPort, 47102);
    // The plug-in always sends to 47101 and 47102: port 0 would wait in silence.
    EXPECT_FALSE(ParsePhoneOptions({"--audio-port", "0"}, &err));
    EXPECT_EQ(err, "--audio-port 0 would never receive anything: the plug-in always sends audio to port 47102");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--code", "12345"}, {"--port", "0"}, {"--port"}, {"--seconds", "-1"},
          {"--send", "warp 9"}, {"--frobnicate"}, {"--id", std::string(65, 'x')}}) {
        EXPECT_FALSE(ParsePhoneOptions(bad, &err));
        EXPECT_NE(err.find(bad[0]), std::string::npos) << err;
    }
    EXPECT_NE(PhoneUsageText().find("--save-annexb FILE"), std::string::npos);
}

TEST(PhoneCodec, DetectsFromTheFirstUnits) {
    const std::uint8_t avcSps[] = {0, 0, 0, 1, 0x67, 100, 0, 31};
    const std::uint8_t avcSlice[] = {0, 0, 1, 0x41, 0x9a, 0x00};
    const std::uint8_t hevcVps[] = {0, 0, 0, 1, 0x40, 0x01, 0x0c};
    const std::uint8_t hevcIdr[] = {0, 0, 1, 0x26, 0x01, 0xaf};
    const std::uint8_t junk[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(DetectCodec(avcSps, sizeof avcSps), VideoCodec::kH264);
    EXPECT_EQ(DetectCodec(avcSlice, sizeof avcSlice), VideoCodec::kH264);
    EXPECT_EQ(DetectCodec(hevcVps, sizeof hevcVps), VideoCodec::kHevc);
    EXPECT_EQ(DetectCodec(hevcIdr, sizeof hevcIdr), VideoCodec::kHevc);
    EXPECT_EQ(DetectCodec(junk, sizeof junk), VideoCodec::kUnknown);
    EXPECT_EQ(DetectCodec(nullptr, 0), VideoCodec::kUnknown);
}

}  // namespace
}  // namespace Veltrix::phone
