#include "encoder/encoder_pipeline.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <sstream>
#include <utility>

#include "support/debug_topics.h"
#include "support/log.h"
#include "support/memory.h"
#include "support/threads.h"

namespace Veltrix {

namespace {

const LogChannel kLog{kLogSubsystem, "pipeline"};

// Keyframe wait of the clone worker after installing a pending encoder.
constexpr int kKeyframeWaitRounds = 100;
// How long a hand-over waits for the old encoder's last frames before it swaps
// anyway (an encoder that dropped frames never catches up in the numbering).
constexpr int64_t kMaxHandoverFrames = 30;
constexpr int64_t kNoFrame = std::numeric_limits<int64_t>::max();
constexpr std::chrono::milliseconds kKeyframeWaitStep{5};

const char* CodecWord(int codec) { return codec != 0 ? "H264" : "HEVC"; }

const char* RateControlWord(int mode) {
    switch (mode) {
        case kRateControlBitrate: return "Bitrate";
        case kRateControlQuality: return "Quality";
        case kRateControlVbr: return "VBR";
        default: return "?";
    }
}

// The six fields that identify a change; bitrate, peak, quality and cap do not.
bool SameChange(const EncoderConfig& a, const EncoderConfig& b) {
    return a.width == b.width && a.height == b.height && a.fps == b.fps && a.codec == b.codec &&
           a.gopSize == b.gopSize && a.rateControl == b.rateControl;
}

void AppendMs(std::ostringstream& out, double ms) {
    out << ',';
    if (ms >= 0) out << ms;
}

std::mutex& TransitionFileLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

const char kTransitionsCsvHeader[] =
    "ts,mode,fromW,fromH,toW,toH,cloneMs,firstKeyMs,swapMs,totalMs,framesDropped,error";

std::string FormatTransitionRow(int64_t tsMs, const TransitionRecord& r) {
    std::ostringstream out;
    out.imbue(std::locale::classic());  // a decimal point whatever the user's locale
    out << tsMs << ',' << r.mode << ',' << r.fromW << ',' << r.fromH << ',' << r.toW << ','
        << r.toH;
    AppendMs(out, r.cloneMs);
    AppendMs(out, r.firstKeyMs);
    AppendMs(out, r.swapMs);
    out << ',' << r.totalMs << ',' << r.framesDropped << ',' << r.error;
    return out.str();
}

void AppendTransitionRecord(int64_t tsMs, const TransitionRecord& r) {
    const std::string row = FormatTransitionRow(tsMs, r) + "\r\n";
    std::lock_guard<std::mutex> lock(TransitionFileLock());
    try {
        const std::filesystem::path path = DebugFilePath("transitions.csv");
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        const bool existed = std::filesystem::exists(path, ec);
        // Binary, so the CR LF line ends are written as such on every platform.
        std::ofstream file(path, std::ios::out | std::ios::app | std::ios::binary);
        if (!file) {
            Log(kLog, kLogError, "transitions.csv: cannot open %s", PathForLog(path).c_str());
            return;
        }
        if (!existed) file << kTransitionsCsvHeader << "\r\n";
        file << row;
    } catch (const std::exception& e) {
        Log(kLog, kLogError, "transitions.csv: %s", e.what());
    }
}

// Numbering and hand-over state of one encoder's output. All but base under callbackLock_.
struct EncoderPipeline::OutputRoute {
    struct Held {
        std::vector<uint8_t> bytes;
        bool keyframe;
        uint64_t ts;
    };
    std::atomic<int64_t> base{-1};  // number of the first frame fed to the encoder
    int64_t delivered = 0;          // outputs seen since base
    int64_t from = 0;               // first frame number forwarded
    int64_t until = kNoFrame;       // first frame number no longer forwarded
    bool holding = false;           // not active yet: keep its frames from `from` on
    bool awaitKeyframe = false;     // the first frame forwarded must be a keyframe
    std::vector<Held> held;
};

EncoderPipeline::EncoderPipeline(std::unique_ptr<IHardwareEncoder> encoder, Clock& clock)
    : clock_(clock), active_(std::move(encoder)) {
    activeKey_.store(active_.get());
    if (active_) {
        activeRoute_ = std::make_shared<OutputRoute>();
        activeRoute_->base.store(0);
        InstallPrimaryCallback(active_, activeRoute_);
    }
    retireThread_ = std::thread([this] { RetireLoop(); });
    try {
        cloneThread_ = std::thread([this] { CloneLoop(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(retireLock_);
            retireStop_ = true;
        }
        retireSignal_.notify_all();
        retireThread_.join();
        throw;
    }
}

EncoderPipeline::~EncoderPipeline() { Stop(); }

void EncoderPipeline::InstallPrimaryCallback(const EncoderPtr& encoder, const RoutePtr& route) {
    const IHardwareEncoder* key = encoder.get();
    encoder->SetOutputCallback(
        [this, key, route](const uint8_t* data, size_t size, bool keyframe, uint64_t ts) {
            std::lock_guard<std::mutex> lock(callbackLock_);
            const int64_t base = route->base.load();
            // Output before any input (an end-of-stream flush) has no number and is never
            // forwarded; it must not shift the numbering either.
            const int64_t frame = base < 0 ? -1 : base + route->delivered++;
            if (activeKey_.load() != key) {
                if (route->holding && frame >= route->from)
                    route->held.push_back({std::vector<uint8_t>(data, data + size), keyframe, ts});
                return;
            }
            if (frame < route->from || frame >= route->until) return;
            ForwardLocked(*route, data, size, keyframe, ts);
        });
}

void EncoderPipeline::ForwardLocked(OutputRoute& route, const uint8_t* data, size_t size,
                                    bool keyframe, uint64_t ts) {
    if (route.awaitKeyframe) {
        if (!keyframe) {
            // The numbering went wrong (an encoder that dropped a frame): nothing can be
            // decoded until a keyframe, so ask for one on the next frame.
            keyframeWanted_.store(true);
            return;
        }
        route.awaitKeyframe = false;
    }
    if (downstream_) downstream_(data, size, keyframe, ts);
}

void EncoderPipeline::Encode(const uint8_t* bgra, int width, int height, int strideBytes,
                             int64_t timestampUs) {
    EncoderPtr active;
    int64_t frame = 0;
    {
        std::shared_lock<SharedMutex> lock(encoderLock_);
        active = active_;
        frame = nextFrame_.fetch_add(1);
    }
    if (active) {
        if (keyframeWanted_.exchange(false)) active->RequestKeyframe();
        active->Encode(bgra, width, height, strideBytes, timestampUs);
    }
    EncoderPtr pending;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (pendingActive_) {
            pending = pending_;
            if (framesSincePending_ == 0) pendingRoute_->base.store(frame);
            ++framesSincePending_;
        }
    }
    if (pending) pending->Encode(bgra, width, height, strideBytes, timestampUs);
    CompleteSwapIfReady();
}

void EncoderPipeline::CompleteSwapIfReady() {
    EncoderPtr old;
    TransitionRecord row;
    row.mode = "Seamless";
    {
        // pendingLock_ is held for the whole swap, so the readiness test cannot go stale.
        std::lock_guard<std::mutex> pendingGuard(pendingLock_);
        if (stopping_.load() || !pendingActive_ || !pending_ || !pending_->HasEmittedKeyframe())
            return;
        const int64_t next = nextFrame_.load();
        bool oldDone = false;
        {
            std::shared_lock<SharedMutex> lock(encoderLock_);
            if (!handoverPlanned_) {
                // The pending encoder's first keyframe went to nobody; the stream changes
                // encoders at the next frame, which it encodes as a keyframe.
                handoverPlanned_ = true;
                handoverFrame_ = next;
                pending_->RequestKeyframe();
                std::lock_guard<std::mutex> cb(callbackLock_);
                pendingRoute_->from = next;
                pendingRoute_->holding = true;
                if (activeRoute_) activeRoute_->until = next;
            }
            std::lock_guard<std::mutex> cb(callbackLock_);
            oldDone = !activeRoute_ ||
                      activeRoute_->base.load() + activeRoute_->delivered >= handoverFrame_ ||
                      next - handoverFrame_ >= kMaxHandoverFrames;
        }
        if (!oldDone) return;  // the old encoder still owes frames before the hand-over

        const Clock::time_point swapStart = clock_.Now();
        {
            std::unique_lock<SharedMutex> lock(encoderLock_);
            row.fromW = active_ ? active_->Width() : 0;
            row.fromH = active_ ? active_->Height() : 0;
            row.toW = pending_->Width();
            row.toH = pending_->Height();
            old = std::move(active_);
            active_ = std::move(pending_);
            pending_.reset();
            activeRoute_ = std::move(pendingRoute_);
            pendingRoute_.reset();
            pendingActive_ = false;
            handoverPlanned_ = false;
            std::lock_guard<std::mutex> cb(callbackLock_);
            activeKey_.store(active_.get());
            // Its frames from the hand-over on that came out before the swap go first, in
            // order; the forwarder (installed when it became pending) takes the rest.
            OutputRoute& route = *activeRoute_;
            route.holding = false;
            route.awaitKeyframe = true;
            for (const auto& h : route.held)
                ForwardLocked(route, h.bytes.data(), h.bytes.size(), h.keyframe, h.ts);
            route.held.clear();
            route.held.shrink_to_fit();
        }
        row.swapMs = MsSince(swapStart);
        row.totalMs = MsSince(transitionStart_);
    }
    DebugTopicLog(DebugTopic::kTransitions,
                  "swap complete fromW=%d fromH=%d toW=%d toH=%d swapMs=%.1f totalMs=%.1f "
                  "framesDropped=0",
                  row.fromW, row.fromH, row.toW, row.toH, row.swapMs, row.totalMs);
    AppendTransitionRecord(NowMs(), row);
    ClearTargets();
    RetireEncoder(std::move(old));
}

void EncoderPipeline::CancelHandover() {
    if (!handoverPlanned_) return;
    handoverPlanned_ = false;
    std::shared_lock<SharedMutex> lock(encoderLock_);
    std::lock_guard<std::mutex> cb(callbackLock_);
    if (activeRoute_) activeRoute_->until = kNoFrame;
}

bool EncoderPipeline::Configure(int width, int height, uint32_t bitrateBps, int fps) {
    bool ok = false;
    {
        std::shared_lock<SharedMutex> lock(encoderLock_);
        ok = active_ ? active_->Configure(width, height, bitrateBps, fps) : false;
    }
    if (ok) ReturnFreeMemory();  // the old session's buffers, outside the lock
    return ok;
}

void EncoderPipeline::ReconfigureInPlace(const EncoderConfig& cfg) {
    ClearTargets();
    ConservativeReconfigure(cfg);
}

void EncoderPipeline::ConservativeReconfigure(const EncoderConfig& cfg) {
    TransitionRecord row;
    row.mode = "Conservative";
    {
        std::unique_lock<SharedMutex> lock(encoderLock_);
        if (!active_) return;
        row.fromW = active_->Width();
        row.fromH = active_->Height();
        row.toW = cfg.width;
        row.toH = cfg.height;
        const Clock::time_point t0 = clock_.Now();
        active_->SetCodec(cfg.codec);
        active_->SetGopSize(std::max(1, cfg.gopSize));
        active_->SetRateControl(cfg.rateControl, cfg.quality);
        active_->SetFrameSizeCap(cfg.frameSizeCap == 0 ? kDefaultFrameSizeCap : cfg.frameSizeCap);
        active_->Configure(cfg.width, cfg.height, cfg.bitrateBps, cfg.fps);
        if (cfg.peakBitrateBps != 0) active_->SetPeakBitrate(cfg.peakBitrateBps);
        active_->ForceKeyframe();
        {
            // Configure discarded whatever the encoder still held: number afresh.
            std::lock_guard<std::mutex> cb(callbackLock_);
            activeRoute_->base.store(nextFrame_.load());
            activeRoute_->delivered = 0;
        }
        row.totalMs = MsSince(t0);
        DebugTopicLog(DebugTopic::kTransitions,
                      "single-encoder reconfigure fromW=%d fromH=%d toW=%d toH=%d durationMs=%.1f "
                      "framesDropped=0",
                      row.fromW, row.fromH, row.toW, row.toH, row.totalMs);
    }
    // The file is written after the lock is released so waiting frames do not wait on disk.
    AppendTransitionRecord(NowMs(), row);
    ReturnFreeMemory();  // the old session's buffers
}

void EncoderPipeline::RequestTransition(const EncoderConfig& cfg) {
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (pendingActive_ && SameChange(pendingConfig_, cfg)) return;
    }
    {
        std::lock_guard<std::mutex> lock(requestLock_);
        if (requestPending_ && SameChange(requestConfig_, cfg)) return;
    }
    targetWidth_.store(cfg.width);
    targetHeight_.store(cfg.height);
    targetFps_.store(cfg.fps);
    {
        std::lock_guard<std::mutex> lock(requestLock_);
        if (stopping_.load()) return;
        requestConfig_ = cfg;  // a request not yet taken is replaced by the newer one
        requestPending_ = true;
    }
    requestSignal_.notify_one();
}

void EncoderPipeline::CloneLoop() {
    SetCurrentThreadName("vx-clone");
    for (;;) {
        EncoderConfig cfg;
        {
            std::unique_lock<std::mutex> lock(requestLock_);
            requestSignal_.wait(lock, [this] { return stopping_.load() || requestPending_; });
            if (stopping_.load()) return;
            cfg = requestConfig_;
            requestPending_ = false;
        }
        const Clock::time_point t0 = clock_.Now();
        int fromW = 0, fromH = 0;
        {
            std::shared_lock<SharedMutex> lock(encoderLock_);
            if (active_) {
                fromW = active_->Width();
                fromH = active_->Height();
            }
        }
        DebugTopicLog(DebugTopic::kTransitions,
                      "begin mode=%s fromW=%d fromH=%d toW=%d toH=%d codec=%s rc=%s gop=%d bps=%u",
                      "Seamless", fromW, fromH, cfg.width, cfg.height, CodecWord(cfg.codec),
                      RateControlWord(cfg.rateControl), cfg.gopSize, cfg.bitrateBps);
        EncoderPtr earlier;
        {
            std::lock_guard<std::mutex> lock(pendingLock_);
            earlier = std::move(pending_);
            pending_.reset();
            pendingRoute_.reset();
            pendingActive_ = false;
            CancelHandover();
        }
        RetireEncoder(std::move(earlier));

        EncoderPtr clone;
        {
            std::shared_lock<SharedMutex> lock(encoderLock_);
            if (active_) clone = active_->Clone(cfg);
        }
        if (clone) {
            DebugTopicLog(DebugTopic::kTransitions, "clone ok cloneSetupMs=%.1f", MsSince(t0));
            // Its output is numbered from the start but reaches nobody until the swap.
            EncoderPtr shared = std::move(clone);
            auto route = std::make_shared<OutputRoute>();
            InstallPrimaryCallback(shared, route);
            {
                std::lock_guard<std::mutex> lock(pendingLock_);
                pending_ = std::move(shared);
                pendingRoute_ = std::move(route);
                handoverPlanned_ = false;
                pendingActive_ = true;
                framesSincePending_ = 0;
                transitionStart_ = t0;
                pendingConfig_ = cfg;
            }
            for (int round = 0; round < kKeyframeWaitRounds; ++round) {
                {
                    // Woken early by Stop or by a newer request, which replaces this one.
                    std::unique_lock<std::mutex> lock(requestLock_);
                    if (clock_.WaitFor(requestSignal_, lock, kKeyframeWaitStep,
                                       [this] { return stopping_.load() || requestPending_; }))
                        break;
                }
                std::lock_guard<std::mutex> lock(pendingLock_);
                if (!pendingActive_) break;  // swapped already
                if (pending_ && pending_->HasEmittedKeyframe()) {
                    DebugTopicLog(DebugTopic::kTransitions,
                                  "pending ready after %d frames firstKeyMs=%.1f",
                                  framesSincePending_, MsSince(t0));
                    break;
                }
            }
        } else {
            DebugTopicLog(DebugTopic::kTransitions,
                          "clone failed — falling back to conservative in-place reconfigure");
            TransitionRecord row;
            row.mode = "Seamless";
            row.fromW = fromW;
            row.fromH = fromH;
            row.toW = cfg.width;
            row.toH = cfg.height;
            row.cloneMs = MsSince(t0);
            row.totalMs = row.cloneMs;
            row.error = "clone_failed";
            AppendTransitionRecord(NowMs(), row);
            ClearTargets();
            ConservativeReconfigure(cfg);
        }
    }
}

void EncoderPipeline::RetireEncoder(EncoderPtr encoder) {
    if (!encoder) return;
    {
        std::lock_guard<std::mutex> lock(retireLock_);
        if (!retireStop_) {
            retireQueue_.push_back(std::move(encoder));
            retireSignal_.notify_one();
            return;
        }
    }
    // The worker is ending (a swap that raced with Stop): end the encoder here
    // rather than leave it queued with nobody to tear it down.
    encoder->Teardown();
}

void EncoderPipeline::RetireLoop() {
    SetCurrentThreadName("vx-retire");
    std::unique_lock<std::mutex> lock(retireLock_);
    for (;;) {
        retireSignal_.wait(lock, [this] { return retireStop_ || !retireQueue_.empty(); });
        if (retireQueue_.empty()) return;  // retireStop_ and nothing left
        EncoderPtr encoder = std::move(retireQueue_.back());
        retireQueue_.pop_back();
        lock.unlock();
        encoder->Teardown();
        encoder.reset();  // may destroy it; this can take a while for a real transform
        ReturnFreeMemory();
        lock.lock();
    }
}

void EncoderPipeline::Stop() {
    std::lock_guard<std::mutex> stopGuard(stopLock_);
    stopping_.store(true);
    {
        std::lock_guard<std::mutex> lock(requestLock_);
        requestPending_ = true;
    }
    requestSignal_.notify_all();
    if (cloneThread_.joinable()) cloneThread_.join();
    {
        std::lock_guard<std::mutex> lock(retireLock_);
        retireStop_ = true;
    }
    retireSignal_.notify_all();
    if (retireThread_.joinable()) retireThread_.join();

    activeKey_.store(nullptr);
    {
        EncodedFrameCallback old;
        {
            std::lock_guard<std::mutex> lock(callbackLock_);
            old = std::exchange(downstream_, EncodedFrameCallback{});
        }
    }
    EncoderPtr pending, active;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending = std::move(pending_);
        pending_.reset();
        pendingRoute_.reset();
        pendingActive_ = false;
        handoverPlanned_ = false;
    }
    {
        std::unique_lock<SharedMutex> lock(encoderLock_);
        active = std::move(active_);
        active_.reset();
        // A swap that was already past its stopping test has finished by now; drop its key too.
        activeKey_.store(nullptr);
    }
    ClearTargets();
    if (pending) pending->Teardown();
    if (active) active->Teardown();
}

void EncoderPipeline::SetOutputCallback(EncodedFrameCallback cb) {
    EncodedFrameCallback old;
    std::lock_guard<std::mutex> lock(callbackLock_);
    if (stopping_.load()) return;  // Stop has emptied it for good
    old = std::exchange(downstream_, std::move(cb));
}

void EncoderPipeline::RequestKeyframe() {
    {
        std::shared_lock<SharedMutex> lock(encoderLock_);
        if (active_) active_->RequestKeyframe();
    }
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (pending_) pending_->RequestKeyframe();
}

void EncoderPipeline::SetCodec(int codec) {
    {
        std::unique_lock<SharedMutex> lock(encoderLock_);
        if (active_) active_->SetCodec(codec);
    }
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (pending_) pending_->SetCodec(codec);
}

void EncoderPipeline::SetGopSize(int gop) {
    {
        std::unique_lock<SharedMutex> lock(encoderLock_);
        if (active_) active_->SetGopSize(gop);
    }
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (pending_) pending_->SetGopSize(gop);
}

void EncoderPipeline::SetRateControl(int mode, float quality) {
    {
        std::unique_lock<SharedMutex> lock(encoderLock_);
        if (active_) active_->SetRateControl(mode, quality);
    }
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (pending_) pending_->SetRateControl(mode, quality);
}

void EncoderPipeline::EmergencyCompress(int frames) {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    if (active_) active_->EmergencyCompress(frames);
}

int EncoderPipeline::Width() const {
    if (const int t = targetWidth_.load(); t > 0) return t;
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Width() : 0;
}

int EncoderPipeline::Height() const {
    if (const int t = targetHeight_.load(); t > 0) return t;
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Height() : 0;
}

int EncoderPipeline::Fps() const {
    if (const int t = targetFps_.load(); t > 0) return t;
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Fps() : 0;
}

uint32_t EncoderPipeline::Bitrate() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Bitrate() : 0;
}

int EncoderPipeline::Codec() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Codec() : 0;
}

int EncoderPipeline::RateControl() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->RateControl() : 0;
}

int EncoderPipeline::GopSize() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->GopSize() : 1;
}

uint32_t EncoderPipeline::FrameSizeCap() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->FrameSizeCap() : kDefaultFrameSizeCap;
}

bool EncoderPipeline::Ready() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Ready() : false;
}

std::string EncoderPipeline::Description() const {
    std::shared_lock<SharedMutex> lock(encoderLock_);
    return active_ ? active_->Description() : std::string();
}

bool EncoderPipeline::TransitionPending() const {
    std::lock_guard<std::mutex> lock(pendingLock_);
    return pendingActive_;
}

void EncoderPipeline::ClearTargets() {
    targetWidth_.store(0);
    targetHeight_.store(0);
    targetFps_.store(0);
}

double EncoderPipeline::MsSince(Clock::time_point t) const {
    return std::chrono::duration<double, std::milli>(clock_.Now() - t).count();
}

int64_t EncoderPipeline::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch())
        .count();
}

}  // namespace Veltrix
