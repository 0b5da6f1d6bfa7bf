// One media datagram as the phone reads it: the 22-byte header, checked
// against every rule the sender follows, and a view of its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace Veltrix::phone {

struct DatagramView {
    std::uint8_t streamType = 0;  // 1 video, 2 audio
    bool keyFrame = false;
    bool hasSendTime = false;
    int parityCount = 0;          // P, from the flags
    std::uint16_t frameNumber = 0;
    std::uint32_t sequence = 0;
    std::uint32_t frameTime = 0;
    std::uint16_t index = 0;      // 0..D-1 data, D..D+P-1 parity
    std::uint16_t count = 0;      // D + P
    const std::uint8_t* payload = nullptr;
    std::uint16_t payloadLength = 0;
    std::uint32_t sendTimeUs = 0;  // valid when hasSendTime

    int dataCount() const { return count - parityCount; }
    bool isParity() const { return index >= dataCount(); }
    // Parity fragments: the length of the frame's last data fragment and the recovery block.
    std::uint16_t parityLastLength() const;
    const std::uint8_t* parityBlock() const { return payload + 2; }
};

// Nothing when the bytes are not a well-formed datagram: wrong magic or
// version, unknown stream type, a size that disagrees with the header, an
// index outside the frame, a data fragment other than the last that is not
// full, or a parity fragment whose layout is wrong.
std::optional<DatagramView> ParseDatagram(const std::uint8_t* data, std::size_t size);

}  // namespace Veltrix::phone
