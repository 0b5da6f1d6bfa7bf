#include "vx-phone/loss_model.h"

#include <algorithm>
#include <array>
#include <vector>

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

void DropTally::Note(const DatagramView& d, bool dropped) {
    const auto behind = [&](std::uint16_t n) { return static_cast<std::int16_t>(newest_ - n); };
    if (!started_ || behind(d.frameNumber) < 0) newest_ = d.frameNumber;
    started_ = true;
    if (behind(d.frameNumber) >= 32) return;  // its frame is counted already
    Frame& f = open_[d.frameNumber];
    f.parity = d.parityCount;
    f.dropped += dropped ? 1 : 0;
    for (auto it = open_.begin(); it != open_.end();) {
        if (behind(it->first) < 32) {
            ++it;
            continue;
        }
        ++frames_;
        repairable_ += it->second.dropped <= it->second.parity ? 1 : 0;
        it = open_.erase(it);
    }
}

std::uint64_t DropTally::repairable() const {
    std::uint64_t n = repairable_;
    for (const auto& entry : open_) n += entry.second.dropped <= entry.second.parity ? 1 : 0;
    return n;
}

double LossModel::DeliveryChance(int total, int parity) const {
    if (total <= 0 || rate_ <= 0) return 1.0;
    parity = std::clamp(parity, 0, total);
    // chance[s][k]: the state the next datagram meets is s (1 = bad) and k were
    // dropped so far; more than `parity` drops is a lost frame and leaves the sum.
    const std::size_t width = static_cast<std::size_t>(parity) + 1;
    std::array<std::vector<double>, 2> chance{std::vector<double>(width, 0.0), std::vector<double>(width, 0.0)};
    const double startBad = bursty_ ? enterBad_ / (enterBad_ + leaveBad_) : 0.0;
    chance[0][0] = 1.0 - startBad;
    chance[1][0] = startBad;
    for (int i = 0; i < total; ++i) {
        std::array<std::vector<double>, 2> next{std::vector<double>(width, 0.0), std::vector<double>(width, 0.0)};
        for (std::size_t k = 0; k < width; ++k) {
            if (!bursty_) {
                next[0][k] += chance[0][k] * (1.0 - rate_);
                if (k + 1 < width) next[0][k + 1] += chance[0][k] * rate_;
                continue;
            }
            // Good keeps the datagram, bad drops it; then the state moves on.
            const double good = chance[0][k], bad = chance[1][k];
            next[0][k] += good * (1.0 - enterBad_);
            next[1][k] += good * enterBad_;
            if (k + 1 < width) {
                next[0][k + 1] += bad * leaveBad_;
                next[1][k + 1] += bad * (1.0 - leaveBad_);
            }
        }
        chance = std::move(next);
    }
    double sum = 0;
    for (const auto& row : chance)
        for (double c : row) sum += c;
    return std::min(1.0, sum);
}

}  // namespace Veltrix::phone
