#include "tests/encoder/pipeline/scripted_encoder.h"

#include <chrono>
#include <cstring>

namespace Veltrix::testing {

void ScriptedStats::CloseGate() {
    std::lock_guard<std::mutex> lock(gateMutex);
    gated = true;
}

void ScriptedStats::OpenGate() {
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        gated = false;
    }
    gateSignal.notify_all();
}

bool ScriptedStats::WaitBlockedInClone(int n) {
    std::unique_lock<std::mutex> lock(gateMutex);
    return gateSignal.wait_for(lock, std::chrono::seconds(10), [&] { return blockedInClone >= n; });
}

int ScriptedStats::TeardownsOf(int serial) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = teardowns.find(serial);
    return it == teardowns.end() ? 0 : it->second;
}

bool DecodeScripted(const uint8_t* data, size_t size, ScriptedFrame* out) {
    if (size != 8) return false;
    uint32_t serial = 0, id = 0;
    std::memcpy(&serial, data, 4);
    std::memcpy(&id, data + 4, 4);
    out->serial = static_cast<int>(serial);
    out->id = id;
    return true;
}

ScriptedEncoder::ScriptedEncoder(std::shared_ptr<ScriptedStats> stats, int lagFrames)
    : stats_(std::move(stats)), serial_(++stats_->created), lag_(lagFrames) {}

ScriptedEncoder::~ScriptedEncoder() {
    std::lock_guard<std::mutex> lock(stats_->mutex);
    ++stats_->destroyed[serial_];
}

bool ScriptedEncoder::Configure(int width, int height, uint32_t bitrateBps, int fps) {
    std::lock_guard<std::mutex> lock(encodeMutex_);
    ++stats_->configureCalls;
    width_.store(width);
    height_.store(height);
    bitrate_.store(bitrateBps);
    fps_.store(fps);
    inFlight_.clear();
    emittedKey_.store(false);
    keyRequest_.store(true);
    ready_.store(true);
    return true;
}

void ScriptedEncoder::Teardown() {
    {
        std::lock_guard<std::mutex> lock(stats_->mutex);
        ++stats_->teardowns[serial_];
    }
    if (stats_->emitOnTeardown.load()) Deliver(kStrayId, true);
    std::lock_guard<std::mutex> lock(encodeMutex_);
    ready_.store(false);
    inFlight_.clear();
}

void ScriptedEncoder::Encode(const uint8_t*, int, int, int, int64_t timestampUs) {
    std::pair<uint32_t, bool> out;
    {
        std::lock_guard<std::mutex> lock(encodeMutex_);
        inFlight_.emplace_back(static_cast<uint32_t>(timestampUs), keyRequest_.exchange(false));
        if (static_cast<int>(inFlight_.size()) <= lag_) return;
        out = inFlight_.front();
        inFlight_.pop_front();
        if (out.second) emittedKey_.store(true);
    }
    Deliver(out.first, out.second);
}

void ScriptedEncoder::SetOutputCallback(EncodedFrameCallback cb) {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callback_ = std::move(cb);
}

std::unique_ptr<IHardwareEncoder> ScriptedEncoder::Clone(const EncoderConfig& cfg) {
    ++stats_->cloneCalls;
    {
        std::unique_lock<std::mutex> lock(stats_->gateMutex);
        ++stats_->blockedInClone;
        stats_->gateSignal.notify_all();
        stats_->gateSignal.wait(lock, [&] { return !stats_->gated; });
        --stats_->blockedInClone;
    }
    if (stats_->failClone.load()) return nullptr;
    auto clone = std::make_unique<ScriptedEncoder>(stats_, stats_->cloneLagFrames.load());
    clone->SetCodec(cfg.codec);
    clone->SetGopSize(cfg.gopSize);
    clone->SetRateControl(cfg.rateControl, cfg.quality);
    clone->SetPeakBitrate(cfg.peakBitrateBps);
    clone->SetFrameSizeCap(cfg.frameSizeCap ? cfg.frameSizeCap : kDefaultFrameSizeCap);
    clone->Configure(cfg.width, cfg.height, cfg.bitrateBps, cfg.fps);
    stats_->lastClone.store(clone.get());
    return clone;
}

void ScriptedEncoder::Deliver(uint32_t id, bool key) {
    EncodedFrameCallback cb;
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        cb = callback_;
    }
    uint8_t bytes[8];
    const uint32_t serial = static_cast<uint32_t>(serial_);
    std::memcpy(bytes, &serial, 4);
    std::memcpy(bytes + 4, &id, 4);
    if (cb) cb(bytes, sizeof bytes, key, id);
}

}  // namespace Veltrix::testing
