// Our Cauchy encoder against the field formula and against cm256cc's own output
// (checked-in vectors), on every platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "tests/transport/reference_gf.h"
#include "transport/cauchy_encoder.h"
#include "transport/fec.h"

namespace Veltrix {
namespace {

std::vector<uint8_t> ReadVectors() {
    std::ifstream in(VX_FEC_VECTORS, std::ios::binary);
    if (!in) in.open(std::string("Z:") + VX_FEC_VECTORS, std::ios::binary);  // Wine drive mapping
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(CauchyEncoder, FieldMatchesReference) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            ASSERT_EQ(GfMul(a, b), testing::RefMul(a, b)) << a << "*" << b;
        }
        if (a) {
            EXPECT_EQ(GfMul(a, GfDiv(1, a)), 1);
        }
    }
}

TEST(CauchyEncoder, EveryKernelGivesTheSameBlocks) {
    // Odd block sizes reach each kernel's stripe tails and the scalar remainder.
    for (int bytes : {1440, 100, 33, 7}) {
        for (int d : {2, 5, 200}) {
            auto data = testing::SeededBytes(static_cast<uint32_t>(d * 1000 + bytes), static_cast<std::size_t>(d) * bytes);
            const int p = d == 200 ? 20 : 7;
            std::vector<uint8_t> ref(static_cast<std::size_t>(p) * bytes);
            ASSERT_EQ(detail::CauchyEncodeWith(CauchyKernel::kScalar, data.data(), d, p, bytes, ref.data()), 0);
            for (auto k : {CauchyKernel::kSsse3, CauchyKernel::kAvx2}) {
                std::vector<uint8_t> out(ref.size(), 0xA5);
                const int rc = detail::CauchyEncodeWith(k, data.data(), d, p, bytes, out.data());
                if (rc == -4) continue;  // not on this processor
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(out, ref) << CauchyKernelName(k) << " D=" << d << " bytes=" << bytes;
            }
        }
    }
}

TEST(CauchyEncoder, MatchesCm256Vectors) {
    const auto file = ReadVectors();
    std::size_t expected = 0;
    for (const auto& c : testing::kVectorCases) expected += static_cast<std::size_t>(c.p) * kFecBlockBytes;
    ASSERT_EQ(file.size(), expected) << "vector file " << VX_FEC_VECTORS;
    std::size_t offset = 0;
    int n = 0;
    for (const auto& c : testing::kVectorCases) {
        auto data = testing::SeededBytes(static_cast<uint32_t>(++n), static_cast<std::size_t>(c.d) * kFecBlockBytes);
        std::vector<uint8_t> ours(static_cast<std::size_t>(c.p) * kFecBlockBytes);
        ASSERT_EQ(CauchyEncode(data.data(), c.d, c.p, kFecBlockBytes, ours.data()), 0);
        EXPECT_TRUE(std::equal(ours.begin(), ours.end(), file.begin() + static_cast<std::ptrdiff_t>(offset)))
            << "D=" << c.d << " P=" << c.p;
        // The seam in use on this platform gives the same blocks.
        std::vector<uint8_t> seam(ours.size());
        ASSERT_EQ(FecEncode(data.data(), c.d, c.p, seam.data()), 0);
        EXPECT_EQ(seam, ours);
        offset += ours.size();
    }
}

TEST(CauchyEncoder, FormulaForD2AndUp) {
    for (int d : {2, 3, 17, 100, 255 - 63}) {
        auto data = testing::SeededBytes(static_cast<uint32_t>(d) * 31u, static_cast<std::size_t>(d) * 64);
        const int p = std::min(63, 256 - d);
        std::vector<uint8_t> rec(static_cast<std::size_t>(p) * 64);
        ASSERT_EQ(CauchyEncode(data.data(), d, p, 64, rec.data()), 0);
        for (int i = 0; i < p; ++i) {
            auto ref = testing::RefRecovery(data.data(), static_cast<unsigned>(d), static_cast<unsigned>(i), 64);
            ASSERT_TRUE(std::equal(ref.begin(), ref.end(), rec.begin() + i * 64)) << "D=" << d << " i=" << i;
        }
    }
}

TEST(CauchyEncoder, RejectsBadCounts) {
    uint8_t buf[16] = {};
    EXPECT_EQ(CauchyEncode(buf, 0, 1, 16, buf), -1);
    EXPECT_EQ(CauchyEncode(buf, 1, 0, 16, buf), -1);
    EXPECT_EQ(CauchyEncode(buf, 200, 57, 16, buf), -2);
    EXPECT_EQ(CauchyEncode(nullptr, 1, 1, 16, buf), -3);
}

}  // namespace
}  // namespace Veltrix
