#include "network/control_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

namespace Veltrix {
namespace {

TEST(ControlProtocol, PayloadLayouts) {
    const auto info = BuildStreamInfo(70000, 1080, 60, 340000);
    EXPECT_EQ(info, (std::vector<std::uint8_t>{0xff, 0xff, 0x38, 0x04, 60, 0, 0x20, 0x30, 0x05, 0x00}));
    const auto changed = BuildSourceChanged(70000, 720, 29.97f);
    ASSERT_EQ(changed.size(), 8u);
    EXPECT_EQ(changed[0], 0xff);
    float fps;
    std::memcpy(&fps, changed.data() + 4, 4);
    EXPECT_FLOAT_EQ(fps, 29.97f);
    const auto desc = BuildEncoderInfo(std::string(300, 'x'));
    EXPECT_EQ(desc.size(), 201u);
    EXPECT_EQ(desc[0], 200);
    EXPECT_EQ(BuildHostPlatform(), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_TRUE(AllowedBeforePairing(0x09));
    EXPECT_TRUE(AllowedBeforePairing(0x34));
    EXPECT_FALSE(AllowedBeforePairing(0x06));
}

TEST(ControlProtocol, EngineList) {
    const auto list = BuildEncoderEngineList({{"a", "A", ""}, {"b", "B", "d"}, {"c", "C", ""}});
    EXPECT_EQ(list.size(), static_cast<std::size_t>(list[0]) + 1);
    EXPECT_EQ(list[1], 3);
    EXPECT_EQ(list[2], 1);
    EXPECT_EQ(list[3], 'a');
    std::vector<EngineEntry> many(20, EngineEntry{std::string(20, 'i'), "label", "detail"});
    std::size_t full = 0;
    const auto cut = BuildEncoderEngineList(many, &full);
    EXPECT_EQ(full, 1u + 20u * (1 + 20 + 1 + 5 + 1 + 6));  // what the sender logs as cut
    EXPECT_EQ(cut.size(), 256u);
    EXPECT_EQ(cut[0], 255);
    EXPECT_EQ(cut[1], 20);
}

ReadResult ReadFrom(const std::vector<std::uint8_t>& bytes, InboundMessage& m) {
    std::size_t pos = 0;
    return ReadInboundMessage(
        [&](void* buf, std::size_t n) {
            if (bytes.size() - pos < n) return false;
            std::memcpy(buf, bytes.data() + pos, n);
            pos += n;
            return true;
        },
        m);
}

TEST(ControlProtocol, ReaderSizesAndFailures) {
    InboundMessage m;
    EXPECT_EQ(ReadFrom({0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, m), ReadResult::kTruncated);
    EXPECT_EQ(ReadFrom({0x7F}, m), ReadResult::kUnknownOpcode);
    EXPECT_EQ(ReadFrom({0x30}, m), ReadResult::kUnknownOpcode);
    EXPECT_EQ(ReadFrom({0x00}, m), ReadResult::kUnknownOpcode);
    EXPECT_EQ(ReadFrom({}, m), ReadResult::kDisconnected);
    EXPECT_EQ(ReadFrom({0x40, 0}, m), ReadResult::kMessage);
    EXPECT_EQ(m.payload, std::vector<std::uint8_t>{0});
    EXPECT_EQ(ReadFrom({0x18, 0x38, 0x04, 1, 3, 1, 2, 'h'}, m), ReadResult::kTruncated);
    EXPECT_EQ(ReadFrom({0x07, 0x38, 0x04}, m), ReadResult::kMessage);
    EXPECT_EQ(m.payload.size(), 2u);
    EXPECT_EQ(ReadFrom({0x0E, 1}, m), ReadResult::kTruncated);
}

}  // namespace
}  // namespace Veltrix
