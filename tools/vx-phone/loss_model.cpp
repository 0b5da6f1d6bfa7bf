#include "vx-phone/loss_model.h"

#include <algorithm>

namespace Veltrix::phone {

LossModel::LossModel(double rate, double meanBurst, std::uint64_t seed)
    : rate_(std::clamp(rate, 0.0, 0.999)), bursty_(meanBurst >= 1), rng_(seed) {
    if (bursty_) {
        // Bursts end with chance 1/N per datagram; the stationary share of the
        // bad state, p / (p + r), is then the rate when p = rate * r / (1 - rate).
        leaveBad_ = 1.0 / meanBurst;
        enterBad_ = std::min(1.0, rate_ * leaveBad_ / (1.0 - rate_));
        bad_ = Uniform() < rate_;  // start in the stationary mix
    }
}

double LossModel::Uniform() { return static_cast<double>(rng_() >> 11) * (1.0 / 9007199254740992.0); }

bool LossModel::Drop() {
    if (rate_ <= 0) return false;
    ++seen_;
    bool drop = false;
    if (!bursty_) {
        drop = Uniform() < rate_;
    } else {
        drop = bad_;
        bad_ = bad_ ? Uniform() >= leaveBad_ : Uniform() < enterBad_;
    }
    if (drop) ++dropped_;
    return drop;
}

}  // namespace Veltrix::phone
