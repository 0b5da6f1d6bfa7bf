// Plays the phone over a real loopback TCP connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/socket.h"

namespace Veltrix::testing {

class TestPhone {
public:
    explicit TestPhone(std::uint16_t port) : s_(ConnectLoopback(port)) {}
    ~TestPhone() { Close(s_); }
    TestPhone(const TestPhone&) = delete;
    TestPhone& operator=(const TestPhone&) = delete;

    bool Connected() const { return s_ != kInvalid; }
    bool Send(const std::vector<std::uint8_t>& bytes) { return SendAll(s_, bytes.data(), bytes.size()); }
    bool Hello(const std::string& id, const std::string& name, const std::string& token) {
        std::vector<std::uint8_t> b{0x30};
        for (const std::string* f : {&id, &name, &token}) {
            b.push_back(static_cast<std::uint8_t>(f->size()));
            b.insert(b.end(), f->begin(), f->end());
        }
        return Send(b);
    }
    bool Code(const std::string& code) {
        std::vector<std::uint8_t> b{0x32};
        b.insert(b.end(), code.begin(), code.end());
        return Send(b);
    }
    // Next byte that is not a heartbeat; -1 when closed, -2 on timeout.
    int NextNonHeartbeat(int ms = 5000) {
        for (;;) {
            const int b = NextByte(ms);
            if (b != 0x09) return b;
        }
    }
    int NextByte(int ms = 5000) {
        std::uint8_t b = 0;
        const int r = RecvWithTimeout(s_, &b, 1, ms);
        if (r == 1) return b;
        return r == -2 ? -2 : -1;
    }
    // Reads a short string after kPairAccepted.
    std::string ShortString() {
        const int n = NextByte();
        if (n < 0) return "<closed>";
        std::string s(static_cast<std::size_t>(n), '\0');
        if (n > 0 && !RecvAll(s_, s.data(), s.size())) return "<closed>";
        return s;
    }
    // True when the server closed the connection (heartbeats skipped).
    bool WaitClosed(int ms = 5000) {
        for (;;) {
            const int b = NextByte(ms);
            if (b < 0) return b == -1;
        }
    }
    SocketHandle socket() const { return s_; }

private:
    SocketHandle s_;
};

}  // namespace Veltrix::testing
