#include "support/stage_telemetry.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "support/debug_topics.h"

namespace Veltrix {

namespace {
constexpr auto kWindow = std::chrono::seconds(1);
// A stalled writer must not let a window grow without bound.
constexpr std::size_t kMaxSamplesPerStage = 4096;

std::int64_t Percentile(std::vector<std::int64_t>& s, double q) {
    const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(s.size() - 1) + 0.5);
    std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i), s.end());
    return s[i];
}
}  // namespace

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::kConvert: return "convert";
        case Stage::kEncode: return "encode";
        case Stage::kPacketize: return "packetize";
        case Stage::kPace: return "pace";
    }
    return "?";
}

StageTelemetry::StageTelemetry(Clock& clock, std::function<void(const std::string&)> write)
    : clock_(clock), write_(std::move(write)) {}

std::string StageTelemetry::FormatLine(std::int64_t windowMs,
                                       const std::array<std::vector<std::int64_t>, kStageCount>& samples) {
    std::string line = "stages window_ms=" + std::to_string(windowMs);
    for (int i = 0; i < kStageCount; ++i) {
        const char* name = StageName(static_cast<Stage>(i));
        std::vector<std::int64_t> s = samples[static_cast<std::size_t>(i)];
        line += std::string(" ") + name + "_n=" + std::to_string(s.size());
        if (s.empty()) continue;
        const std::int64_t p50 = Percentile(s, 0.5);
        const std::int64_t p95 = Percentile(s, 0.95);
        line += std::string(" ") + name + "_p50_us=" + std::to_string(p50) + " " + name + "_p95_us=" +
                std::to_string(p95);
    }
    return line;
}

void StageTelemetry::Record(Stage stage, std::int64_t us) {
    const int index = static_cast<int>(stage);
    if (index < 0 || index >= kStageCount) return;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = clock_.Now();
        if (!started_) {
            started_ = true;
            windowStart_ = now;
        } else if (now - windowStart_ >= kWindow) {
            line = FormatLine(MicrosBetween(windowStart_, now) / 1000, samples_);
            for (auto& s : samples_) s.clear();
            windowStart_ = now;
        }
        auto& s = samples_[static_cast<std::size_t>(index)];
        if (s.size() < kMaxSamplesPerStage) s.push_back(std::max<std::int64_t>(us, 0));
    }
    if (line.empty()) return;
    if (write_)
        write_(line);
    else
        DebugTopicLog(DebugTopic::kTelemetry, "%s", line.c_str());
}

void RecordStageTime(Stage stage, std::int64_t us) {
    if (!DebugTopicEnabled(DebugTopic::kTelemetry)) return;
    // Never destroyed: threads may still record while the process exits.
    static StageTelemetry* const telemetry = new StageTelemetry;
    telemetry->Record(stage, us);
}

}  // namespace Veltrix
