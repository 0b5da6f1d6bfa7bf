// Where a frame's time goes inside the plug-in: each stage records how long it
// took, and once a second of recording the "telemetry" debug topic gets one line
// with the count, median and 95th percentile of every stage in that window:
//   stages window_ms=1001 convert_n=30 convert_p50_us=812 convert_p95_us=930 encode_n=...
// A stage with no sample in the window shows n=0 and no percentiles.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/clock.h"

namespace Veltrix {

enum class Stage : int {
    kConvert = 0,    // BGRA to the encoder's input format
    kEncode = 1,     // the encoder's own work on one frame (conversion excluded)
    kPacketize = 2,  // fragments and parity of one encoded frame
    kPace = 3,       // a frame's datagrams queued until the last one went out
};
inline constexpr int kStageCount = 4;

const char* StageName(Stage stage);  // "convert", "encode", "packetize", "pace"

class StageTelemetry {
public:
    // write receives each finished line; empty = the telemetry topic.
    explicit StageTelemetry(Clock& clock = Clock::Real(), std::function<void(const std::string&)> write = {});

    // Thread-safe. Writes the window's line first when a second has passed.
    void Record(Stage stage, std::int64_t us);

    // The line for the samples so far (window_ms from the window's start to now).
    static std::string FormatLine(std::int64_t windowMs,
                                  const std::array<std::vector<std::int64_t>, kStageCount>& samples);

private:
    Clock& clock_;
    std::function<void(const std::string&)> write_;
    std::mutex mutex_;
    bool started_ = false;
    Clock::time_point windowStart_{};
    std::array<std::vector<std::int64_t>, kStageCount> samples_;
};

// The plug-in's recorder; records nothing when the telemetry topic is off.
void RecordStageTime(Stage stage, std::int64_t us);
// Microseconds between two readings of the same clock.
inline std::int64_t MicrosBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

}  // namespace Veltrix
