// A loopback phone for the transmit tests: pairs with a real transport over
// TCP, reads whole control messages, and receives media on its own UDP ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/network_transport.h"
#include "network/socket.h"
#include "tests/testing/recording_dialog.h"
#include "ui/pairing_dialog.h"

namespace Veltrix::testing {

// Network collaborators for tests: no mDNS, the recording dialog, and the
// trusted store of the test's temporary folders.
inline NetworkTransport::Collaborators TestNetwork(DialogRecord& dialog) {
    NetworkTransport::Collaborators c;
    c.createDialog = [&dialog] { return std::make_unique<RecordingDialog>(dialog); };
    c.advertise = false;
    return c;
}

struct ControlMessage {
    std::uint8_t opcode = 0;
    std::vector<std::uint8_t> payload;  // without the opcode; length bytes included
};

// Payload size of a host-to-phone opcode; -1 for "one length byte then that
// many bytes"; -2 when unknown.
inline int OutboundPayloadSize(std::uint8_t opcode) {
    switch (opcode) {
        case 0x09: return 0;
        case 0x0F: case 0x1A: case 0x35: case 0x39: return 1;
        case 0x36: return 2;
        case 0x16: return 8;
        case 0x06: return 10;
        case 0x31: return 0;
        case 0x33: case 0x37: case 0x38: return -1;
        case 0x34: return 0;
        default: return -2;
    }
}

class WirePhone {
public:
    explicit WirePhone(std::uint16_t port) : s_(ConnectLoopback(port)) {}
    ~WirePhone() { Close(s_); }
    WirePhone(const WirePhone&) = delete;
    WirePhone& operator=(const WirePhone&) = delete;

    bool Connected() const { return s_ != kInvalid; }
    bool Send(const std::vector<std::uint8_t>& bytes) { return SendAll(s_, bytes.data(), bytes.size()); }

    // Hello with a stored token: true when accepted without a code.
    bool TrustedReconnect(const std::string& id, const std::string& token) {
        std::vector<std::uint8_t> hello{0x30};
        for (const std::string& f : {id, std::string("Test Phone"), token}) {
            hello.push_back(static_cast<std::uint8_t>(f.size()));
            hello.insert(hello.end(), f.begin(), f.end());
        }
        if (!Send(hello)) return false;
        auto accepted = Next();
        return accepted && accepted->opcode == 0x33;
    }

    // Hello, challenge, code, accepted; true when paired.
    bool Pair(DialogRecord& dialog, const std::string& id = "phone-1") {
        std::vector<std::uint8_t> hello{0x30};
        for (const std::string& f : {id, std::string("Test Phone"), std::string()}) {
            hello.push_back(static_cast<std::uint8_t>(f.size()));
            hello.insert(hello.end(), f.begin(), f.end());
        }
        if (!Send(hello)) return false;
        auto challenge = Next();
        if (!challenge || challenge->opcode != 0x31) return false;
        const std::string code = TakeCode(dialog);
        std::vector<std::uint8_t> answer{0x32};
        answer.insert(answer.end(), code.begin(), code.end());
        if (!Send(answer)) return false;
        auto accepted = Next();
        return accepted && accepted->opcode == 0x33;
    }

    // The next control message other than a heartbeat; none on close or timeout.
    std::optional<ControlMessage> Next(int ms = 5000) {
        for (;;) {
            std::uint8_t op = 0;
            if (RecvWithTimeout(s_, &op, 1, ms) != 1) return std::nullopt;
            if (op == 0x09) continue;
            ControlMessage m{op, {}};
            int size = OutboundPayloadSize(op);
            if (size == -2) return m;  // unknown: the caller sees the opcode
            if (size == -1) {
                std::uint8_t n = 0;
                if (!RecvAll(s_, &n, 1)) return std::nullopt;
                m.payload.push_back(n);
                size = n;
            }
            const std::size_t head = m.payload.size();
            m.payload.resize(head + static_cast<std::size_t>(size));
            if (size > 0 && !RecvAll(s_, m.payload.data() + head, static_cast<std::size_t>(size))) return std::nullopt;
            return m;
        }
    }

    // Skips messages until one with opcode arrives.
    std::optional<ControlMessage> NextOf(std::uint8_t opcode, int ms = 5000) {
        for (;;) {
            auto m = Next(ms);
            if (!m || m->opcode == opcode) return m;
        }
    }

    // True when no message with opcode arrives within ms (others are skipped).
    bool QuietOf(std::uint8_t opcode, int ms = 300) { return !NextOf(opcode, ms).has_value(); }

private:
    SocketHandle s_;
};

// A UDP port of the test's on 127.0.0.1 (ephemeral), standing in for the phone's media port.
class MediaPort {
public:
    // Holds the socket layer up for its own socket (Winsock needs it first).
    MediaPort() : s_((NetInit(), CreateUdpReceiver(0))), port_(LocalPort(s_)) {}
    ~MediaPort() {
        Close(s_);
        NetShutdown();
    }
    MediaPort(const MediaPort&) = delete;
    MediaPort& operator=(const MediaPort&) = delete;
    std::uint16_t port() const { return port_; }
    // One datagram, or empty on timeout.
    std::vector<std::uint8_t> Receive(int ms = 3000) {
        std::vector<std::uint8_t> b(2048);
        const int n = RecvWithTimeout(s_, b.data(), b.size(), ms);
        if (n <= 0) return {};
        b.resize(static_cast<std::size_t>(n));
        return b;
    }

private:
    SocketHandle s_;
    std::uint16_t port_;
};

}  // namespace Veltrix::testing
