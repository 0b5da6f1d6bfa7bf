#include "vx-phone/frame_reassembler.h"

#include <cm256cc/cm256.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "transport/packetizer.h"

namespace Veltrix::phone {
namespace {

// Farther than this from what we hold, a frame number means the sender restarted.
constexpr std::int64_t kRestartDistance = 1024;

CM256& Codec() {
    // Large and slow to build: one for the process; decoding only reads its tables.
    static CM256* codec = new CM256();
    return *codec;
}

}  // namespace

int FecRepair(int dataCount, int parityCount, std::uint8_t** blocks, std::uint8_t* indices) {
    CM256& codec = Codec();
    if (!codec.isInitialized()) return -4;
    if (dataCount <= 0 || parityCount <= 0 || dataCount + parityCount > 256) return -1;
    CM256::cm256_block table[256];
    for (int i = 0; i < dataCount; ++i) {
        table[i].Block = blocks[i];
        table[i].Index = indices[i];
    }
    CM256::cm256_encoder_params params{dataCount, parityCount, static_cast<int>(kFragmentPayload)};
    const int rc = codec.cm256_decode(params, table);
    if (rc != 0) return rc;
    for (int i = 0; i < dataCount; ++i) {
        blocks[i] = static_cast<std::uint8_t*>(table[i].Block);
        indices[i] = table[i].Index;
    }
    return 0;
}

FrameReassembler::FrameReassembler(ReassemblerOptions options) : options_(options) {
    if (options_.maxNewerFrames < 1) options_.maxNewerFrames = 1;
}

std::int64_t FrameReassembler::Unwrap(std::uint16_t frameNumber) const {
    const auto delta = static_cast<std::int16_t>(static_cast<std::uint16_t>(frameNumber - static_cast<std::uint16_t>(highest_)));
    return highest_ + delta;
}

void FrameReassembler::Reset() {
    // Whatever is complete still goes out in order; the rest is lost.
    for (auto& [key, p] : pending_) {
        if (p.complete) {
            ready_.push_back(std::move(p.frame));
        } else {
            ++counters_.framesLost;
            lost_.push_back(static_cast<std::uint16_t>(key));
        }
    }
    pending_.clear();
    recentLost_.clear();
    started_ = false;
    seqStarted_ = false;
    ++counters_.resets;
}

std::int64_t FrameReassembler::TrackSequence(std::uint32_t sequence) {
    if (!seqStarted_) {
        seqStarted_ = true;
        seqFirst_ = seqHighest_ = sequence;
        counters_.sequenceSpan += 1;
        counters_.sequenceReceived += 1;
        return sequence;
    }
    const auto delta = static_cast<std::int32_t>(sequence - static_cast<std::uint32_t>(seqHighest_));
    const std::int64_t ext = seqHighest_ + delta;
    if (ext > seqHighest_) {
        counters_.sequenceSpan += static_cast<std::uint64_t>(ext - seqHighest_);
        seqHighest_ = ext;
    } else if (ext < seqFirst_) {
        counters_.sequenceSpan += static_cast<std::uint64_t>(seqFirst_ - ext);
        seqFirst_ = ext;
    }
    counters_.sequenceReceived += 1;
    return ext;
}

bool FrameReassembler::Push(const std::uint8_t* data, std::size_t size, Clock::time_point now) {
    const auto v = ParseDatagram(data, size);
    if (!v || v->streamType != options_.streamType) {
        ++counters_.invalid;
        return false;
    }
    if (!started_) {
        started_ = true;
        highest_ = next_ = v->frameNumber;
    }
    std::int64_t key = Unwrap(v->frameNumber);
    if (key > highest_ + kRestartDistance || key < next_ - kRestartDistance) {
        Reset();
        started_ = true;
        highest_ = next_ = key = v->frameNumber;
    }
    if (key < next_) {
        // Surplus parity of a delivered frame is normal; only fragments of a
        // frame already given up count as late.
        TrackSequence(v->sequence);
        if (recentLost_.count(key) != 0) ++counters_.late;
        return false;
    }
    Pending& p = pending_[key];
    if (p.count == 0) {
        p.keyFrame = v->keyFrame;
        p.frameTime = v->frameTime;
        p.count = v->count;
        p.parity = v->parityCount;
        p.fragments.resize(v->count);
        p.firstArrival = now;
        if (p.parity == 0) ++counters_.framesUnprotected;
    } else if (p.count != v->count || p.parity != v->parityCount || p.frameTime != v->frameTime) {
        ++counters_.invalid;
        return false;
    }
    highest_ = std::max(highest_, key);
    if (p.complete) {
        // Parity (or a copy) after the frame was already whole: nothing to add.
        TrackSequence(v->sequence);
        ++counters_.datagrams;
        counters_.bytes += size;
        return true;
    }
    auto& slot = p.fragments[v->index];
    if (!slot.empty()) {
        ++counters_.duplicates;
        return false;
    }
    const int dataCount = v->dataCount();
    std::uint16_t lastLength = 0;
    if (v->isParity()) {
        lastLength = v->parityLastLength();
    } else if (v->index == dataCount - 1) {
        lastLength = v->payloadLength;
    }
    if (lastLength != 0 && p.lastLength != 0 && lastLength != p.lastLength) {
        ++counters_.invalid;
        return false;
    }
    const std::int64_t seq = TrackSequence(v->sequence);
    ++counters_.datagrams;
    counters_.bytes += size;
    p.sequenceEnd = seq - v->index + p.count;
    if (p.received > 0) {
        streamGap_ = std::chrono::duration_cast<std::chrono::nanoseconds>((now - p.firstArrival) / p.received);
    }
    ++p.received;
    p.lastArrival = now;
    if (lastLength != 0) p.lastLength = lastLength;
    if (v->isParity()) {
        slot.assign(v->parityBlock(), v->parityBlock() + kFragmentPayload);
        ++p.haveParity;
    } else {
        slot.assign(v->payload, v->payload + v->payloadLength);
        ++p.haveData;
        p.keyFrame = p.keyFrame || v->keyFrame;
        if (v->hasSendTime) {
            // Earliest send time: the sender stamps fragments in index order, so the
            // lowest index seen carries it (wrap-safe compare).
            if (!p.sendTimeUs || static_cast<std::int32_t>(v->sendTimeUs - *p.sendTimeUs) < 0) {
                p.sendTimeUs = v->sendTimeUs;
            }
        }
    }
    TryComplete(key, p, now);
    Advance(now);
    return true;
}

bool FrameReassembler::TryComplete(std::int64_t key, Pending& p, Clock::time_point now) {
    const int dataCount = p.count - p.parity;
    int repaired = 0;
    if (p.haveData < dataCount) {
        if (p.parity == 0 || p.haveData + p.haveParity < dataCount || p.lastLength == 0) return false;
        // Any D of the D + P fragments rebuild the frame: all data we have, then parity.
        std::vector<std::vector<std::uint8_t>> work;
        std::vector<std::uint8_t*> blocks;
        std::vector<std::uint8_t> indices;
        work.reserve(static_cast<std::size_t>(dataCount));
        for (int i = 0; i < p.count && static_cast<int>(work.size()) < dataCount; ++i) {
            const auto& f = p.fragments[static_cast<std::size_t>(i)];
            if (f.empty()) continue;
            work.emplace_back(kFragmentPayload, 0);
            std::memcpy(work.back().data(), f.data(), f.size());
            indices.push_back(static_cast<std::uint8_t>(i));
        }
        for (auto& w : work) blocks.push_back(w.data());
        if (FecRepair(dataCount, p.parity, blocks.data(), indices.data()) != 0) {
            ++counters_.repairFailures;
            return false;
        }
        for (int i = 0; i < dataCount; ++i) {
            const std::size_t k = indices[static_cast<std::size_t>(i)];
            if (k >= static_cast<std::size_t>(dataCount)) continue;
            auto& f = p.fragments[k];
            if (!f.empty()) continue;
            const std::size_t n = (static_cast<int>(k) == dataCount - 1) ? p.lastLength : kFragmentPayload;
            f.assign(blocks[static_cast<std::size_t>(i)], blocks[static_cast<std::size_t>(i)] + n);
            ++repaired;
        }
        for (int k = 0; k < dataCount; ++k) {
            if (p.fragments[static_cast<std::size_t>(k)].empty()) {
                ++counters_.repairFailures;
                return false;
            }
        }
    }
    AssembledFrame& f = p.frame;
    f.frameNumber = static_cast<std::uint16_t>(key);
    f.keyFrame = p.keyFrame;
    f.frameTime = p.frameTime;
    f.dataFragments = dataCount;
    f.parityFragments = p.parity;
    f.repairedFragments = repaired;
    f.sendTimeUs = p.sendTimeUs;
    f.firstArrival = p.firstArrival;
    f.completedAt = now;
    f.bytes.clear();
    f.bytes.reserve(static_cast<std::size_t>(dataCount - 1) * kFragmentPayload + p.lastLength);
    for (int k = 0; k < dataCount; ++k) {
        const auto& frag = p.fragments[static_cast<std::size_t>(k)];
        f.bytes.insert(f.bytes.end(), frag.begin(), frag.end());
    }
    p.fragments.clear();
    p.fragments.shrink_to_fit();
    p.complete = true;
    ++counters_.framesComplete;
    if (repaired > 0) {
        ++counters_.framesRepaired;
        counters_.fragmentsRepaired += static_cast<std::uint64_t>(repaired);
    }
    return true;
}

// Past hope: the sender has sent the whole group (a newer sequence number
// arrived) and no fragment of it came for four of its gaps; a frame never seen
// is measured from the first fragment of the next one that was.
bool FrameReassembler::PastHope(std::int64_t key, const Pending* p, Clock::time_point now) const {
    std::chrono::nanoseconds gap = streamGap_;
    if (p != nullptr && p->received >= 2) gap = (p->lastArrival - p->firstArrival) / (p->received - 1);
    const auto allowance = std::clamp<std::chrono::nanoseconds>(4 * gap, options_.minReorderWait, options_.maxWait);
    if (p != nullptr && p->received > 0) return seqHighest_ >= p->sequenceEnd && now - p->lastArrival >= allowance;
    auto newer = pending_.upper_bound(key);
    return newer != pending_.end() && newer->second.received > 0 && now - newer->second.firstArrival >= allowance;
}

void FrameReassembler::GiveUp(std::int64_t key) {
    ++counters_.framesLost;
    lost_.push_back(static_cast<std::uint16_t>(key));
    recentLost_.insert(key);
    if (recentLost_.size() > 256) recentLost_.erase(recentLost_.begin());
    pending_.erase(key);
}

void FrameReassembler::Advance(Clock::time_point now) {
    for (;;) {
        auto it = pending_.find(next_);
        if (it != pending_.end() && it->second.complete) {
            ready_.push_back(std::move(it->second.frame));
            pending_.erase(it);
            ++next_;
            continue;
        }
        if (next_ > highest_) return;
        // A complete key frame makes everything older useless to the decoder.
        auto key = std::find_if(pending_.upper_bound(next_), pending_.end(),
                                [](const auto& e) { return e.second.complete && e.second.keyFrame; });
        if (key != pending_.end()) {
            const std::int64_t until = key->first;
            while (next_ < until) {
                // Complete ones still go out in order (the decoder skips what refers to a hole).
                if (auto older = pending_.find(next_); older != pending_.end() && older->second.complete) {
                    ready_.push_back(std::move(older->second.frame));
                    pending_.erase(older);
                } else {
                    GiveUp(next_);
                }
                ++next_;
            }
            continue;
        }
        bool giveUp = highest_ - next_ >= options_.maxNewerFrames;
        if (!giveUp) {
            // A frame never seen waits from the first sign that it exists: a newer frame.
            auto since = (it != pending_.end()) ? it : pending_.upper_bound(next_);
            giveUp = since != pending_.end() && now - since->second.firstArrival >= options_.maxWait;
        }
        if (!giveUp) giveUp = PastHope(next_, it != pending_.end() ? &it->second : nullptr, now);
        if (!giveUp) return;
        GiveUp(next_);
        ++next_;
    }
}

void FrameReassembler::Expire(Clock::time_point now) {
    if (started_) Advance(now);
}

std::optional<AssembledFrame> FrameReassembler::Pop() {
    if (ready_.empty()) return std::nullopt;
    AssembledFrame f = std::move(ready_.front());
    ready_.pop_front();
    return f;
}

std::vector<std::uint16_t> FrameReassembler::TakeLost() {
    std::vector<std::uint16_t> out;
    out.swap(lost_);
    return out;
}

std::optional<AudioBlock> ParseAudioPayload(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 8) return std::nullopt;
    AudioBlock b;
    b.sampleRate = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    b.channels = data[4];
    const int bits = data[5] | (data[6] << 8);
    if (b.channels < 1 || bits != 32) return std::nullopt;
    const std::size_t body = size - 8;
    const std::size_t frameBytes = 4u * static_cast<std::size_t>(b.channels);
    if (body % frameBytes != 0) return std::nullopt;
    b.samples = body / frameBytes;
    for (std::size_t i = 8; i + 4 <= size; i += 4) {
        float v;
        std::memcpy(&v, data + i, 4);  // little-endian hosts only, as the sender
        if (std::isfinite(v)) b.peak = std::max(b.peak, std::fabs(v));
    }
    return b;
}

}  // namespace Veltrix::phone
