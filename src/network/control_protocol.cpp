#include "network/control_protocol.h"

#include <algorithm>
#include <cstring>

#include "support/log.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "network"};

void PutU16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    const std::uint32_t c = std::min<std::uint32_t>(x, 65535u);
    v.push_back(static_cast<std::uint8_t>(c & 0xff));
    v.push_back(static_cast<std::uint8_t>(c >> 8));
}
void PutU32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void AppendShort(std::vector<std::uint8_t>& v, std::string_view s, std::size_t maxBytes) {
    const std::size_t n = std::min<std::size_t>({s.size(), maxBytes, 255});
    v.push_back(static_cast<std::uint8_t>(n));
    v.insert(v.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

struct FixedSize {
    std::uint8_t opcode;
    std::size_t size;
    const char* truncated;
};
const FixedSize kFixed[] = {
    {0x01, 0, nullptr},
    {0x02, 4, "control: truncated SetBitrate"},
    {0x03, 24, "control: truncated ReceiverReport"},
    {0x04, 1, "control: truncated SetGopMode"},
    {0x05, 1, "control: truncated SetCodec"},
    {0x07, 2, "control: truncated SetMaxResolution"},
    {0x08, 2, "control: truncated SetEncoderMode"},
    {0x0A, 4, "control: truncated 0x0A (retired)"},
    {0x0B, 4, "control: truncated SetHardFrameCap"},
    {0x0C, 1, "control: truncated 0x0C (retired)"},
    {0x0E, 32, "control: truncated ReceiverReportV2"},
    {0x10, 1, "control: truncated 0x10 (retired)"},
    {0x11, 1, "control: truncated SetMode"},
    {0x12, 2, "control: truncated SetMaxLatency"},
    {0x14, 10, "control: truncated AppTelemetry"},
    {0x15, 1, "control: truncated SetTransitionMode"},
    {0x19, 1, "control: truncated SetFullQualityWhenPaused"},
};
}  // namespace

bool AllowedBeforePairing(std::uint8_t opcode) {
    return opcode == kHeartbeat || opcode == kPairChallenge || opcode == kPairAccepted || opcode == kPairRejected;
}

std::vector<std::uint8_t> BuildStreamInfo(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                          std::uint32_t frameSizeCap) {
    std::vector<std::uint8_t> v;
    PutU16(v, width);
    PutU16(v, height);
    PutU16(v, fps);
    PutU32(v, frameSizeCap);
    return v;
}

std::vector<std::uint8_t> BuildSourceChanged(std::uint32_t width, std::uint32_t height, float fps) {
    std::vector<std::uint8_t> v;
    PutU16(v, width);
    PutU16(v, height);
    std::uint32_t bits;
    static_assert(sizeof bits == sizeof fps);
    std::memcpy(&bits, &fps, sizeof bits);
    PutU32(v, bits);
    return v;
}

std::vector<std::uint8_t> BuildOneByte(std::uint8_t value) { return {value}; }
std::vector<std::uint8_t> BuildHostPlatform() { return {1, 2}; }

std::vector<std::uint8_t> BuildShortString(std::string_view text, std::size_t maxBytes) {
    std::vector<std::uint8_t> v;
    AppendShort(v, text, maxBytes);
    return v;
}

std::vector<std::uint8_t> BuildEncoderInfo(std::string_view description) { return BuildShortString(description, 200); }

std::vector<std::uint8_t> BuildEncoderEngineList(const std::vector<EngineEntry>& engines, std::size_t* fullSize) {
    const std::size_t count = std::min<std::size_t>(engines.size(), 255);
    std::vector<std::uint8_t> inner;
    inner.push_back(static_cast<std::uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        AppendShort(inner, engines[i].id, 255);
        AppendShort(inner, engines[i].label, 255);
        AppendShort(inner, engines[i].detail, 255);
    }
    if (fullSize) *fullSize = inner.size();
    if (inner.size() > 255) inner.resize(255);
    std::vector<std::uint8_t> v;
    v.push_back(static_cast<std::uint8_t>(inner.size()));
    v.insert(v.end(), inner.begin(), inner.end());
    return v;
}

ReadResult ReadInboundMessage(const RecvFunction& recvAll, InboundMessage& out) {
    std::uint8_t op = 0;
    if (!recvAll(&op, 1)) {
        Log(kLog, kLogInfo, "control: client disconnected");
        return ReadResult::kDisconnected;
    }
    out.opcode = op;
    out.payload.clear();
    auto truncated = [](const char* line) {
        Log(kLog, kLogInfo, "%s", line);
        return ReadResult::kTruncated;
    };
    for (const FixedSize& f : kFixed) {
        if (f.opcode != op) continue;
        out.payload.resize(f.size);
        if (f.size > 0 && !recvAll(out.payload.data(), f.size)) return truncated(f.truncated);
        return ReadResult::kMessage;
    }
    if (op >= 0x20 && op <= 0x29) return ReadResult::kMessage;
    if (op == kSetEncoderEngine || op == kTestMarker) {
        const bool engine = op == kSetEncoderEngine;
        std::uint8_t n = 0;
        if (!recvAll(&n, 1))
            return truncated(engine ? "control: truncated SetEncoderEngine len" : "control: truncated TestMarker len");
        out.payload.resize(1u + n);
        out.payload[0] = n;
        if (n > 0 && !recvAll(out.payload.data() + 1, n))
            return truncated(engine ? "control: truncated SetEncoderEngine body" : "control: truncated TestMarker body");
        return ReadResult::kMessage;
    }
    if (op == kAppSettingsSnapshot) {
        out.payload.resize(6);
        if (!recvAll(out.payload.data(), 6)) return truncated("control: truncated AppSettingsSnapshot head");
        const std::uint8_t n = out.payload[5];
        out.payload.resize(6u + n);
        if (n > 0 && !recvAll(out.payload.data() + 6, n))
            return truncated("control: truncated AppSettingsSnapshot tail");
        return ReadResult::kMessage;
    }
    Log(kLog, kLogInfo, "control: unknown opcode 0x%02x — dropping client", op);
    return ReadResult::kUnknownOpcode;
}

}  // namespace Veltrix
