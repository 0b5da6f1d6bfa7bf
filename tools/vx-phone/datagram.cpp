#include "vx-phone/datagram.h"

#include "transport/packetizer.h"

namespace Veltrix::phone {
namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::uint16_t DatagramView::parityLastLength() const { return Get16(payload); }

std::optional<DatagramView> ParseDatagram(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kDatagramHeaderBytes) return std::nullopt;
    if (data[0] != 'V' || data[1] != 'X' || data[2] != 'V' || data[3] != kDatagramVersion) return std::nullopt;
    DatagramView v;
    v.streamType = data[4];
    if (v.streamType != kStreamTypeVideo && v.streamType != kStreamTypeAudio) return std::nullopt;
    const std::uint8_t flags = data[5];
    v.keyFrame = (flags & kFlagKeyFrame) != 0;
    v.hasSendTime = (flags & kFlagSendTime) != 0;
    v.parityCount = flags >> 2;
    v.frameNumber = Get16(data + 6);
    v.sequence = Get32(data + 8);
    v.frameTime = Get32(data + 12);
    v.index = Get16(data + 16);
    v.count = Get16(data + 18);
    v.payloadLength = Get16(data + 20);
    v.payload = data + kDatagramHeaderBytes;
    if (v.count == 0 || v.index >= v.count || v.parityCount >= v.count) return std::nullopt;
    const std::size_t tail = v.hasSendTime ? kSendTimeBytes : 0;
    if (size != kDatagramHeaderBytes + v.payloadLength + tail) return std::nullopt;
    if (v.isParity()) {
        // Recovery blocks only make sense where the sender could compute them.
        if (v.dataCount() + v.parityCount > 256) return std::nullopt;
        if (v.payloadLength != kFragmentPayload + 2 || v.hasSendTime) return std::nullopt;
        const std::uint16_t last = v.parityLastLength();
        if (last < 1 || last > kFragmentPayload) return std::nullopt;
    } else {
        if (v.payloadLength < 1 || v.payloadLength > kFragmentPayload) return std::nullopt;
        if (v.index + 1 < v.dataCount() && v.payloadLength != kFragmentPayload) return std::nullopt;
    }
    if (v.hasSendTime) v.sendTimeUs = Get32(data + kDatagramHeaderBytes + v.payloadLength);
    return v;
}

}  // namespace Veltrix::phone
