#include "transport/pacer.h"

#include <algorithm>

#include "support/log.h"
#include "support/stage_telemetry.h"

namespace Veltrix {
namespace {
const LogChannel kLog{kLogSubsystem, "pacer"};
constexpr int64_t kReportIntervalNs = 1'000'000'000;
constexpr int64_t kMinSleepUs = 50;
}  // namespace

Pacer::Pacer(Clock& clock) : clock_(clock) {}

Pacer::~Pacer() { Stop(); }

int64_t Pacer::NowNs() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.Now().time_since_epoch()).count();
}

void Pacer::Start(SendFunction video, SendFunction audio) {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (running_.load()) return;
    sendVideo_ = std::move(video);
    sendAudio_ = std::move(audio);
    lastTick_ = NowNs();
    tokens_ = 0;
    {
        // Under the queue mutex so the thread's first wait sees a consistent flag.
        std::lock_guard<std::mutex> lock(mutex_);
        running_.store(true);
    }
    thread_ = std::thread([this] { Run(); });
    Log(kLog, kLogInfo, "Pacer started bitrate=%u bps", bitrate_.load());
}

void Pacer::Stop() {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (!running_.load()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_.store(false);
        std::size_t groups = 0, bytes = 0;
        DiscardQueueLocked(groups, bytes);
    }
    wake_.notify_all();
    {
        std::lock_guard<std::mutex> lock(sleepMutex_);
    }
    sleepWake_.notify_all();
    if (thread_.joinable()) thread_.join();
    sendVideo_ = nullptr;
    sendAudio_ = nullptr;
    Log(kLog, kLogInfo, "Pacer stopped dropped=%llu failed=%llu bytes=%llu",
        static_cast<unsigned long long>(dropped_.load()), static_cast<unsigned long long>(failed_.load()),
        static_cast<unsigned long long>(bytesSent_.load()));
}

void Pacer::DiscardQueueLocked(std::size_t& groups, std::size_t& bytes) {
    groups = queue_.size();
    bytes = 0;
    for (const FrameGroup& g : queue_) bytes += g.totalBytes;
    queue_.clear();
    videoCount_ = 0;
    audioCount_ = 0;
    queuedBytes_.store(0);
}

void Pacer::ClearQueue() {
    std::size_t groups = 0, bytes = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DiscardQueueLocked(groups, bytes);
    }
    if (groups > 0) {
        Log(kLog, kLogInfo, "Pacer queue cleared: %zu frame groups (%zu bytes) discarded", groups, bytes);
    }
}

std::size_t Pacer::QueuedVideoGroups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return videoCount_;
}

std::size_t Pacer::QueuedAudioGroups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return audioCount_;
}

void Pacer::Enqueue(StreamKind kind, FrameGroup group) {
    if (group.datagrams.empty()) return;
    std::size_t bytes = 0;
    for (const auto& d : group.datagrams) bytes += d.size();
    group.totalBytes = bytes;
    group.kind = kind;
    group.queuedAt = clock_.Now();

    uint64_t droppedGroups = 0;
    uint64_t droppedBytes = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t& count = kind == StreamKind::kVideo ? videoCount_ : audioCount_;
        const std::size_t limit = kind == StreamKind::kVideo ? kMaxVideoGroups : kMaxAudioGroups;
        while (count >= limit) {
            auto it = std::find_if(queue_.begin(), queue_.end(),
                                   [kind](const FrameGroup& g) { return g.kind == kind; });
            if (it == queue_.end()) break;  // counts and queue disagree: never spin
            queuedBytes_.fetch_sub(it->totalBytes);
            droppedBytes += it->totalBytes;
            queue_.erase(it);
            --count;
            ++droppedGroups;
            dropped_.fetch_add(1);
        }
        queue_.push_back(std::move(group));
        ++count;
        queuedBytes_.fetch_add(bytes);
    }
    wake_.notify_one();

    if (droppedGroups == 0) return;
    windowDrops_.fetch_add(1);
    windowDropBytes_.fetch_add(droppedBytes);
    const int64_t now = NowNs();
    int64_t last = lastReport_.load();
    if (last != 0 && now - last < kReportIntervalNs) return;
    if (!lastReport_.compare_exchange_strong(last, now)) return;
    const uint64_t drops = windowDrops_.exchange(0);
    const uint64_t dropBytes = windowDropBytes_.exchange(0);
    const std::size_t queuedVideo = QueuedVideoGroups();
    Log(kLog, kLogInfo,
        "Pacer overflow: dropped %zu video frame(s) in last ~1s (%zu bytes). queue=%zu queuedBytes=%zu "
        "bitrate=%u bps total_dropped=%llu",
        static_cast<std::size_t>(drops), static_cast<std::size_t>(dropBytes), queuedVideo,
        static_cast<std::size_t>(queuedBytes_.load()), bitrate_.load(),
        static_cast<unsigned long long>(dropped_.load()));
}

void Pacer::Run() {
    for (;;) {
        FrameGroup group;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !running_.load() || !queue_.empty(); });
            if (!running_.load()) return;
            group = std::move(queue_.front());
            queue_.pop_front();
            --(group.kind == StreamKind::kVideo ? videoCount_ : audioCount_);
            queuedBytes_.fetch_sub(group.totalBytes);
        }
        const SendFunction& send = group.kind == StreamKind::kVideo ? sendVideo_ : sendAudio_;
        for (const auto& datagram : group.datagrams) {
            if (!Pace(datagram.size())) return;
            if (send && send(datagram.data(), datagram.size())) {
                bytesSent_.fetch_add(datagram.size());
            } else {
                failed_.fetch_add(1);
            }
        }
        if (group.kind == StreamKind::kVideo) RecordStageTime(Stage::kPace, MicrosBetween(group.queuedAt, clock_.Now()));
    }
}

bool Pacer::Pace(std::size_t size) {
    if (!running_.load()) return false;
    const double need = static_cast<double>(size);
    for (;;) {
        const int64_t now = NowNs();
        const int64_t elapsed = now - lastTick_;
        lastTick_ = now;
        const double rate = static_cast<double>(bitrate_.load()) * 0.125;
        tokens_ += static_cast<double>(elapsed) / 1e9 * rate;
        const double cap = std::max(need, rate * 0.02);
        tokens_ = std::min(tokens_, cap);
        if (tokens_ >= need) break;
        // A zero bitrate would never fill the bucket; poll at the slowest useful pace instead of dividing by 0.
        int64_t waitUs = rate > 0 ? static_cast<int64_t>((need - tokens_) / rate * 1e6) : 1000;
        waitUs = std::max(waitUs, kMinSleepUs);
        const auto deadline = Clock::time_point(std::chrono::nanoseconds(now)) + std::chrono::microseconds(waitUs);
        {
            std::unique_lock<std::mutex> lock(sleepMutex_);
            clock_.WaitUntil(sleepWake_, lock, deadline, [this] { return !running_.load(); });
        }
        if (!running_.load()) return false;
    }
    tokens_ -= need;
    return true;
}

}  // namespace Veltrix
