#include "testpattern/test_pattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace Veltrix {
namespace {

struct Picture {
    Picture(int w, int h, int pad = 0) : width(w), height(h), rowBytes(w * 4 + pad),
        pixels(static_cast<std::size_t>(rowBytes) * h) {}
    int width, height, rowBytes;
    std::vector<std::uint8_t> pixels;
};

// Box-filter resize of BGRA, as a scaler on the way to the phone would.
Picture Resize(const Picture& in, int w, int h) {
    Picture out(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int sx0 = x * in.width / w, sx1 = std::max(sx0 + 1, (x + 1) * in.width / w);
            const int sy0 = y * in.height / h, sy1 = std::max(sy0 + 1, (y + 1) * in.height / h);
            for (int c = 0; c < 4; ++c) {
                int sum = 0, n = 0;
                for (int sy = sy0; sy < sy1; ++sy)
                    for (int sx = sx0; sx < sx1; ++sx, ++n) sum += in.pixels[sy * in.rowBytes + sx * 4 + c];
                out.pixels[y * out.rowBytes + x * 4 + c] = static_cast<std::uint8_t>(sum / n);
            }
        }
    }
    return out;
}

// Limited-range BT.709 luma with some coding noise, as a decoder hands it out.
std::vector<std::uint8_t> NoisyLimitedLuma(const Picture& p, int amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-amplitude, amplitude);
    std::vector<std::uint8_t> y(static_cast<std::size_t>(p.width) * p.height);
    for (int r = 0; r < p.height; ++r) {
        for (int c = 0; c < p.width; ++c) {
            const std::uint8_t* px = &p.pixels[r * p.rowBytes + c * 4];
            const double full = 0.0722 * px[0] + 0.7152 * px[1] + 0.2126 * px[2];
            const int v = static_cast<int>(16 + full * 219 / 255 + 0.5) + noise(rng);
            y[r * p.width + c] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return y;
}

TEST(TestPattern, StampRoundTripsExactlyAtCommonSizes) {
    const PatternStamp stamp{0x0123456789ABCDEFull, 0xFEDCBA98u};
    for (auto [w, h] : {std::pair{1920, 1080}, {1280, 720}, {720, 1280}, {640, 360}, {80, 80}, {333, 97}}) {
        Picture p(w, h, 12);
        DrawPattern(PatternKind::kMoving, p.pixels.data(), w, h, p.rowBytes, stamp);
        auto read = ReadStampBgra(p.pixels.data(), w, h, p.rowBytes);
        ASSERT_TRUE(read) << w << "x" << h;
        EXPECT_EQ(*read, stamp) << w << "x" << h;
    }
}

TEST(TestPattern, StampSurvivesScalingAndNoisyLimitedRangeLuma) {
    Picture p(1920, 1080);
    for (std::uint32_t i : {0u, 1u, 29u, 123456u}) {
        const PatternStamp stamp{1'700'000'000'000'000ull + i * 33'367ull, i};
        DrawPattern(PatternKind::kMoving, p.pixels.data(), p.width, p.height, p.rowBytes, stamp);
        const Picture small = Resize(p, 1280, 720);
        EXPECT_EQ(ReadStampBgra(small.pixels.data(), 1280, 720, small.rowBytes), stamp);
        const Picture odd = Resize(p, 1281, 721);
        EXPECT_EQ(ReadStampBgra(odd.pixels.data(), 1281, 721, odd.rowBytes), stamp);
        const auto luma = NoisyLimitedLuma(small, 20, i);
        EXPECT_EQ(ReadStampLuma(luma.data(), 1280, 720, 1280), stamp);
    }
}

TEST(TestPattern, DamagedAbsentOrTooSmallStampsReadAsNothing) {
    Picture p(640, 360);
    DrawPattern(PatternKind::kMoving, p.pixels.data(), 640, 360, p.rowBytes, PatternStamp{42, 7});
    ASSERT_TRUE(ReadStampBgra(p.pixels.data(), 640, 360, p.rowBytes));
    // Flip one payload cell (row 3, column 5): the CRC rejects it.
    const double cell = 360 / 40.0;
    const int cx = static_cast<int>(cell + 5.5 * cell), cy = static_cast<int>(cell + 3.5 * cell);
    for (int y = cy - 2; y <= cy + 2; ++y)
        for (int x = cx - 2; x <= cx + 2; ++x)
            for (int c = 0; c < 3; ++c) p.pixels[y * p.rowBytes + x * 4 + c] ^= 0xFF;
    EXPECT_FALSE(ReadStampBgra(p.pixels.data(), 640, 360, p.rowBytes));

    DrawPattern(PatternKind::kStatic, p.pixels.data(), 640, 360, p.rowBytes, PatternStamp{42, 7});
    EXPECT_FALSE(ReadStampBgra(p.pixels.data(), 640, 360, p.rowBytes));

    std::vector<std::uint8_t> flat(640 * 360, 128);
    EXPECT_FALSE(ReadStampLuma(flat.data(), 640, 360, 640));

    Picture tiny(79, 200);
    EXPECT_FALSE(WriteStamp(tiny.pixels.data(), 79, 200, tiny.rowBytes, PatternStamp{1, 1}));
    EXPECT_FALSE(ReadStampBgra(tiny.pixels.data(), 79, 200, tiny.rowBytes));
    EXPECT_FALSE(ReadStampBgra(nullptr, 640, 360, 2560));
}

TEST(TestPattern, MovingFramesDifferAndStaticFramesDoNot) {
    Picture a(320, 180), b(320, 180);
    DrawPattern(PatternKind::kStatic, a.pixels.data(), 320, 180, a.rowBytes, PatternStamp{1, 1});
    DrawPattern(PatternKind::kStatic, b.pixels.data(), 320, 180, b.rowBytes, PatternStamp{2, 2});
    EXPECT_EQ(a.pixels, b.pixels);
    // Same stamp, next frame index: the content away from the stamp moves too.
    DrawPattern(PatternKind::kMoving, a.pixels.data(), 320, 180, a.rowBytes, PatternStamp{5, 10});
    DrawPattern(PatternKind::kMoving, b.pixels.data(), 320, 180, b.rowBytes, PatternStamp{5, 11});
    const int bottomRow = 100;  // below the stamp, inside the bars
    EXPECT_NE(std::vector<std::uint8_t>(a.pixels.begin() + bottomRow * a.rowBytes,
                                        a.pixels.begin() + (bottomRow + 1) * a.rowBytes),
              std::vector<std::uint8_t>(b.pixels.begin() + bottomRow * b.rowBytes,
                                        b.pixels.begin() + (bottomRow + 1) * b.rowBytes));
    EXPECT_EQ(ParsePatternKind("moving"), PatternKind::kMoving);
    EXPECT_EQ(ParsePatternKind("static"), PatternKind::kStatic);
    EXPECT_FALSE(ParsePatternKind("bars"));
}

TEST(TestPattern, NoiseIsNewEveryFrameAndTheFlashIsWhiteBothKeepTheStamp) {
    Picture a(320, 180), b(320, 180);
    DrawPattern(PatternKind::kNoise, a.pixels.data(), 320, 180, a.rowBytes, PatternStamp{7, 1});
    DrawPattern(PatternKind::kNoise, b.pixels.data(), 320, 180, b.rowBytes, PatternStamp{8, 2});
    EXPECT_EQ(ReadStampBgra(a.pixels.data(), 320, 180, a.rowBytes), (PatternStamp{7, 1}));
    // Below the stamp nearly every byte differs, and the values spread over the whole range.
    std::size_t same = 0, total = 0, high = 0;
    for (std::size_t i = 100 * a.rowBytes; i < a.pixels.size(); i += 4) {
        for (int c = 0; c < 3; ++c, ++total) {
            same += a.pixels[i + c] == b.pixels[i + c];
            high += a.pixels[i + c] >= 128;
        }
    }
    EXPECT_LT(same, total / 100);
    EXPECT_NEAR(static_cast<double>(high) / total, 0.5, 0.02);
    DrawFlash(a.pixels.data(), 320, 180, a.rowBytes, PatternStamp{9, 3});
    EXPECT_EQ(ReadStampBgra(a.pixels.data(), 320, 180, a.rowBytes), (PatternStamp{9, 3}));
    EXPECT_EQ(a.pixels[170 * a.rowBytes + 300 * 4], 255);
    EXPECT_EQ(ParsePatternKind("noise"), PatternKind::kNoise);
    EXPECT_EQ(ParsePatternKind("sync"), PatternKind::kSync);
}

}  // namespace
}  // namespace Veltrix
