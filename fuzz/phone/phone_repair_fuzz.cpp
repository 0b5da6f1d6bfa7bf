// A run of frames cut by the sender's own packetizer, each delivered with losses,
// duplicates and in any order within it: every frame that lost no more datagrams
// than it carries parity for comes out byte for byte what was sent, in order;
// every other one is given up and reported lost, never delivered wrong. Audio
// frames also read back as the samples that were sent.
// Input: [parity request][flags][length lo][length hi][loss and order bytes...][run];
// run: frames - 1 (bits 0-1), audio (bit 2). Frame k takes its header from the
// same bytes moved on by 5 k, its loss bytes after frame k - 1's, and from
// data[size - 2 - k]: restart at a far frame number (bit 0), lost whole (bit 1),
// sent right after frame k - 1, before its wait for a late datagram is over (bit 2).
// A payload is the whole input repeated to the length (1..40,000 bytes).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "transport/packetizer.h"
#include "vx-phone/frame_reassembler.h"

namespace {

using namespace Veltrix;
using namespace Veltrix::phone;

struct SentFrame {
    std::uint16_t number;
    std::vector<std::uint8_t> payload;
    int dataCount;
    bool recoverable;
    AudioBlock audio;  // what an audio frame holds
};

// An audio payload of the sender's own making from the given bytes as samples,
// and what it holds.
std::vector<std::uint8_t> AudioFrom(const std::vector<std::uint8_t>& bytes, std::uint8_t flags, AudioBlock& block) {
    const std::uint8_t channels = 1 + flags % 8;
    const std::size_t samples = bytes.size() / (4u * channels);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(samples));
    std::vector<const float*> pointers(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t s = 0; s < samples; ++s) std::memcpy(&planes[c][s], bytes.data() + 4 * (s * channels + c), 4);
        pointers[c] = (flags & 0x40) && c == 1 ? nullptr : planes[c].data();  // a silent channel
        for (std::size_t s = 0; s < samples && pointers[c]; ++s) {
            if (std::isfinite(planes[c][s])) block.peak = std::max(block.peak, std::fabs(planes[c][s]));
        }
    }
    block.sampleRate = 48000u + flags;
    block.channels = channels;
    block.samples = samples;
    std::vector<std::uint8_t> out;
    BuildAudioPayload(block.sampleRate, pointers.data(), channels, samples, out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t run = size >= 6 ? data[size - 1] : 0;
    const int frames = 1 + (run & 3);
    const bool audio = (run & 4) != 0;
    const std::uint8_t streamType = audio ? kStreamTypeAudio : kStreamTypeVideo;
    ReassemblerOptions options;
    options.streamType = streamType;
    FrameReassembler reassembler(options);

    std::vector<SentFrame> sent;
    std::uint32_t sequence = 1000u * data[3];
    std::uint16_t frameNumber = static_cast<std::uint16_t>(data[2] << 8 | data[1]);
    std::uint16_t lastSeen = frameNumber;
    std::size_t lossAt = 4;
    Clock::time_point now{};
    for (int k = 0; k < frames; ++k) {
        const auto at = [&](std::size_t i) { return data[(i + 5u * k) % size]; };
        const std::uint8_t control = k == 0 ? 0 : data[(size - 2 - k) % size];
        now += std::chrono::milliseconds((control & 4) ? 0 : 16);
        reassembler.Expire(now);
        if (control & 1) {
            // The sender restarted: a fresh sequence, and a frame number far from
            // the last one the phone saw (one lost whole is not seen).
            frameNumber = static_cast<std::uint16_t>(lastSeen + ((k & 1) ? 1500 : 64036));
            sequence = 7000u * control;
        } else if (k > 0) {
            ++frameNumber;
        }
        const int parity = at(0) % (kMaxParityFragments + 1);
        const std::uint8_t flags = at(1);
        const std::size_t length = 1 + (at(2) | (at(3) << 8)) % 40000;
        std::vector<std::uint8_t> payload(length);
        for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(data[(i + k) % size] + i / size + k);
        AudioBlock block;
        if (audio) payload = AudioFrom(payload, flags, block);

        std::vector<std::vector<std::uint8_t>> datagrams;
        if (!Packetize(streamType, flags & 1, parity, frameNumber, sequence, 90000, payload.data(), payload.size(),
                       [&](const std::uint8_t* d, std::size_t n) { datagrams.emplace_back(d, d + n); },
                       (flags & 2) != 0))
            __builtin_trap();
        const int total = static_cast<int>(datagrams.size());
        const int dataCount = static_cast<int>((payload.size() + kFragmentPayload - 1) / kFragmentPayload);
        const int parityCount = total - dataCount;

        // Each loss byte drops, duplicates or keeps the datagram it falls on, and
        // the kept ones are rotated and partly reversed by the flags.
        std::vector<std::vector<std::uint8_t>> arriving;
        int lost = 0;
        bool lostData = false;
        for (int i = 0; i < total; ++i, ++lossAt) {
            const std::uint8_t c = lossAt < size ? data[lossAt] : 0;
            if (c % 4 == 1 || (control & 2)) {
                ++lost;
                lostData = lostData || i < dataCount;
                continue;
            }
            arriving.push_back(datagrams[static_cast<std::size_t>(i)]);
            if (c % 4 == 2) arriving.push_back(datagrams[static_cast<std::size_t>(i)]);
        }
        if (!arriving.empty()) {
            std::rotate(arriving.begin(), arriving.begin() + (flags >> 2) % arriving.size(), arriving.end());
            if (flags & 0x80) std::reverse(arriving.begin(), arriving.begin() + arriving.size() / 2);
        }
        if (!arriving.empty()) lastSeen = frameNumber;
        for (const auto& d : arriving) {
            now += std::chrono::microseconds(100);
            reassembler.Push(d.data(), d.size(), now);
        }
        sent.push_back({frameNumber, std::move(payload), dataCount, !lostData || lost <= parityCount, block});
    }
    reassembler.Expire(now + std::chrono::seconds(2));

    // Frame numbers are unique within a run between restarts, and a restart
    // delivers what was whole before it, so the frames come out in sending order.
    std::size_t next = 0;
    while (std::optional<AssembledFrame> frame = reassembler.Pop()) {
        while (next < sent.size() && !sent[next].recoverable) ++next;
        if (next == sent.size()) __builtin_trap();  // more frames than could be rebuilt
        const SentFrame& s = sent[next++];
        if (frame->frameNumber != s.number || frame->dataFragments != s.dataCount || frame->bytes != s.payload)
            __builtin_trap();
        if (audio) {
            const std::optional<AudioBlock> block = ParseAudioPayload(frame->bytes.data(), frame->bytes.size());
            if (!block || block->sampleRate != s.audio.sampleRate || block->channels != s.audio.channels ||
                block->samples != s.audio.samples || block->peak != s.audio.peak)
                __builtin_trap();
        }
    }
    while (next < sent.size() && !sent[next].recoverable) ++next;
    if (next != sent.size()) __builtin_trap();  // a frame that could be rebuilt was not delivered
    for (const std::uint16_t number : reassembler.TakeLost()) {
        if (std::none_of(sent.begin(), sent.end(), [&](const SentFrame& s) { return s.number == number && !s.recoverable; }))
            __builtin_trap();
    }
    return 0;
}
