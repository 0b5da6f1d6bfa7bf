// The receiver's own socket needs beyond the shared socket layer: a TCP
// connection to any IPv4 host and UDP receivers bound to a chosen address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "network/socket.h"

namespace Veltrix::phone {

// A connected blocking stream socket (TCP_NODELAY), or kInvalid with *error set.
SocketHandle ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error);
// A blocking datagram socket bound to address:port (port 0 = ephemeral) with a
// large receive buffer, or kInvalid with *error set.
SocketHandle BindUdp(const std::string& address, std::uint16_t port, std::string* error);
// One datagram: its size, -2 on timeout, -1 on error or shutdown.
int ReceiveDatagram(SocketHandle s, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
// True for 127.0.0.0/8 and "localhost".
bool IsLoopbackHost(const std::string& host);

}  // namespace Veltrix::phone
