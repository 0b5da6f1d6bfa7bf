// Owns the encoder the video path feeds and changes its configuration without
// stopping the stream.
//
// Two routes:
//  - seamless (RequestTransition): a worker clones a second encoder; every frame
//    then goes to both, only the active one's output reaches downstream, and the
//    clone becomes active between two frames once it has produced a keyframe;
//  - conservative (ReconfigureInPlace, and the fallback when a clone fails): the
//    active encoder is reconfigured under the exclusive lock while frames wait.
//
// Locking rules (read before changing anything here):
//  - lock order: pendingLock_ before encoderLock_. Only CompleteSwapIfReady holds
//    both; every other path takes them one after the other, never nested.
//  - the forwarder runs on encoder output threads and takes only callbackLock_
//    (plus an atomic read of activeKey_). An encoder may hold its own lock while
//    calling it, so the downstream callback must never call back into an encoder
//    or into this pipeline (Stop included).
//  - Clone runs under the shared encoderLock_, so no swap happens while a clone is built.
//  - Encode holds no pipeline lock while encoders work; its owner copies keep a
//    swapped-out encoder alive until the call returns.
//  - targets, stopping_ and activeKey_ are read without locks.
//  - callbackLock_ comes last: it may be taken while holding pendingLock_ and
//    encoderLock_ (the hand-over at a swap), never the other way round.
//
// Hand-over at a swap. An encoder may deliver a frame some calls (or some time)
// after it was submitted, so at the swap both encoders can still hold frames.
// Every encoder's output is numbered by the pipeline (its n-th output is the n-th
// frame fed to it), and the change happens at one frame number G: once the pending
// encoder has produced its first keyframe, it is asked for a keyframe on the next
// frame G; the old encoder goes on being forwarded until it has delivered every
// frame before G (its frames from G on are dropped), and the new one is forwarded
// from G on (its frames before G are dropped, those from G that come out before
// the swap are held and delivered at the swap). An encoder that is not active
// never reaches downstream.
// Every encoder leaves through exactly one Teardown: the retire worker's, the
// caller's of RetireEncoder once the worker is stopping, or Stop's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "support/clock.h"
#include "support/shared_mutex.h"

namespace Veltrix {

// One row of "transitions.csv". Negative milliseconds leave their column empty.
struct TransitionRecord {
    const char* mode = "";  // "Seamless" or "Conservative"
    int fromW = 0, fromH = 0, toW = 0, toH = 0;
    double cloneMs = -1, firstKeyMs = -1, swapMs = -1, totalMs = 0;
    int framesDropped = 0;
    std::string error;
};

// "ts,mode,...,error" row without the line end; ts in whole milliseconds.
std::string FormatTransitionRow(int64_t tsMs, const TransitionRecord& r);
// Appends the row (and the header when the file is new) to "transitions.csv" in the
// debug folder, under a process-wide lock. Lines end in CR LF. Failures are logged.
void AppendTransitionRecord(int64_t tsMs, const TransitionRecord& r);

extern const char kTransitionsCsvHeader[];

class EncoderPipeline {
public:
    // Takes the encoder (may be null) as the active one and starts both workers.
    // Throws std::system_error when a thread cannot start.
    explicit EncoderPipeline(std::unique_ptr<IHardwareEncoder> encoder,
                             Clock& clock = Clock::Real());
    // Runs Stop.
    ~EncoderPipeline();

    EncoderPipeline(const EncoderPipeline&) = delete;
    EncoderPipeline& operator=(const EncoderPipeline&) = delete;

    // Feeds the active encoder and, during a seamless change, the pending one;
    // promotes the pending encoder once it has produced a keyframe.
    void Encode(const uint8_t* bgra, int width, int height, int strideBytes, int64_t timestampUs);
    // Configure of the active encoder; false without one.
    bool Configure(int width, int height, uint32_t bitrateBps, int fps);
    // Clears the targets and reconfigures the active encoder in place; frames wait meanwhile.
    void ReconfigureInPlace(const EncoderConfig& cfg);
    // Queues a seamless change; ignored when the same change is already queued or under way.
    void RequestTransition(const EncoderConfig& cfg);
    // Where active output goes (empty drops it).
    void SetOutputCallback(EncodedFrameCallback cb);

    void RequestKeyframe();
    void SetCodec(int codec);
    void SetGopSize(int gop);
    void SetRateControl(int mode, float quality);
    void EmergencyCompress(int frames);

    // The target of a seamless change in progress, else the active encoder's value, else 0.
    int Width() const;
    int Height() const;
    int Fps() const;
    // The active encoder's values; in brackets the value without one.
    uint32_t Bitrate() const;        // (0)
    int Codec() const;               // (0)
    int RateControl() const;         // (0)
    int GopSize() const;             // (1)
    uint32_t FrameSizeCap() const;   // (340,000)
    bool Ready() const;              // (false)
    std::string Description() const;  // (empty)

    // Ends both workers and both encoders; later output is dropped. Idempotent.
    // Must not be called from the downstream callback.
    void Stop();

    // --- for tests ---
    bool TransitionPending() const;

private:
    using EncoderPtr = std::shared_ptr<IHardwareEncoder>;
    struct OutputRoute;
    using RoutePtr = std::shared_ptr<OutputRoute>;

    // Sets the forwarder on the encoder; its output is numbered through route.
    void InstallPrimaryCallback(const EncoderPtr& encoder, const RoutePtr& route);
    void CompleteSwapIfReady();
    // Pending encoder removed without a swap: the active one is forwarded in full again.
    void CancelHandover();
    // Passes one output downstream; callbackLock_ held.
    void ForwardLocked(OutputRoute& route, const uint8_t* data, size_t size, bool keyframe,
                       uint64_t ts);
    void ConservativeReconfigure(const EncoderConfig& cfg);
    void RetireEncoder(EncoderPtr encoder);
    void CloneLoop();
    void RetireLoop();
    void ClearTargets();
    double MsSince(Clock::time_point t) const;
    int64_t NowMs() const;

    Clock& clock_;

    mutable SharedMutex encoderLock_;
    EncoderPtr active_;
    RoutePtr activeRoute_;
    std::atomic<const IHardwareEncoder*> activeKey_{nullptr};
    std::atomic<int64_t> nextFrame_{0};            // number of the next frame Encode takes
    std::atomic<bool> keyframeWanted_{false};      // a hand-over lost its keyframe

    mutable std::mutex pendingLock_;
    EncoderPtr pending_;
    RoutePtr pendingRoute_;
    bool pendingActive_ = false;
    bool handoverPlanned_ = false;  // the pending encoder was asked for the keyframe at handoverFrame_
    int64_t handoverFrame_ = 0;
    Clock::time_point transitionStart_{};
    int32_t framesSincePending_ = 0;
    EncoderConfig pendingConfig_;

    std::mutex callbackLock_;
    EncodedFrameCallback downstream_;

    std::mutex retireLock_;
    std::condition_variable retireSignal_;
    std::vector<EncoderPtr> retireQueue_;
    bool retireStop_ = false;

    std::mutex requestLock_;
    std::condition_variable requestSignal_;
    EncoderConfig requestConfig_;
    bool requestPending_ = false;

    std::atomic<bool> stopping_{false};
    std::atomic<int32_t> targetWidth_{0};
    std::atomic<int32_t> targetHeight_{0};
    std::atomic<int32_t> targetFps_{0};

    std::mutex stopLock_;  // serialises Stop callers
    std::thread retireThread_;
    std::thread cloneThread_;
};

}  // namespace Veltrix
