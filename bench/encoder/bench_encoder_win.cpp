// bench_encoder for the Windows build (run under Wine here): the CPU BGRA->NV12
// converter at 720p and 1080p, the baseline build's code (SSE2, what x86-64
// guarantees) against the run-time choice (AVX2 where the CPU has it), and the
// rows split over two threads as Encode runs it. Best of 7 interleaved
// repetitions, ms per frame. No Media Foundation encoder runs under Wine, so
// the encode rows of the Linux program have no counterpart here.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/nv12_converter.h"

namespace {

constexpr int kFrames = 8;
constexpr int kRepetitions = 7;

std::vector<std::vector<uint8_t>> Frames(int w, int h) {
    std::vector<std::vector<uint8_t>> out;
    for (int n = 0; n < kFrames; ++n) {
        std::vector<uint8_t> img(static_cast<size_t>(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = &img[(static_cast<size_t>(y) * w + x) * 4];
                p[0] = static_cast<uint8_t>(x + n * 6);
                p[1] = static_cast<uint8_t>(y * 2 + n);
                p[2] = static_cast<uint8_t>((x ^ y) + n * 3);
                p[3] = 255;
            }
        out.push_back(std::move(img));
    }
    return out;
}

enum Mode { kBaseline, kDispatch, kSplit };
const char* const kModeNames[] = {"baseline (SSE2)", "run-time choice", "split over two threads"};

}  // namespace

int main() {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    struct Size {
        int w, h, iterations;
    };
    const Size sizes[] = {{1280, 720, 150}, {1920, 1080, 100}};
    double best[2][3];
    for (auto& row : best) std::fill(std::begin(row), std::end(row), 1e9);
    Veltrix::Nv12Converter converter;
    std::vector<std::vector<uint8_t>> frames[2] = {Frames(1280, 720), Frames(1920, 1080)};
    std::vector<uint8_t> out(static_cast<size_t>(1920) * 1080 * 3 / 2);
    volatile uint8_t sink = 0;
    for (int rep = 0; rep < kRepetitions; ++rep) {
        // Interleaved: a burst of load on the machine does not fall on one row only.
        for (int step = 0; step < 6; ++step) {
            const int s = (step + rep) % 2, mode = (step / 2 + rep) % 3;
            const Size& size = sizes[s];
            uint8_t* y = out.data();
            uint8_t* uv = out.data() + static_cast<size_t>(size.w) * size.h;
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < size.iterations; ++i) {
                const uint8_t* src = frames[s][i % kFrames].data();
                if (mode == kBaseline)
                    Veltrix::ConvertBgraToNv12Portable(src, size.w * 4, y, uv, size.w, size.h);
                else if (mode == kDispatch)
                    Veltrix::ConvertBgraToNv12Cpu(src, size.w * 4, y, uv, size.w, size.h);
                else
                    converter.Convert(src, size.w * 4, y, uv, size.w, size.h);
                sink = sink + out[static_cast<size_t>(i) % out.size()];
            }
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                size.iterations;
            best[s][mode] = std::min(best[s][mode], ms);
        }
    }
    std::printf("bench_encoder (Windows build): CPU converter BGRA->NV12, best of %d interleaved runs, ms per frame\n",
                kRepetitions);
    std::printf("run-time choice here: %s\n", avx2 ? "AVX2" : "baseline (no AVX2 on this CPU)");
    std::printf("| size  | %s | %s | %s |\n|---|---|---|---|\n", kModeNames[0], kModeNames[1], kModeNames[2]);
    for (int s = 0; s < 2; ++s)
        std::printf("| %dp | %.2f | %.2f | %.2f |\n", sizes[s].h, best[s][0], best[s][1], best[s][2]);
    return 0;
}
