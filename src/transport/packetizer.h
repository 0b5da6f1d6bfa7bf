// Media datagrams: fixed-size fragments of one frame with a 22-byte header,
// optional Reed-Solomon parity fragments (video) and an appended send time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "support/clock.h"
#include "transport/frame_group.h"

namespace Veltrix {

inline constexpr std::size_t kFragmentPayload = 1440;
inline constexpr std::size_t kDatagramHeaderBytes = 22;
inline constexpr std::size_t kSendTimeBytes = 4;
inline constexpr std::size_t kParityDatagramBytes = kDatagramHeaderBytes + 2 + kFragmentPayload;  // 1464
inline constexpr std::size_t kMaxDatagramBytes = kParityDatagramBytes + kSendTimeBytes;
inline constexpr std::size_t kMaxFragments = 65535;
inline constexpr std::size_t kMaxFramePayload = kMaxFragments * kFragmentPayload;  // 94,370,400
inline constexpr std::size_t kMaxFecDataFragments = 255;  // parity only below 256 data fragments
inline constexpr int kMaxParityFragments = 63;
inline constexpr uint8_t kDatagramVersion = 2;
inline constexpr uint8_t kStreamTypeVideo = 1;
inline constexpr uint8_t kStreamTypeAudio = 2;
inline constexpr uint8_t kFlagKeyFrame = 0x01;
inline constexpr uint8_t kFlagSendTime = 0x02;
inline constexpr uint16_t kVideoPort = 47101;
inline constexpr uint16_t kAudioPort = 47102;

// Called once per datagram, in sending order; the bytes are valid only during the call.
using DatagramSink = std::function<void(const uint8_t* data, std::size_t size)>;

// Parity count for a video frame of `size` bytes: ten per cent rounded up, at
// most 63, data plus parity at most 255, none from 256 data fragments on.
int VideoParityCount(std::size_t size);

// D plus the parity Packetize will add, or 0 for an invalid length or a count above 65,535.
std::size_t ExpectedFragmentCount(std::size_t payloadLength, int requestedParity);

// Cuts the payload into datagrams and hands each to the sink. `sequence` is the
// cursor of the stream's sequence numbers and advances by one per datagram.
// Returns false, producing nothing, for a length outside 1..94,370,400, a
// fragment count above 65,535 or a parity request outside 0..63.
bool Packetize(uint8_t streamType, bool keyFrame, int requestedParity, uint16_t frameNumber,
               uint32_t& sequence, uint32_t frameTime, const uint8_t* payload,
               std::size_t payloadLength, const DatagramSink& sink, bool appendSendTime,
               Clock& clock = Clock::Real());

// Convenience for callers that hand the result to the pacer: every datagram
// copied into its own vector. Returns false (group left empty) when Packetize does.
bool PacketizeGroup(uint8_t streamType, bool keyFrame, int requestedParity, uint16_t frameNumber,
                    uint32_t& sequence, uint32_t frameTime, const uint8_t* payload,
                    std::size_t payloadLength, bool appendSendTime, FrameGroup& group,
                    Clock& clock = Clock::Real());

// The audio frame payload: 8-byte header (rate, channels, 32 bits) then S
// samples of C channels interleaved; a null channel pointer contributes 0.0.
void BuildAudioPayload(uint32_t sampleRate, const float* const* channels, uint8_t channelCount,
                       std::size_t sampleCount, std::vector<uint8_t>& out);

}  // namespace Veltrix
