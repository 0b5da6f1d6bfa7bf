#include "encoder/mock_encoder.h"

#include <algorithm>
#include <utility>

namespace Veltrix {

MockEncoder::~MockEncoder() { Teardown(); }

bool MockEncoder::Configure(int width, int height, uint32_t bitrateBps, int fps) {
    width_.store(width);
    height_.store(height);
    bitrate_.store(bitrateBps);
    fps_.store(fps);
    started_.store(true);
    return true;
}

void MockEncoder::Teardown() {
    // The end-of-stream keyframe comes once per configured run, so repeated
    // Teardowns (and the destructor after one) stay silent.
    if (started_.exchange(false) && emitOnEnd_.load()) Deliver(true);
}

void MockEncoder::Encode(const uint8_t*, int, int, int, int64_t) {
    // The first frame is a keyframe; afterwards a pending request makes one (and is consumed).
    const bool requested = keyframeRequest_.exchange(false);
    const uint64_t index = frames_.fetch_add(1);
    Deliver(index == 0 || requested);
}

void MockEncoder::SetFrameSizeCap(uint32_t cap) {
    frameSizeCap_.store(std::clamp(cap, kMinFrameSizeCap, kMaxFrameSizeCap));
}

void MockEncoder::SetOutputCallback(EncodedFrameCallback cb) {
    EncodedFrameCallback old;
    {
        std::lock_guard<std::mutex> lock(callbackLock_);
        old = std::exchange(callback_, std::move(cb));
    }
    // `old` is destroyed here, outside the lock, in case it owns something that calls back.
}

std::unique_ptr<IHardwareEncoder> MockEncoder::Clone(const EncoderConfig& cfg) {
    auto clone = std::make_unique<MockEncoder>();
    clone->SetEmitOnEnd(emitOnEnd_.load());
    clone->SetCodec(cfg.codec);
    clone->SetGopSize(cfg.gopSize);
    clone->SetRateControl(cfg.rateControl, cfg.quality);
    clone->SetFrameSizeCap(cfg.frameSizeCap == 0 ? kDefaultFrameSizeCap : cfg.frameSizeCap);
    clone->Configure(cfg.width, cfg.height, cfg.bitrateBps, cfg.fps);
    return clone;
}

void MockEncoder::Deliver(bool keyframe) {
    static const uint8_t kAccessUnit[4] = {0x00, 0x00, 0x00, 0x01};
    EncodedFrameCallback cb;
    {
        std::lock_guard<std::mutex> lock(callbackLock_);
        cb = callback_;
    }
    if (cb) cb(kAccessUnit, sizeof kAccessUnit, keyframe, 0);
}

}  // namespace Veltrix
