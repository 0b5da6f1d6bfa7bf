// The process-wide sending thread: a bounded queue of frame groups drained
// through a token bucket at the configured bitrate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "support/clock.h"
#include "transport/frame_group.h"

namespace Veltrix {

class Pacer {
public:
    // Sends one datagram; returns whether it went out.
    using SendFunction = std::function<bool(const uint8_t* data, std::size_t size)>;

    static constexpr std::size_t kMaxVideoGroups = 5;
    static constexpr std::size_t kMaxAudioGroups = 4;
    static constexpr uint32_t kInitialBitrate = 15'000'000;

    explicit Pacer(Clock& clock = Clock::Real());
    ~Pacer();
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    // No effect (functions discarded) when already running.
    void Start(SendFunction video, SendFunction audio);
    // Discards the queue and joins the thread. Never call from a send function.
    void Stop();

    void EnqueueVideo(FrameGroup group) { Enqueue(StreamKind::kVideo, std::move(group)); }
    void EnqueueAudio(FrameGroup group) { Enqueue(StreamKind::kAudio, std::move(group)); }
    void ClearQueue();
    void SetBitrate(uint32_t bitsPerSecond) { bitrate_.store(bitsPerSecond); }

    uint32_t Bitrate() const { return bitrate_.load(); }
    bool Running() const { return running_.load(); }
    uint64_t Dropped() const { return dropped_.load(); }
    uint64_t Failed() const { return failed_.load(); }
    uint64_t BytesSent() const { return bytesSent_.load(); }
    uint64_t QueuedBytes() const { return queuedBytes_.load(); }
    std::size_t QueuedVideoGroups() const;
    std::size_t QueuedAudioGroups() const;

private:
    void Enqueue(StreamKind kind, FrameGroup group);
    void Run();
    // Waits until the bucket holds `size` bytes; false when stopped meanwhile.
    bool Pace(std::size_t size);
    void DiscardQueueLocked(std::size_t& groups, std::size_t& bytes);
    int64_t NowNs() const;

    Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<FrameGroup> queue_;
    std::size_t videoCount_ = 0;
    std::size_t audioCount_ = 0;
    std::atomic<uint64_t> queuedBytes_{0};
    std::atomic<uint32_t> bitrate_{kInitialBitrate};

    // Sending thread only.
    int64_t lastTick_ = 0;
    double tokens_ = 0;
    // Pacing sleeps wait here so Stop can cut them short.
    std::mutex sleepMutex_;
    std::condition_variable sleepWake_;

    SendFunction sendVideo_;
    SendFunction sendAudio_;

    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> failed_{0};
    std::atomic<uint64_t> bytesSent_{0};
    std::atomic<uint64_t> windowDrops_{0};
    std::atomic<uint64_t> windowDropBytes_{0};
    std::atomic<int64_t> lastReport_{0};

    std::mutex lifecycle_;  // serialises Start and Stop
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace Veltrix
