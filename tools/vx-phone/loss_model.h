// Simulated loss on the receiving side: decides, datagram by datagram,
// which ones the phone pretends it never got. Independent drops at a given
// share, or bursts from a two-state (Gilbert) model: a "good" state that
// keeps every datagram and a "bad" state that drops every one, with the
// switching chances chosen so that the long-run share dropped is `rate` and
// a burst lasts `meanBurst` datagrams on average.
#pragma once

#include <cstdint>
#include <map>
#include <random>

#include "vx-phone/datagram.h"

namespace Veltrix::phone {

class LossModel {
public:
    // rate in [0, 1): share dropped (0 = keep all). meanBurst >= 1, or 0 for
    // independent drops. Same seed, same decisions.
    LossModel(double rate, double meanBurst, std::uint64_t seed);

    // Whether to drop the next datagram.
    bool Drop();

    // The chance that at most `parity` of `total` consecutive datagrams are
    // dropped, which is what a frame with that much parity needs to arrive
    // whole: binomial for independent drops, exact for the two-state model
    // starting from its long-run mix.
    double DeliveryChance(int total, int parity) const;

    bool active() const { return rate_ > 0; }
    std::uint64_t dropped() const { return dropped_; }
    std::uint64_t seen() const { return seen_; }

private:
    double Uniform();

    double rate_;
    bool bursty_;
    double enterBad_ = 0, leaveBad_ = 1;
    bool bad_ = false;
    std::mt19937_64 rng_;
    std::uint64_t dropped_ = 0, seen_ = 0;
};

// The parity rule applied to the drops actually made: a frame can be rebuilt
// while no more of its datagrams were dropped than it carries parity. A frame
// is counted once 32 newer frame numbers have shown up (its datagrams are in).
class DropTally {
public:
    void Note(const DatagramView& datagram, bool dropped);
    // Settled frames and the still open ones (the newest 32): a session's summary
    // must cover the frames the reassembler counted, its last ones included.
    std::uint64_t frames() const { return frames_ + open_.size(); }
    std::uint64_t repairable() const;

private:
    struct Frame {
        int parity = 0;
        int dropped = 0;
    };
    std::map<std::uint16_t, Frame> open_;
    std::uint16_t newest_ = 0;
    bool started_ = false;
    std::uint64_t frames_ = 0, repairable_ = 0;
};

}  // namespace Veltrix::phone
