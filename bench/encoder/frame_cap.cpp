// How well the frame-size cap holds: encodes a source through the production
// encoder (libavcodec back end) with the cap and without it (VX_NO_FRAME_CAP),
// and prints per run the share of frames above 255 fragments (no parity), the
// largest and mean frame, the luma PSNR of the decoded stream against the
// source, and the share of frames the parity rule delivers at 1, 2 and 5 %
// random loss.
//
//   frame_cap --source noise|raw --size WxH --codec h264|hevc --gop N --frames N [--fps N]
// raw: BGRA frames on stdin (e.g. ffmpeg ... -pix_fmt bgra -f rawvideo -).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "encoder/media_foundation_encoder.h"
#include "testpattern/test_pattern.h"

namespace {

using namespace Veltrix;

constexpr size_t kFragment = 1440;

// Parity count of a frame of d data fragments.
int Parity(size_t d) {
    if (d >= 256) return 0;
    int p = static_cast<int>(std::min<size_t>((d + 9) / 10, 63));
    if (d + p > 255) p = d < 255 ? static_cast<int>(255 - d) : 0;
    return p;
}

// Probability that at most p of n fragments are lost at rate q.
double Delivered(size_t n, int p, double q) {
    double sum = 0, term = std::pow(1 - q, static_cast<double>(n));  // k = 0
    for (int k = 0; k <= p && k <= static_cast<int>(n); ++k) {
        sum += term;
        term *= static_cast<double>(n - k) / (k + 1) * q / (1 - q);
    }
    return std::min(sum, 1.0);
}

struct Result {
    std::vector<size_t> sizes;
    double psnr = 0;
};

Result Run(const std::vector<std::vector<uint8_t>>& frames, int w, int h, int codec, int gop, int fps, bool uncapped) {
    MediaFoundationEncoderOptions options;
    options.noFrameCapEnv = uncapped ? "1" : "0";
    MediaFoundationEncoder enc(std::move(options));
    std::vector<std::vector<uint8_t>> units;
    enc.SetOutputCallback([&](const uint8_t* d, size_t n, bool, uint64_t) { units.emplace_back(d, d + n); });
    enc.SetCodec(codec);
    enc.SetGopSize(gop);
    Result r;
    if (!enc.Configure(w, h, 150'000'000, fps)) {
        std::fprintf(stderr, "Configure failed\n");
        return r;
    }
    const AVCodec* c = avcodec_find_decoder(codec == kCodecH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    AVCodecContext* dec = avcodec_alloc_context3(c);
    dec->flags |= AV_CODEC_FLAG_LOW_DELAY;
    avcodec_open2(dec, c, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    double mseSum = 0;
    int decoded = 0;
    for (const auto& f : frames) {
        units.clear();
        enc.Encode(f.data(), w, h, w * 4, 0);
        for (auto& u : units) {
            r.sizes.push_back(u.size());
            av_new_packet(pkt, static_cast<int>(u.size()));
            std::memcpy(pkt->data, u.data(), u.size());
            avcodec_send_packet(dec, pkt);
            av_packet_unref(pkt);
            if (avcodec_receive_frame(dec, pic) == 0) {
                // Against the BT.709 limited-range luma of the source picture.
                const auto& src = frames[static_cast<size_t>(decoded)];
                double se = 0;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const uint8_t* p = &src[(static_cast<size_t>(y) * w + x) * 4];
                        const double ref = 16 + 219.0 * (0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0]) / 255.0;
                        const double d = pic->data[0][y * pic->linesize[0] + x] - ref;
                        se += d * d;
                    }
                mseSum += se / (static_cast<double>(w) * h);
                ++decoded;
            }
        }
    }
    r.psnr = decoded ? 10 * std::log10(255.0 * 255.0 / (mseSum / decoded)) : 0;
    av_frame_free(&pic);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    return r;
}

void Print(const char* label, const Result& r) {
    size_t over = 0, largest = 0, total = 0;
    double del[3] = {0, 0, 0};
    const double rates[3] = {0.01, 0.02, 0.05};
    for (size_t s : r.sizes) {
        const size_t d = (s + kFragment - 1) / kFragment;
        if (d > 255) ++over;
        largest = std::max(largest, s);
        total += s;
        for (int i = 0; i < 3; ++i) del[i] += Delivered(d + Parity(d), Parity(d), rates[i]);
    }
    const double n = r.sizes.empty() ? 1 : static_cast<double>(r.sizes.size());
    std::printf("%-8s frames %3zu  over255 %5.1f %%  largest %8zu  mean %8.0f  psnr %5.2f dB  "
                "delivered@1/2/5%% %5.1f %5.1f %5.1f\n",
                label, r.sizes.size(), 100.0 * over / n, largest, total / n, r.psnr, 100 * del[0] / n,
                100 * del[1] / n, 100 * del[2] / n);
}

}  // namespace

int main(int argc, char** argv) {
    std::string source = "noise";
    int w = 1280, h = 720, codec = kCodecH264, gop = 1, count = 30, fps = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--source") source = v;
        else if (a == "--size") std::sscanf(v.c_str(), "%dx%d", &w, &h);
        else if (a == "--codec") codec = v == "hevc" ? kCodecHevc : kCodecH264;
        else if (a == "--gop") gop = std::atoi(v.c_str());
        else if (a == "--frames") count = std::atoi(v.c_str());
        else if (a == "--fps") fps = std::atoi(v.c_str());
    }
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
        if (source == "raw") {
            if (std::fread(f.data(), 1, f.size(), stdin) != f.size()) break;
        } else {
            DrawPattern(PatternKind::kNoise, f.data(), w, h, w * 4, PatternStamp{0, static_cast<uint32_t>(i)});
        }
        frames.push_back(std::move(f));
    }
    std::printf("%s %dx%d %s gop %d, %zu frames at %d fps\n", source.c_str(), w, h, codec == kCodecH264 ? "H.264" : "HEVC",
                gop, frames.size(), fps);
    Print("uncapped", Run(frames, w, h, codec, gop, fps, true));
    Print("capped", Run(frames, w, h, codec, gop, fps, false));
    return 0;
}
