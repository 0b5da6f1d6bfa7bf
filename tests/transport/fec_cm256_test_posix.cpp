// Our encoder and cm256cc over many random frames, byte for byte.
#include <cm256cc/cm256.h>
#include <gtest/gtest.h>

#include <random>

#include "transport/cauchy_encoder.h"
#include "transport/fec.h"

namespace Veltrix {
namespace {

TEST(CauchyVsCm256, RandomFramesIdentical) {
    ASSERT_TRUE(FecAvailable());
    std::mt19937 rng(12345);
    std::vector<uint8_t> data, a, b;
    for (int round = 0; round < 300; ++round) {
        const int d = 1 + static_cast<int>(rng() % 255);
        int p = d == 1 ? 1 : 1 + static_cast<int>(rng() % std::min(63, 256 - d));
        data.resize(static_cast<std::size_t>(d) * kFecBlockBytes);
        for (auto& x : data) x = static_cast<uint8_t>(rng());
        a.assign(static_cast<std::size_t>(p) * kFecBlockBytes, 0);
        b.assign(a.size(), 1);
        ASSERT_EQ(FecEncode(data.data(), d, p, a.data()), 0);
        ASSERT_EQ(CauchyEncode(data.data(), d, p, kFecBlockBytes, b.data()), 0);
        ASSERT_EQ(a, b) << "D=" << d << " P=" << p;
    }
}

}  // namespace
}  // namespace Veltrix
