// Rebuilds frames from the datagrams of one stream: fragments may arrive in
// any order, twice, or not at all. A frame is complete when all its data
// fragments are in, or repaired when enough parity arrived to rebuild the
// missing ones (cm256). Frames leave in frame-number order; one that cannot be
// completed is given up as soon as it is past hope: a newer key frame is
// complete, or the sender has moved past its group and a short allowance for
// reordering (four fragment gaps of its group) has run out. A bounded wait and
// a count of newer frames remain as the last resort, so a loss never stalls
// the stream.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "support/clock.h"
#include "vx-phone/datagram.h"

namespace Veltrix::phone {

struct ReassemblerOptions {
    std::uint8_t streamType = 1;                       // datagrams of other streams are refused
    std::chrono::milliseconds maxWait{250};            // from a frame's first fragment (or the first sign of it)
    int maxNewerFrames = 8;                            // give up once this many newer frame numbers were seen
    // Allowance for a datagram overtaken by newer ones: four fragment gaps of
    // the frame's group, within these bounds.
    std::chrono::microseconds minReorderWait{2000};
};

struct AssembledFrame {
    std::uint16_t frameNumber = 0;
    bool keyFrame = false;
    std::uint32_t frameTime = 0;
    std::vector<std::uint8_t> bytes;
    int dataFragments = 0;
    int parityFragments = 0;
    int repairedFragments = 0;                 // data fragments rebuilt from parity
    std::optional<std::uint32_t> sendTimeUs;   // earliest send time among its data fragments
    Clock::time_point firstArrival{};
    Clock::time_point completedAt{};
};

struct ReassemblerCounters {
    std::uint64_t datagrams = 0;         // accepted into a frame
    std::uint64_t invalid = 0;           // malformed, other stream, or disagreeing with their frame
    std::uint64_t duplicates = 0;
    std::uint64_t late = 0;              // for a frame already given up
    std::uint64_t framesComplete = 0;    // delivered, repaired ones included
    std::uint64_t framesRepaired = 0;
    std::uint64_t framesLost = 0;        // given up (partly received or never seen)
    std::uint64_t framesUnprotected = 0; // arrived without parity (256 data fragments or more)
    std::uint64_t fragmentsRepaired = 0;
    std::uint64_t repairFailures = 0;    // parity present but the decoder refused it
    std::uint64_t resets = 0;            // the sender's numbering jumped (restart)
    std::uint64_t bytes = 0;             // datagram bytes accepted
    // Sequence numbers: span seen and distinct ones received, for a datagram loss rate.
    std::uint64_t sequenceSpan = 0;
    std::uint64_t sequenceReceived = 0;
};

class FrameReassembler {
public:
    explicit FrameReassembler(ReassemblerOptions options = {});

    // Takes one datagram that arrived at `now`; false when it was refused (see counters).
    bool Push(const std::uint8_t* data, std::size_t size, Clock::time_point now);
    // Gives up frames whose wait is over; call regularly, also when nothing arrives.
    void Expire(Clock::time_point now);
    // The next frame in order, once it is complete (or nothing).
    std::optional<AssembledFrame> Pop();
    // Frame numbers given up since the last call, in order.
    std::vector<std::uint16_t> TakeLost();

    const ReassemblerCounters& counters() const { return counters_; }
    // Frames held (incomplete, or complete behind an older incomplete one).
    std::size_t pending() const { return pending_.size(); }

private:
    struct Pending {
        bool keyFrame = false;
        std::uint32_t frameTime = 0;
        std::uint16_t count = 0;
        int parity = 0;
        std::vector<std::vector<std::uint8_t>> fragments;  // by index; empty = missing
        int haveData = 0, haveParity = 0;
        std::uint16_t lastLength = 0;  // of the last data fragment, 0 until known
        std::optional<std::uint32_t> sendTimeUs;
        Clock::time_point firstArrival{}, lastArrival{};
        int received = 0;              // datagrams taken, parity included
        std::int64_t sequenceEnd = 0;  // one past the group's last sequence number, unwrapped
        bool complete = false;
        AssembledFrame frame;
    };

    std::int64_t Unwrap(std::uint16_t frameNumber) const;
    void Reset();
    std::int64_t TrackSequence(std::uint32_t sequence);
    bool TryComplete(std::int64_t key, Pending& p, Clock::time_point now);
    void Advance(Clock::time_point now);
    bool PastHope(std::int64_t key, const Pending* p, Clock::time_point now) const;
    void GiveUp(std::int64_t key);

    ReassemblerOptions options_;
    ReassemblerCounters counters_;
    bool started_ = false;
    std::int64_t highest_ = 0;     // newest frame number seen, unwrapped
    std::int64_t next_ = 0;        // next frame to deliver, unwrapped
    std::map<std::int64_t, Pending> pending_;
    std::deque<AssembledFrame> ready_;
    std::vector<std::uint16_t> lost_;
    // Sequence tracking: unwrapped highest and the recent window of seen numbers.
    bool seqStarted_ = false;
    std::int64_t seqFirst_ = 0, seqHighest_ = 0;
    std::chrono::nanoseconds streamGap_{0};  // fragment gap of the last group that showed one
    std::set<std::int64_t> recentLost_;  // frames given up lately, for the late count
};

// Rebuilds the missing data blocks of a frame in place with cm256: `blocks`
// holds D block pointers of 1440 bytes with their fragment indices (data
// indices below D, parity D..D+P-1). On success every block holds original
// data and its index is the data index it now carries. Returns cm256's code.
int FecRepair(int dataCount, int parityCount, std::uint8_t** blocks, std::uint8_t* indices);

// The audio frame payload: sample rate, channels, 32-bit float samples.
struct AudioBlock {
    std::uint32_t sampleRate = 0;
    int channels = 0;
    std::size_t samples = 0;  // per channel
    float peak = 0;           // largest absolute sample value
};
std::optional<AudioBlock> ParseAudioPayload(const std::uint8_t* data, std::size_t size);

}  // namespace Veltrix::phone
