// Control frames: one opcode byte followed by a payload whose size the opcode fixes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "network/socket.h"

namespace Veltrix {

enum ControlOpcode : std::uint8_t {
    kRequestIDR = 0x01, kSetBitrate = 0x02, kReceiverReport = 0x03, kSetGopMode = 0x04, kSetCodec = 0x05,
    kStreamInfo = 0x06, kSetMaxResolution = 0x07, kSetEncoderMode = 0x08, kHeartbeat = 0x09,
    kSetAutoMode = 0x0A, kSetHardFrameCap = 0x0B, kSetCongestionController = 0x0C, kReceiverReportV2 = 0x0E,
    kSettingAck = 0x0F, kSetPlaybackPrefer = 0x10, kSetMode = 0x11, kSetMaxLatency = 0x12,
    kSetEncoderEngine = 0x13, kAppTelemetry = 0x14, kSetTransitionMode = 0x15, kSourceChanged = 0x16,
    kAppSettingsSnapshot = 0x18, kSetFullQualityWhenPaused = 0x19, kPlaybackState = 0x1A,
    kClientHello = 0x30, kPairChallenge = 0x31, kPairingCode = 0x32, kPairAccepted = 0x33,
    kPairRejected = 0x34, kTransmitState = 0x35, kHostPlatform = 0x36, kEncoderInfo = 0x37,
    kEncoderEngineList = 0x38, kAudioState = 0x39, kTestMarker = 0x40,
};

// Outbound opcodes that may go to a connection that has not paired yet.
bool AllowedBeforePairing(std::uint8_t opcode);

// --- outbound payloads ---
std::vector<std::uint8_t> BuildStreamInfo(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                          std::uint32_t frameSizeCap);
std::vector<std::uint8_t> BuildSourceChanged(std::uint32_t width, std::uint32_t height, float fps);
std::vector<std::uint8_t> BuildOneByte(std::uint8_t value);
std::vector<std::uint8_t> BuildHostPlatform();  // Windows, x86_64
// A short string cut to maxBytes (at most 255).
std::vector<std::uint8_t> BuildShortString(std::string_view text, std::size_t maxBytes = 255);
std::vector<std::uint8_t> BuildEncoderInfo(std::string_view description);  // cut to 200 bytes

struct EngineEntry {
    std::string id, label, detail;
};
// Length byte L then the list (count, then id/label/detail short strings; at
// most 255 engines), the list cut to 255 bytes. fullSize: the list's size before the cut.
std::vector<std::uint8_t> BuildEncoderEngineList(const std::vector<EngineEntry>& engines,
                                                 std::size_t* fullSize = nullptr);

// --- inbound reader ---
enum class ReadResult { kMessage, kDisconnected, kUnknownOpcode, kTruncated };

struct InboundMessage {
    std::uint8_t opcode = 0;
    std::vector<std::uint8_t> payload;  // as read: length bytes and heads included
};

// Reads one post-pairing message through recvAll (exactly n bytes or false) and
// logs the line for a disconnect, an unknown opcode or a truncated payload.
using RecvFunction = std::function<bool(void*, std::size_t)>;
ReadResult ReadInboundMessage(const RecvFunction& recvAll, InboundMessage& out);

}  // namespace Veltrix
