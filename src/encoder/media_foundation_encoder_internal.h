// Shared by the files of the Media Foundation encoder: its log channel, the
// process-wide counters, small helpers and the event callback. Not for other users.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <atomic>
#include <mutex>
#include <string>

#include "encoder/media_foundation_encoder.h"
#include "encoder/nv12_converter.h"
#include "support/log.h"
#include "support/stage_telemetry.h"

namespace Veltrix {
namespace mf_detail {

using namespace media;

const LogChannel kLog{kLogSubsystem, "encoder"};

constexpr uint32_t kDefaultBitrate = 15'000'000;
constexpr uint64_t kSwHevcPixelCap = 6'000'000;
constexpr int kMaxStreamChanges = 9;

inline std::mutex gProcessLock;  // process-wide description and start-up count
inline std::string gCurrentDescription;
inline int gStartupCount = 0;
inline std::atomic<uint64_t> gOutputCounter{0};
inline std::atomic<uint32_t> gPushMessages{0};
inline std::atomic<uint32_t> gEventMessages{0};
inline std::atomic<uint32_t> gAllocatorEmptyMessages{0};

constexpr auto kDrainLimit = std::chrono::seconds(2);
constexpr uint32_t kResidentFencePolls = 1'000'000;
constexpr uint32_t kIdlePolls = 5'000'000;

// Environment switches, read once per process.
inline const std::string& EnvOnce(const char* name) {
    static std::mutex m;
    static std::map<std::string, std::string> values;
    std::lock_guard<std::mutex> g(m);
    auto it = values.find(name);
    if (it == values.end()) {
        const char* v = std::getenv(name);
        it = values.emplace(name, v ? v : "").first;
    }
    return it->second;
}

// Polls an event query until the GPU passed it; a failing poll flushes instead.
inline void PollQuery(Device& device, GpuObject& query, uint32_t limit) {
    device.EndQuery(query);
    for (uint32_t i = 1; i <= limit; ++i) {
        uint32_t done = 0;
        const HResult hr = device.GetQueryData(query, &done);
        if (hr == kS_OK && done) return;
        if (Failed(hr)) {
            device.Flush();
            return;
        }
        if (i % 1024 == 0) std::this_thread::yield();
    }
}

inline const char* CodecWord(int codec) { return codec == kCodecH264 ? "H264" : "HEVC"; }

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
inline std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

inline unsigned long U(HResult hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

inline uint32_t QualityPercent(float q) {
    double p = std::trunc(static_cast<double>(q) * 100.0);
    if (p < 0) p = 0;
    return static_cast<uint32_t>(std::min(p, 100.0));
}

// Quality steps below 0.005 are noise; a float step of 0.005 itself counts as a change.
inline bool QualityUnchanged(float a, float b) {
    return std::fabs(static_cast<double>(a) - static_cast<double>(b)) < 0.005 - 1e-6;
}

inline bool EngineFiltered(const std::string& id) {
    return id == "nvidia" || id == "intel" || id == "amd" || id == "software" || id == "sw";
}

inline bool MftMatchesEngine(Activation& a, const std::string& id) {
    std::string vendor;
    const bool has = Succeeded(a.GetHardwareVendorId(&vendor)) && !vendor.empty();
    if (id == "software" || id == "sw") return !has;
    const char* want = id == "nvidia" ? "10DE" : id == "intel" ? "8086" : id == "amd" ? "1002" : nullptr;
    if (!want) return true;
    if (!has) return false;
    if (vendor.size() > 127) vendor.resize(127);
    return Upper(vendor).find(want) != std::string::npos;
}

}  // namespace mf_detail

// Reaches the encoder from the platform's event thread. Teardown detaches it
// before anything it could touch goes away; a late event then finds no owner.
class MediaFoundationEncoder::AsyncEventCallback final : public media::AsyncCallback {
public:
    explicit AsyncEventCallback(MediaFoundationEncoder* owner) : owner_(owner) {}
    void Invoke(media::AsyncResult& result) override {
        std::lock_guard<std::mutex> g(mutex_);
        if (owner_) owner_->OnAsyncEvent(result);
    }
    void Detach() {
        std::lock_guard<std::mutex> g(mutex_);
        owner_ = nullptr;
    }

private:
    std::mutex mutex_;
    MediaFoundationEncoder* owner_;
};

}  // namespace Veltrix
