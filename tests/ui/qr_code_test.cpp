#include "ui/qr_code.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace Veltrix {
namespace {

TEST(QrCode, PicksTheSmallestVersionAndRefusesWhatVersion40CannotHold) {
    EXPECT_EQ(EncodeQrText(std::string(6, 'a')).version, 1);
    EXPECT_EQ(EncodeQrText(std::string(6, 'a')).size, 21);
    EXPECT_EQ(EncodeQrText(std::string(7, 'a')).version, 2);
    const QrCode largest = EncodeQrText(std::string(1272, 'x'));
    EXPECT_EQ(largest.version, 40);
    EXPECT_EQ(largest.size, 177);
    EXPECT_EQ(largest.modules.size(), 177u * 177u);
    const QrCode none = EncodeQrText(std::string(1273, 'x'));
    EXPECT_EQ(none.size, 0);
    EXPECT_EQ(none.version, 0);
    EXPECT_TRUE(none.modules.empty());
    EXPECT_FALSE(IsQrModuleDark(none, 0, 0));
}

TEST(QrCode, FunctionPatternsSitWhereTheStandardPutsThem) {
    const QrCode code = EncodeQrText("veltrix://pair?v=3&id=abc&name=Studio%20PC");
    ASSERT_GT(code.size, 0);
    const int s = code.size;
    // Finder corners dark, separators light, the dark module, timing alternates.
    for (auto [x, y] : {std::pair{0, 0}, {s - 1, 0}, {0, s - 1}, {3, 3}, {s - 4, 3}, {8, s - 8}}) {
        EXPECT_TRUE(IsQrModuleDark(code, x, y)) << x << "," << y;
    }
    for (auto [x, y] : {std::pair{7, 7}, {s - 8, 0}, {7, s - 1}, {1, 1}}) {
        EXPECT_FALSE(IsQrModuleDark(code, x, y)) << x << "," << y;
    }
    for (int i = 8; i <= s - 9; ++i) {
        EXPECT_EQ(IsQrModuleDark(code, i, 6), i % 2 == 0);
        EXPECT_EQ(IsQrModuleDark(code, 6, i), i % 2 == 0);
        EXPECT_EQ(code.functionFlags[6 * s + i], 1);
    }
    EXPECT_FALSE(IsQrModuleDark(code, -1, 0));
    EXPECT_FALSE(IsQrModuleDark(code, s, 0));
}

TEST(QrCode, RendersWithTwoModulesOfQuietZoneAndACentringOffset) {
    const QrCode code = EncodeQrText(std::string(20, 'q'));
    ASSERT_EQ(code.version, 3);
    const QrLayout layout = QrLayoutFor(code, 200);
    EXPECT_EQ(layout.scale, 6);
    EXPECT_EQ(layout.offset, 1);
    const RgbaImage image = RenderQrToRgba(code, 200);
    ASSERT_EQ(image.width, 200);
    ASSERT_EQ(image.pixels.size(), 200u * 200u * 4u);
    const auto pixel = [&](int x, int y) { return &image.pixels[(static_cast<std::size_t>(y) * 200 + x) * 4]; };
    // Module (0, 0) is dark: its square starts at (2 * 6 + 1, 2 * 6 + 1).
    EXPECT_EQ(pixel(13, 13)[0], 0);
    EXPECT_EQ(pixel(18, 18)[0], 0);
    EXPECT_EQ(pixel(13, 13)[3], 255);
    EXPECT_EQ(pixel(12, 13)[0], 255);
    EXPECT_EQ(pixel(0, 0)[3], 255);
    EXPECT_EQ(RenderQrToRgba(code, code.size + 3).width, 0);
    EXPECT_EQ(RenderQrToRgba(code, code.size + 4).width, code.size + 4);
    EXPECT_EQ(RenderQrToRgba(QrCode{}, 200).width, 0);
}

TEST(QrCode, ConcurrentFirstEncodesAgree) {
    std::vector<QrCode> codes(4);
    std::vector<std::thread> threads;
    for (auto& c : codes) threads.emplace_back([&c] { c = EncodeQrText("concurrent first use"); });
    for (auto& t : threads) t.join();
    for (const auto& c : codes) EXPECT_EQ(c.modules, codes[0].modules);
}

}  // namespace
}  // namespace Veltrix
