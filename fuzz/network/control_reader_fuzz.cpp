// The paired reader fed whatever a phone might send: every message it hands on must
// have exactly the payload size the wire table gives its opcode, and every byte of
// it must be readable.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_env.h"
#include "network/network_transport.h"
#include "network/socket.h"

namespace {
using namespace Veltrix;

constexpr std::size_t kMaxPhoneBytes = 16 * 1024;

// The inbound wire table, written out independently of the reader's own.
long ExpectedPayload(std::uint8_t op, const std::uint8_t* p, std::size_t n) {
    switch (op) {
        case 0x01: return 0;
        case 0x02: return 4;
        case 0x03: return 24;
        case 0x04: case 0x05: case 0x0C: case 0x10: case 0x11: case 0x15: case 0x19: return 1;
        case 0x07: case 0x08: case 0x12: return 2;
        case 0x0A: case 0x0B: return 4;
        case 0x0E: return 32;
        case 0x14: return 10;
        case 0x13: case 0x40: return n >= 1 ? 1 + p[0] : -1;
        case 0x18: return n >= 6 ? 6 + p[5] : -1;
        default: return (op >= 0x20 && op <= 0x29) ? 0 : -1;
    }
}

void Check(std::uint8_t op, const std::uint8_t* p, std::size_t n) {
    volatile std::uint8_t sink = 0;
    for (std::size_t i = 0; i < n; ++i) sink = sink ^ p[i];  // the sanitizers see any short buffer
    if (ExpectedPayload(op, p, n) != static_cast<long>(n)) std::abort();
}

// A started transport: the reader runs only while the transport is running.
struct Running {
    Running() : transport([] {
        NetworkTransport::Collaborators c;
        c.advertise = false;
        return c;
    }()) {
        transport.onControlMessage = Check;
        transport.StartListening(0);
    }
    NetworkTransport transport;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (fuzzing::KeepFilesInTemp("control_reader"), true);
    (void)ready;
    static Running running;
    SocketHandle plugin = kInvalid, phone = kInvalid;
    if (!CreateStreamPair(plugin, phone)) return 0;
    const std::size_t n = std::min(size, kMaxPhoneBytes);
    if (n > 0 && !SendAll(phone, data, n)) std::abort();
    ShutdownSend(phone);
    running.transport.ReadCommands(plugin);
    Close(plugin);
    Close(phone);
    return 0;
}
