// Per-frame cost of MediaFoundationEncoder::Encode (H.264, 30 fps, CBR 20 Mbit/s)
// against libx264 driven directly with the same settings and NV12 input, and the
// CPU BGRA->NV12 converter at 720p and 1080p (baseline SSE2 code, the run-time
// choice, and split over two threads as Encode runs it). Prints a table with the overhead ratio.
// Both sides get their input into the encoder once per frame: the bare side
// copies prepared NV12 into libx264's input frame; Encode converts the BGRA
// frame into its input buffer (the overhead counts that conversion). A third
// row converts BGRA straight into libx264's frame, which separates the
// conversion from the rest of the overhead (seam and output assembly).
// The converter also runs beside libyuv's ARGBToNV12, the speed reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "encoder/media_foundation_encoder.h"
#include "encoder/nv12_converter.h"
#include "libyuv/convert_from_argb.h"

namespace {

using Veltrix::ConvertBgraToNv12Cpu;
using Veltrix::Nv12Converter;

constexpr int kFrames = 8;  // distinct frames, cycled
constexpr uint32_t kBitrate = 20'000'000;
constexpr int kFps = 30;

std::map<std::string, double> gBestMs;  // best mean ms per frame over repetitions

void Record(const std::string& name, double ms) {
    auto it = gBestMs.find(name);
    if (it == gBestMs.end() || ms < it->second) gBestMs[name] = ms;
}

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

void BM_Encode(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    auto frames = Frames(w, h);
    Veltrix::MediaFoundationEncoder enc;
    size_t bytes = 0;
    enc.SetOutputCallback([&](const uint8_t*, size_t n, bool, uint64_t) { bytes += n; });
    enc.SetCodec(Veltrix::kCodecH264);
    enc.SetGopSize(600);
    if (!enc.Configure(w, h, kBitrate, kFps)) {
        state.SkipWithError("Configure failed");
        return;
    }
    for (int i = 0; i < 4; ++i) enc.Encode(frames[i % kFrames].data(), w, h, w * 4, 0);  // warm-up
    int i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) enc.Encode(frames[i++ % kFrames].data(), w, h, w * 4, 0);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Record("encode " + std::to_string(h) + "p", ms / state.iterations());
    state.counters["bytes/frame"] = static_cast<double>(bytes) / (state.iterations() + 4);
}

// libx264 opened as the platform back end opens it (ultrafast, zerolatency,
// CBR with a one-frame buffer, global headers, two threads), fed NV12.
// fromBgra: the frame is converted from BGRA straight into libx264's input frame
// by the CPU converter (what the system does, without the seam and the output
// assembly); otherwise prepared NV12 is copied in.
void BareLibx264(benchmark::State& state, bool fromBgra) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    auto frames = Frames(w, h);
    std::vector<std::vector<uint8_t>> nv12;
    for (auto& f : frames) {
        std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
        ConvertBgraToNv12Cpu(f.data(), w * 4, out.data(), out.data() + static_cast<size_t>(w) * h, w, h);
        nv12.push_back(std::move(out));
    }
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_NV12;
    ctx->time_base = {1, 10'000'000};
    ctx->framerate = {kFps, 1};
    ctx->gop_size = 600;
    ctx->max_b_frames = 0;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->thread_count = 2;
    ctx->bit_rate = kBitrate;
    ctx->rc_max_rate = kBitrate;
    ctx->rc_buffer_size = kBitrate / kFps;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set(ctx->priv_data, "profile", "high", 0);
    av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        state.SkipWithError("libx264 open failed");
        avcodec_free_context(&ctx);
        return;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    int64_t pts = 0;
    size_t bytes = 0;
    if (fromBgra && (frame->linesize[0] != w || frame->linesize[1] != w)) {
        state.SkipWithError("padded frame rows");
        return;
    }
    int n = 0;
    Nv12Converter converter;  // as the encoder converts: rows split over two threads
    auto encodeOne = [&](const std::vector<uint8_t>& src) {
        av_frame_make_writable(frame);
        if (fromBgra) {
            converter.Convert(frames[n++ % kFrames].data(), w * 4, frame->data[0], frame->data[1], w, h);
        } else {
            for (int y = 0; y < h; ++y) std::memcpy(frame->data[0] + y * frame->linesize[0], &src[size_t(y) * w], w);
            const uint8_t* uv = src.data() + static_cast<size_t>(w) * h;
            for (int y = 0; y < h / 2; ++y)
                std::memcpy(frame->data[1] + y * frame->linesize[1], uv + size_t(y) * w, w);
        }
        frame->pts = pts;
        pts += 10'000'000 / kFps;
        avcodec_send_frame(ctx, frame);
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            bytes += pkt->size;
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < 4; ++i) encodeOne(nv12[i % kFrames]);
    int i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) encodeOne(nv12[i++ % kFrames]);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Record((fromBgra ? "bare+convert " : "bare ") + std::to_string(h) + "p", ms / state.iterations());
    state.counters["bytes/frame"] = static_cast<double>(bytes) / (state.iterations() + 4);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
}

void BM_BareLibx264(benchmark::State& state) { BareLibx264(state, false); }
void BM_BareLibx264FromBgra(benchmark::State& state) { BareLibx264(state, true); }

// range(2): 0 the baseline build's code (SSE2), 1 the run-time choice (AVX2 where
// the CPU has it), 2 the rows split over two threads as Encode runs it, 3 libyuv's
// ARGBToNV12 (BT.601, so other bytes: a speed anchor only). The Windows build
// prints the same figures of its own code (bench_encoder_win.cpp).
const char* const kConvertModes[] = {"baseline", "choice", "split", "libyuv"};
void BM_ConvertCpu(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const int mode = static_cast<int>(state.range(2));
    auto frames = Frames(w, h);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* y = out.data();
    uint8_t* uv = out.data() + size_t(w) * h;
    Nv12Converter converter;
    int i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const uint8_t* src = frames[i++ % kFrames].data();
        if (mode == 0)
            Veltrix::ConvertBgraToNv12Portable(src, w * 4, y, uv, w, h);
        else if (mode == 1)
            ConvertBgraToNv12Cpu(src, w * 4, y, uv, w, h);
        else if (mode == 2)
            converter.Convert(src, w * 4, y, uv, w, h);
        else
            libyuv::ARGBToNV12(src, w * 4, y, w, uv, w, w, h);
        benchmark::ClobberMemory();
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Record(std::string("convert ") + kConvertModes[mode] + " " + std::to_string(h) + "p", ms / state.iterations());
}

BENCHMARK(BM_BareLibx264)->Args({1280, 720})->Iterations(90)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Args({1280, 720})->Iterations(90)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLibx264FromBgra)->Args({1280, 720})->Iterations(90)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLibx264)->Args({1920, 1080})->Iterations(60)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Args({1920, 1080})->Iterations(60)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLibx264FromBgra)->Args({1920, 1080})->Iterations(60)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertCpu)
    ->ArgsProduct({{1280}, {720}, {0, 1, 2, 3}})
    ->Iterations(150)
    ->Repetitions(7)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertCpu)
    ->ArgsProduct({{1920}, {1080}, {0, 1, 2, 3}})
    ->ArgsProduct({{3840}, {2160}, {1, 3}})
    ->Iterations(100)
    ->Repetitions(7)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of the two sides are interleaved at random, so a burst of load on
    // the machine does not fall on one side only.
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nbench_encoder: H.264 CBR 20 Mbit/s, 30 fps, ultrafast/zerolatency (best of 7 interleaved runs, ms per frame)\n");
    std::printf("| size  | bare libx264 | MediaFoundationEncoder::Encode | overhead | bare + CPU converter |\n|---|---|---|---|---|\n");
    for (int h : {720, 1080}) {
        const std::string s = std::to_string(h) + "p";
        if (!gBestMs.count("bare " + s) || !gBestMs.count("encode " + s)) continue;
        const double bare = gBestMs["bare " + s], enc = gBestMs["encode " + s];
        const double conv = gBestMs.count("bare+convert " + s) ? gBestMs["bare+convert " + s] : 0.0;
        std::printf("| %-5s | %12.2f | %30.2f | %+7.1f %% | %.2f (%+.1f %%) |\n", s.c_str(), bare, enc,
                    (enc - bare) / bare * 100.0, conv, (conv - bare) / bare * 100.0);
    }
    std::printf("\nCPU converter BGRA->NV12 (best of 7, ms per frame; ratio: run-time choice / libyuv, one thread each)\n");
    std::printf("| size  | baseline (SSE2) | run-time choice | libyuv ARGBToNV12 | ratio | split over two threads |\n|---|---|---|---|---|---|\n");
    for (int h : {720, 1080, 2160}) {
        auto get = [&](const char* mode) {
            auto it = gBestMs.find(std::string("convert ") + mode + " " + std::to_string(h) + "p");
            return it == gBestMs.end() ? 0.0 : it->second;
        };
        const double choice = get("choice"), yuv = get("libyuv");
        std::printf("| %dp | %.3f | %.3f | %.3f | %.2f | %.3f |\n", h, get("baseline"), choice, yuv,
                    yuv > 0 ? choice / yuv : 0.0, get("split"));
    }
    return 0;
}
