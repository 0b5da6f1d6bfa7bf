#include "transport/packetizer.h"

#include <algorithm>
#include <cstring>

#include "transport/fec.h"

namespace Veltrix {
namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Per-thread FEC staging that persists between frames and only grows.
struct FecScratch {
    std::vector<uint8_t> originals;
    std::vector<uint8_t> recovery;
};
FecScratch& Scratch() {
    thread_local FecScratch scratch;
    return scratch;
}

std::size_t DataFragments(std::size_t length) { return (length + kFragmentPayload - 1) / kFragmentPayload; }

int EffectiveParity(std::size_t d, int requested) {
    if (requested <= 0 || d > kMaxFecDataFragments || !FecAvailable()) return 0;
    // The FEC code handles at most 256 blocks; above that the frame goes without parity.
    if (d + static_cast<std::size_t>(requested) > static_cast<std::size_t>(kFecMaxBlocks)) return 0;
    return requested;
}

}  // namespace

int VideoParityCount(std::size_t size) {
    if (size == 0) return 0;
    const std::size_t d = DataFragments(size);
    if (d >= 256) return 0;
    std::size_t p = std::min<std::size_t>((d + 9) / 10, kMaxParityFragments);
    if (d + p > 255) p = d < 255 ? 255 - d : 0;
    return static_cast<int>(p);
}

std::size_t ExpectedFragmentCount(std::size_t payloadLength, int requestedParity) {
    if (payloadLength < 1 || payloadLength > kMaxFramePayload) return 0;
    if (requestedParity < 0 || requestedParity > kMaxParityFragments) return 0;
    const std::size_t d = DataFragments(payloadLength);
    const std::size_t total = d + static_cast<std::size_t>(EffectiveParity(d, requestedParity));
    return total > kMaxFragments ? 0 : total;
}

bool Packetize(uint8_t streamType, bool keyFrame, int requestedParity, uint16_t frameNumber,
               uint32_t& sequence, uint32_t frameTime, const uint8_t* payload,
               std::size_t payloadLength, const DatagramSink& sink, bool appendSendTime,
               Clock& clock) {
    if (!payload || payloadLength < 1 || payloadLength > kMaxFramePayload) return false;
    // Parity counts outside the flags field's six bits would corrupt the header.
    if (requestedParity < 0 || requestedParity > kMaxParityFragments) return false;
    const std::size_t d = DataFragments(payloadLength);
    int p = EffectiveParity(d, requestedParity);
    const std::size_t total = d + static_cast<std::size_t>(p);
    if (total > kMaxFragments) return false;

    const uint8_t* recovery = nullptr;
    if (p > 0) {
        FecScratch& s = Scratch();
        const std::size_t staged = d * kFragmentPayload;
        if (s.originals.size() < staged) s.originals.resize(staged);
        const std::size_t recoveryBytes = static_cast<std::size_t>(p) * kFragmentPayload;
        if (s.recovery.size() < recoveryBytes) s.recovery.resize(recoveryBytes);
        std::memcpy(s.originals.data(), payload, payloadLength);
        std::memset(s.originals.data() + payloadLength, 0, staged - payloadLength);
        if (FecEncode(s.originals.data(), static_cast<int>(d), p, s.recovery.data()) != 0) {
            p = 0;  // encoder refused: send the frame without parity rather than lose it
        } else {
            recovery = s.recovery.data();
        }
    }
    const uint16_t count = static_cast<uint16_t>(d + static_cast<std::size_t>(p));
    const uint8_t flags = static_cast<uint8_t>((keyFrame ? kFlagKeyFrame : 0) |
                                               (appendSendTime ? kFlagSendTime : 0) | (p << 2));

    uint8_t datagram[kMaxDatagramBytes];
    datagram[0] = 'V';
    datagram[1] = 'X';
    datagram[2] = 'V';
    datagram[3] = kDatagramVersion;
    datagram[4] = streamType;
    Put16(datagram + 6, frameNumber);
    Put32(datagram + 12, frameTime);
    Put16(datagram + 18, count);

    const std::size_t lastLength = payloadLength - (d - 1) * kFragmentPayload;
    datagram[5] = flags;
    for (std::size_t k = 0; k < d; ++k) {
        const std::size_t n = k + 1 < d ? kFragmentPayload : lastLength;
        Put32(datagram + 8, sequence++);
        Put16(datagram + 16, static_cast<uint16_t>(k));
        Put16(datagram + 20, static_cast<uint16_t>(n));
        std::memcpy(datagram + kDatagramHeaderBytes, payload + k * kFragmentPayload, n);
        std::size_t size = kDatagramHeaderBytes + n;
        if (appendSendTime) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                clock.Now().time_since_epoch());
            Put32(datagram + size, static_cast<uint32_t>(us.count()));
            size += kSendTimeBytes;
        }
        sink(datagram, size);
    }
    if (p > 0) {
        datagram[5] = static_cast<uint8_t>(flags & ~kFlagSendTime);
        Put16(datagram + 20, static_cast<uint16_t>(kFragmentPayload + 2));
        Put16(datagram + kDatagramHeaderBytes, static_cast<uint16_t>(lastLength));
        for (int i = 0; i < p; ++i) {
            Put32(datagram + 8, sequence++);
            Put16(datagram + 16, static_cast<uint16_t>(d + static_cast<std::size_t>(i)));
            std::memcpy(datagram + kDatagramHeaderBytes + 2,
                        recovery + static_cast<std::size_t>(i) * kFragmentPayload, kFragmentPayload);
            sink(datagram, kParityDatagramBytes);
        }
    }
    return true;
}

bool PacketizeGroup(uint8_t streamType, bool keyFrame, int requestedParity, uint16_t frameNumber,
                    uint32_t& sequence, uint32_t frameTime, const uint8_t* payload,
                    std::size_t payloadLength, bool appendSendTime, FrameGroup& group,
                    Clock& clock) {
    group.kind = streamType == kStreamTypeAudio ? StreamKind::kAudio : StreamKind::kVideo;
    group.totalBytes = 0;
    group.datagrams.clear();
    const std::size_t expected = ExpectedFragmentCount(payloadLength, requestedParity);
    if (expected == 0) return false;
    group.datagrams.reserve(expected);
    const DatagramSink sink = [&group](const uint8_t* data, std::size_t size) {
        group.datagrams.emplace_back(data, data + size);
        group.totalBytes += size;
    };
    return Packetize(streamType, keyFrame, requestedParity, frameNumber, sequence, frameTime,
                     payload, payloadLength, sink, appendSendTime, clock);
}

void BuildAudioPayload(uint32_t sampleRate, const float* const* channels, uint8_t channelCount,
                       std::size_t sampleCount, std::vector<uint8_t>& out) {
    const std::size_t c = channelCount;
    out.resize(8 + 4 * sampleCount * c);
    uint8_t* p = out.data();
    Put32(p, sampleRate);
    p[4] = channelCount;
    Put16(p + 5, 32);
    p[7] = 0;
    p += 8;
    for (std::size_t s = 0; s < sampleCount; ++s) {
        for (std::size_t ch = 0; ch < c; ++ch) {
            uint32_t bits = 0;
            if (channels && channels[ch]) std::memcpy(&bits, &channels[ch][s], 4);
            Put32(p, bits);
            p += 4;
        }
    }
}

}  // namespace Veltrix
