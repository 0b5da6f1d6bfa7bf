// What the receiver measured: rates over the last window and totals, and
// latency distributions from the datagrams' send times and the pictures' stamps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/clock.h"

namespace Veltrix::phone {

struct LatencySummary {
    std::size_t count = 0;
    double meanMs = 0, p50Ms = 0, p95Ms = 0, p99Ms = 0, maxMs = 0, minMs = 0;
};
// Over samples in microseconds.
LatencySummary Summarize(std::vector<std::int64_t> samplesUs);

// Collects samples; not thread-safe (the session locks around it).
class PhoneStats {
public:
    explicit PhoneStats(Clock::time_point start);

    void OnFrame(std::size_t bytes, bool keyFrame, int repairedFragments);
    void OnDecoded();
    void OnDecodeError() { ++decodeErrors_; }
    void OnSendLatency(std::int64_t us);   // frame complete - first send time
    void OnStampLatency(std::int64_t us);  // picture decoded - push time
    void OnReassembly(std::int64_t us);    // frame completed -> handed to the decoder
    void OnHostTime(std::int64_t us);      // push time -> packetized (the frame's send time)
    void OnDecodeTime(std::int64_t us);    // one frame in the decoder
    // With simulated loss: the chance the parity gives this frame's size to arrive whole.
    void OnDeliveryChance(double chance) {
        predictedDelivered_ += chance;
        ++predictedFrames_;
    }
    void OnAudio(std::size_t bytes, std::size_t samples) {
        ++audioBlocks_;
        audioBytes_ += bytes;
        audioSamples_ += samples;
    }

    struct Window {
        double seconds = 0;
        double fps = 0;          // frames delivered per second
        double decodedFps = 0;
        double mbps = 0;         // video frame payload, megabits per second
    };
    // Rates since the previous call (or the start); starts the next window.
    Window TakeWindow(Clock::time_point now);

    std::uint64_t frames() const { return frames_; }
    std::uint64_t keyFrames() const { return keyFrames_; }
    std::uint64_t repairedFrames() const { return repairedFrames_; }
    std::uint64_t decoded() const { return decoded_; }
    std::uint64_t decodeErrors() const { return decodeErrors_; }
    std::uint64_t videoBytes() const { return videoBytes_; }
    std::uint64_t audioBlocks() const { return audioBlocks_; }
    std::uint64_t audioBytes() const { return audioBytes_; }
    std::uint64_t audioSamples() const { return audioSamples_; }
    LatencySummary SendLatency() const { return Summarize(sendLatency_); }
    LatencySummary StampLatency() const { return Summarize(stampLatency_); }
    LatencySummary RecentStampLatency() const;  // the last second or so
    LatencySummary Reassembly() const { return Summarize(reassembly_); }
    LatencySummary DecodeTime() const { return Summarize(decodeTime_); }
    LatencySummary HostTime() const { return Summarize(hostTime_); }
    // Mean of the delivery chances (0 without any).
    double PredictedDelivery() const {
        return predictedFrames_ ? predictedDelivered_ / static_cast<double>(predictedFrames_) : 0;
    }
    Clock::time_point start() const { return start_; }

private:
    Clock::time_point start_, windowStart_;
    std::uint64_t frames_ = 0, keyFrames_ = 0, repairedFrames_ = 0, decoded_ = 0, decodeErrors_ = 0;
    std::uint64_t videoBytes_ = 0, audioBlocks_ = 0, audioBytes_ = 0, audioSamples_ = 0;
    std::uint64_t windowFrames_ = 0, windowDecoded_ = 0, windowBytes_ = 0;
    std::vector<std::int64_t> sendLatency_, stampLatency_, reassembly_, decodeTime_, hostTime_;
    double predictedDelivered_ = 0;
    std::uint64_t predictedFrames_ = 0;
};

// Microseconds of a clock reading, as the sender writes them (low 32 bits on the wire).
std::int64_t MicrosOf(Clock::time_point t);

}  // namespace Veltrix::phone
