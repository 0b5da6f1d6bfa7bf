// The phone's side of the control channel: the pairing exchange, every
// message the plug-in sends read into an event, and the commands a phone may
// send, built from a name and arguments.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/control_protocol.h"
#include "network/socket.h"

namespace Veltrix::phone {

// One message from the plug-in, its payload decoded where it has fields.
struct ControlEvent {
    std::uint8_t opcode = 0;
    std::vector<std::uint8_t> payload;  // as read, length bytes included
    std::uint32_t width = 0, height = 0, fps = 0, frameSizeCap = 0;  // kStreamInfo, kSourceChanged
    float fpsExact = 0;                                                // kSourceChanged
    std::uint8_t value = 0;            // one-byte messages; kHostPlatform: OS byte
    std::uint8_t value2 = 0;           // kHostPlatform: architecture byte
    std::string text;                  // kEncoderInfo, kPairAccepted token
    std::vector<EngineEntry> engines;  // kEncoderEngineList
    bool listCut = false;              // the engine list ends inside an entry
};

// The plug-in's name of an opcode it sends ("kStreamInfo"), or nullptr.
const char* OutboundName(std::uint8_t opcode);
// A human line for one event (never shows a token).
std::string DescribeEvent(const ControlEvent& e);

enum class EventRead { kEvent, kClosed, kUnknownOpcode, kTruncated };
// Reads exactly one plug-in message through recvAll (exactly n bytes or false).
EventRead ReadControlEvent(const RecvFunction& recvAll, ControlEvent& out);

// A command to send: opcode and payload.
struct PhoneCommand {
    std::uint8_t opcode = 0;
    std::vector<std::uint8_t> payload;
};
// "idr", "codec h264", "gop long", "maxres 720", "mode quality 80", "engine ID",
// "snapshot 1080 h264 long quality [ENGINE]", "play-pause", ..., "marker TEXT",
// "raw 0x02 00 00 00 00"; also the opcode names of the table ("SetCodec 1").
// Nothing with *error set when the text is not a command.
std::optional<PhoneCommand> ParsePhoneCommand(const std::string& text, std::string* error);
// The list for --help.
std::string PhoneCommandHelp();
// The inbound opcodes' names ("SetCodec"); nullptr for others.
const char* InboundName(std::uint8_t opcode);

// Bytes of a ClientHello (each field cut to its limit: 64, 128, 128).
std::vector<std::uint8_t> BuildClientHello(const std::string& id, const std::string& name, const std::string& token);

struct PairResult {
    enum Outcome { kAccepted, kRejected, kNoCode, kClosed, kProtocolError, kTimedOut, kStopped } outcome = kClosed;
    std::string token;            // kAccepted
    bool challenged = false;      // a code was asked for
    std::string detail;           // what went wrong, for the user
};
const char* PairOutcomeName(PairResult::Outcome o);

// A connected control channel. Pair first; then Start runs the reader thread,
// which hands every event to the callback until the connection ends.
class ControlClient {
public:
    explicit ControlClient(SocketHandle socket);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // The pairing exchange: hello, then a code when challenged (codeFor is called
    // once, on the reader's thread of control, and may block on the user).
    // Heartbeats are skipped. Gives up after `timeoutMs` of silence or once `stop` is set.
    PairResult Pair(const std::string& id, const std::string& name, const std::string& token,
                    const std::function<std::optional<std::string>()>& codeFor, int timeoutMs,
                    const std::atomic<bool>& stop);

    // Starts the reader thread. onEnd runs once on it when the connection ends,
    // with a reason ("closed by the plug-in", "unknown opcode 0x.." ...).
    void Start(std::function<void(const ControlEvent&)> onEvent, std::function<void(const std::string&)> onEnd);
    // One frame, whole, from any thread. False when the connection is gone.
    bool Send(std::uint8_t opcode, const std::vector<std::uint8_t>& payload);
    // Ends the connection and joins the reader. Safe to repeat.
    void Stop();

private:
    bool RecvTimed(void* buffer, std::size_t n, int timeoutMs, const std::atomic<bool>& stop, bool* timedOut);

    SocketHandle socket_;
    std::mutex sendMutex_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
};

// Six ASCII digits, nothing else.
bool IsSixDigitCode(const std::string& code);

}  // namespace Veltrix::phone
