// What the phone does: rebuild a frame with cm256cc after losing fragments.
#include <cm256cc/cm256.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/transport/datagram_parse.h"
#include "tests/transport/reference_gf.h"
#include "transport/packetizer.h"

namespace Veltrix {
namespace {

TEST(PacketizeDecode, AnyPLostFragmentsRecoverable) {
    static CM256 codec;  // one, built once
    ASSERT_TRUE(codec.isInitialized());
    std::mt19937 rng(4242);
    for (std::size_t len : {std::size_t{1}, std::size_t{1441}, std::size_t{14400}, std::size_t{100000},
                            std::size_t{288000}, std::size_t{250 * 1440 - 3}}) {
        const int p = VideoParityCount(len);
        auto data = testing::SeededBytes(static_cast<uint32_t>(len), len);
        uint32_t seq = 0;
        FrameGroup g;
        ASSERT_TRUE(PacketizeGroup(kStreamTypeVideo, true, p, 0, seq, 0, data.data(), len, true, g));
        const int d = static_cast<int>((len + 1439) / 1440);
        for (int trial = 0; trial < 5; ++trial) {
            std::vector<int> order(static_cast<std::size_t>(d + p));
            for (int i = 0; i < d + p; ++i) order[static_cast<std::size_t>(i)] = i;
            std::shuffle(order.begin(), order.end(), rng);
            order.resize(static_cast<std::size_t>(d));  // keep any D of them, P lost
            std::vector<std::vector<uint8_t>> storage;
            std::vector<CM256::cm256_block> blocks;
            uint16_t lastLen = 0;
            for (int idx : order) {
                auto x = testing::Parse(g.datagrams[static_cast<std::size_t>(idx)]);
                std::vector<uint8_t> block(1440, 0);
                if (idx < d) {
                    std::memcpy(block.data(), x.payload(), x.length);
                } else {
                    lastLen = testing::Get16(x.payload());
                    std::memcpy(block.data(), x.payload() + 2, 1440);
                }
                storage.push_back(std::move(block));
            }
            for (std::size_t i = 0; i < storage.size(); ++i) {
                blocks.push_back({storage[i].data(), static_cast<unsigned char>(order[i])});
            }
            CM256::cm256_encoder_params params{d, p, 1440};
            ASSERT_EQ(codec.cm256_decode(params, blocks.data()), 0);
            std::vector<uint8_t> rebuilt(static_cast<std::size_t>(d) * 1440);
            for (auto& b : blocks) std::memcpy(rebuilt.data() + b.Index * 1440u, b.Block, 1440);
            if (lastLen) {
                EXPECT_EQ(lastLen, len - static_cast<std::size_t>(d - 1) * 1440);
            }
            ASSERT_EQ(std::memcmp(rebuilt.data(), data.data(), len), 0) << "len=" << len << " trial=" << trial;
        }
    }
}

}  // namespace
}  // namespace Veltrix
