#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "encoder/nv12_converter.h"

namespace Veltrix {
namespace {

// Straightforward reference written from the formulas, in doubles-free integer form.
int RefY(int r, int g, int b) { return ((47 * r + 157 * g + 16 * b + 128) >> 8) + 16; }
int RefU(int r, int g, int b) { return ((-26 * r - 87 * g + 112 * b + 128) >> 8) + 128; }
int RefV(int r, int g, int b) { return ((112 * r - 102 * g - 10 * b + 128) >> 8) + 128; }

void Fill(std::vector<uint8_t>& img, uint8_t r, uint8_t g, uint8_t b) {
    for (size_t i = 0; i + 3 < img.size(); i += 4) {
        img[i] = b;
        img[i + 1] = g;
        img[i + 2] = r;
        img[i + 3] = 0x11;
    }
}

TEST(Nv12Converter, ColourExamples) {
    struct {
        uint8_t r, g, b;
        int y, u, v;
    } cases[] = {{255, 255, 255, 235, 127, 128}, {0, 0, 0, 16, 128, 128}, {255, 0, 0, 63, 102, 240}};
    for (auto& c : cases) {
        std::vector<uint8_t> img(2 * 2 * 4);
        Fill(img, c.r, c.g, c.b);
        uint8_t y[4], uv[2];
        ConvertBgraToNv12Cpu(img.data(), 8, y, uv, 2, 2);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(y[i], c.y);
        EXPECT_EQ(uv[0], c.u);
        EXPECT_EQ(uv[1], c.v);
    }
}

using Converter = void (*)(const uint8_t*, int, uint8_t*, uint8_t*, int, int);

class Nv12ConverterPaths : public ::testing::TestWithParam<Converter> {};

// The rows split over two threads, reusing one converter (and its thread) for every size.
void ConvertSplit(const uint8_t* bgra, int pitch, uint8_t* y, uint8_t* uv, int width, int height) {
    static Nv12Converter converter;
    converter.Convert(bgra, pitch, y, uv, width, height);
}

// The run-time choice (vector code for this CPU), the baseline build's code, and the split.
INSTANTIATE_TEST_SUITE_P(Paths, Nv12ConverterPaths,
                         ::testing::Values(&ConvertBgraToNv12Cpu, &ConvertBgraToNv12Portable, &ConvertSplit));

TEST_P(Nv12ConverterPaths, RandomImagesMatchReference) {
    const Converter convert = GetParam();
    std::mt19937 rng(7);
    // Sizes around the vector code's 32-pixel blocks, odd rows and columns, padded rows.
    for (auto [w, h] : {std::pair{64, 48}, std::pair{33, 17}, std::pair{2, 1}, std::pair{1283, 7},
                        std::pair{1, 3}, std::pair{31, 2}, std::pair{32, 3}, std::pair{63, 5}, std::pair{96, 1},
                        std::pair{1920, 6}, std::pair{64, 128}, std::pair{97, 131}, std::pair{1921, 270}}) {
        const int pitch = w * 4 + 12;  // padded rows
        std::vector<uint8_t> img(static_cast<size_t>(pitch) * h);
        // Half the rows from {0, 255} only: the largest and smallest sums of every formula.
        for (size_t i = 0; i < img.size(); ++i)
            img[i] = (i / static_cast<size_t>(pitch)) % 4 < 2 ? static_cast<uint8_t>(rng()) : (rng() & 1 ? 255 : 0);
        std::vector<uint8_t> y(static_cast<size_t>(w) * h, 0xEE), uv(static_cast<size_t>(w) * (h / 2), 0xEE);
        convert(img.data(), pitch, y.data(), uv.data(), w, h);
        auto px = [&](int x, int yy, int c) { return img[static_cast<size_t>(yy) * pitch + 4 * x + c]; };
        for (int yy = 0; yy < h; ++yy)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(y[yy * w + x], RefY(px(x, yy, 2), px(x, yy, 1), px(x, yy, 0)));
        for (int j = 0; j < h / 2; ++j) {
            for (int i = 0; i < w / 2; ++i) {
                int s[3] = {0, 0, 0};
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx)
                        for (int c = 0; c < 3; ++c) s[c] += px(2 * i + dx, 2 * j + dy, c);
                const int b = s[0] >> 2, g = s[1] >> 2, r = s[2] >> 2;
                ASSERT_EQ(uv[j * w + 2 * i], RefU(r, g, b));
                ASSERT_EQ(uv[j * w + 2 * i + 1], RefV(r, g, b));
            }
            if (w & 1) {
                EXPECT_EQ(uv[j * w + w - 1], 0xEE);  // odd column: no chroma written
            }
        }
    }
}

TEST(Nv12Converter, ScaleNearestSamplesCentres) {
    // 3x1 -> 2x2: columns trunc(0.5*3/2)=0 and trunc(1.5*3/2)=2.
    std::vector<uint8_t> src = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    std::vector<uint8_t> dst(2 * 2 * 4);
    ScaleNearest(src.data(), 12, 3, 1, dst.data(), 8, 2, 2);
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[4], 3);
    EXPECT_EQ(dst[8], 1);
    EXPECT_EQ(dst[12], 3);
}

}  // namespace
}  // namespace Veltrix
