// One frame cut by the sender's own packetizer, then delivered with losses,
// duplicates and in any order: when no more datagrams were lost than it carries
// parity for, the frame the phone rebuilds is byte for byte what was sent;
// otherwise it is given up, never delivered wrong.
// Input: [parity request][flags][length lo][length hi][loss and order bytes...];
// the payload is the whole input repeated to the length (1..40,000 bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/packetizer.h"
#include "vx-phone/frame_reassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Veltrix;
    using namespace Veltrix::phone;
    if (size < 4) return 0;
    const int parity = data[0] % (kMaxParityFragments + 1);
    const std::uint8_t flags = data[1];
    const std::size_t length = 1 + (data[2] | (data[3] << 8)) % 40000;
    std::vector<std::uint8_t> payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(data[i % size] + i / size);

    std::vector<std::vector<std::uint8_t>> sent;
    std::uint32_t sequence = 1000u * data[3];
    const std::uint16_t frameNumber = static_cast<std::uint16_t>(data[2] << 8 | data[1]);
    if (!Packetize(kStreamTypeVideo, flags & 1, parity, frameNumber, sequence, 90000, payload.data(), length,
                   [&](const std::uint8_t* d, std::size_t n) { sent.emplace_back(d, d + n); }, (flags & 2) != 0))
        __builtin_trap();
    const int total = static_cast<int>(sent.size());
    const int dataCount = static_cast<int>((length + kFragmentPayload - 1) / kFragmentPayload);
    const int parityCount = total - dataCount;

    // Each control byte drops, duplicates or keeps the datagram it falls on, and
    // the kept ones are rotated and partly reversed by the flags.
    std::vector<std::vector<std::uint8_t>> arriving;
    int lost = 0;
    bool lostData = false;
    for (int i = 0; i < total; ++i) {
        const std::uint8_t c = 4 + static_cast<std::size_t>(i) < size ? data[4 + i] : 0;
        if (c % 4 == 1) {
            ++lost;
            lostData = lostData || i < dataCount;
            continue;
        }
        arriving.push_back(sent[static_cast<std::size_t>(i)]);
        if (c % 4 == 2) arriving.push_back(sent[static_cast<std::size_t>(i)]);
    }
    if (!arriving.empty()) {
        std::rotate(arriving.begin(), arriving.begin() + (flags >> 2) % arriving.size(), arriving.end());
        if (flags & 0x80) std::reverse(arriving.begin(), arriving.begin() + arriving.size() / 2);
    }

    FrameReassembler reassembler;
    Clock::time_point now{};
    for (const auto& d : arriving) {
        now += std::chrono::microseconds(100);
        reassembler.Push(d.data(), d.size(), now);
    }
    const bool recoverable = !lostData || lost <= parityCount;
    std::optional<AssembledFrame> frame = reassembler.Pop();
    if (!frame) {
        reassembler.Expire(now + std::chrono::seconds(2));
        frame = reassembler.Pop();
    }
    if (recoverable) {
        if (!frame || frame->frameNumber != frameNumber || frame->dataFragments != dataCount) __builtin_trap();
    }
    if (frame && frame->bytes != payload) __builtin_trap();
    if (reassembler.Pop()) __builtin_trap();  // one frame sent, at most one delivered
    return 0;
}
