#include "vx-phone/phone_stats.h"

#include <algorithm>
#include <numeric>

namespace Veltrix::phone {
namespace {
// Keeps memory bounded on long runs; the distribution stays representative.
constexpr std::size_t kMaxSamples = 200000;
}

std::int64_t MicrosOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

LatencySummary Summarize(std::vector<std::int64_t> s) {
    LatencySummary r;
    r.count = s.size();
    if (s.empty()) return r;
    std::sort(s.begin(), s.end());
    const double sum = std::accumulate(s.begin(), s.end(), 0.0);
    auto at = [&](double q) {
        const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(s.size() - 1) + 0.5);
        return static_cast<double>(s[std::min(i, s.size() - 1)]) / 1000.0;
    };
    r.meanMs = sum / static_cast<double>(s.size()) / 1000.0;
    r.p50Ms = at(0.5);
    r.p95Ms = at(0.95);
    r.p99Ms = at(0.99);
    r.minMs = static_cast<double>(s.front()) / 1000.0;
    r.maxMs = static_cast<double>(s.back()) / 1000.0;
    return r;
}

PhoneStats::PhoneStats(Clock::time_point start) : start_(start), windowStart_(start) {}

void PhoneStats::OnFrame(std::size_t bytes, bool keyFrame, int repairedFragments) {
    ++frames_;
    ++windowFrames_;
    if (keyFrame) ++keyFrames_;
    if (repairedFragments > 0) ++repairedFrames_;
    videoBytes_ += bytes;
    windowBytes_ += bytes;
}

void PhoneStats::OnDecoded() {
    ++decoded_;
    ++windowDecoded_;
}

void PhoneStats::OnSendLatency(std::int64_t us) {
    if (sendLatency_.size() < kMaxSamples) sendLatency_.push_back(us);
}

void PhoneStats::OnStampLatency(std::int64_t us) {
    if (stampLatency_.size() < kMaxSamples) stampLatency_.push_back(us);
}

void PhoneStats::OnReassembly(std::int64_t us) {
    if (reassembly_.size() < kMaxSamples) reassembly_.push_back(us);
}

void PhoneStats::OnHostTime(std::int64_t us) {
    if (hostTime_.size() < kMaxSamples) hostTime_.push_back(us);
}

void PhoneStats::OnDecodeTime(std::int64_t us) {
    if (decodeTime_.size() < kMaxSamples) decodeTime_.push_back(us);
}

LatencySummary PhoneStats::RecentStampLatency() const {
    const std::size_t n = std::min<std::size_t>(stampLatency_.size(), 60);
    return Summarize(std::vector<std::int64_t>(stampLatency_.end() - static_cast<std::ptrdiff_t>(n), stampLatency_.end()));
}

PhoneStats::Window PhoneStats::TakeWindow(Clock::time_point now) {
    Window w;
    w.seconds = std::chrono::duration<double>(now - windowStart_).count();
    if (w.seconds > 0) {
        w.fps = static_cast<double>(windowFrames_) / w.seconds;
        w.decodedFps = static_cast<double>(windowDecoded_) / w.seconds;
        w.mbps = static_cast<double>(windowBytes_) * 8.0 / w.seconds / 1e6;
    }
    windowStart_ = now;
    windowFrames_ = windowDecoded_ = windowBytes_ = 0;
    return w;
}

}  // namespace Veltrix::phone
