#include "vx-phone/sync_meter.h"

#include <algorithm>
#include <cmath>

namespace Veltrix::phone {
namespace {

constexpr auto kPairWindow = std::chrono::milliseconds(500);

double Percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const double pos = q * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const auto hi = std::min(sorted.size() - 1, lo + 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
}

}  // namespace

void SyncMeter::OnPicture(const std::uint8_t* luma, int width, int height, int stride, Clock::time_point decodedAt) {
    if (!luma || width <= 0 || height <= 0 || stride < width) return;
    // The lower half, sparsely: the stamp sits in the upper left.
    double sum = 0;
    std::size_t n = 0;
    for (int y = height / 2; y < height; y += 4) {
        const std::uint8_t* row = luma + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; x += 4, ++n) sum += row[x];
    }
    const bool bright = n > 0 && sum / static_cast<double>(n) >= kFlashLuma;
    std::lock_guard<std::mutex> lock(mutex_);
    if (bright && !lastBright_) flashes_.push_back(decodedAt);
    lastBright_ = bright;
}

void SyncMeter::OnAudio(const float* interleaved, std::size_t samples, int channels, std::uint32_t sampleRate,
                        Clock::time_point arrivedAt) {
    if (!interleaved || channels < 1 || sampleRate == 0) return;
    // A click is a loud sample after at least 10 ms of quiet ones.
    const std::size_t quietNeeded = sampleRate / 100;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < samples; ++i) {
        const float v = interleaved[i * static_cast<std::size_t>(channels)];
        if (std::isfinite(v) && std::fabs(v) >= kClickLevel) {
            if (quietSamples_ >= quietNeeded) {
                const auto offset = std::chrono::duration<double>(static_cast<double>(i) / sampleRate);
                clicks_.push_back(arrivedAt + std::chrono::duration_cast<Clock::duration>(offset));
            }
            quietSamples_ = 0;
        } else {
            ++quietSamples_;
        }
    }
}

SyncSummary SyncMeter::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    SyncSummary s;
    s.flashes = flashes_.size();
    s.clicks = clicks_.size();
    // Both lists are in time order (sorted anyway): each flash looks only at the clicks near it.
    std::vector<Clock::time_point> clicks = clicks_;
    std::sort(clicks.begin(), clicks.end());
    std::vector<bool> used(clicks.size(), false);
    std::vector<double> skews;
    for (const auto& f : flashes_) {
        const auto at = std::lower_bound(clicks.begin(), clicks.end(), f - kPairWindow);
        std::size_t best = clicks.size();
        Clock::duration bestGap = kPairWindow;
        for (auto i = static_cast<std::size_t>(at - clicks.begin()); i < clicks.size() && clicks[i] <= f + kPairWindow; ++i) {
            const auto gap = f > clicks[i] ? f - clicks[i] : clicks[i] - f;
            if (!used[i] && gap <= bestGap) {
                best = i;
                bestGap = gap;
            }
        }
        if (best == clicks.size()) continue;
        used[best] = true;
        skews.push_back(std::chrono::duration<double, std::milli>(f - clicks[best]).count());
    }
    std::sort(skews.begin(), skews.end());
    s.pairs = skews.size();
    if (!skews.empty()) {
        s.p50Ms = Percentile(skews, 0.5);
        s.spreadMs = Percentile(skews, 0.95) - Percentile(skews, 0.05);
        s.minMs = skews.front();
        s.maxMs = skews.back();
    }
    return s;
}

}  // namespace Veltrix::phone
