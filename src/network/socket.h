// Thin socket layer: the only place that touches the platform's socket API.
// Handles are 64-bit; kInvalid is all bits set (prints as -1 with "%lld").
// Every function is safe to call with kInvalid and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Veltrix {

using SocketHandle = std::int64_t;
inline constexpr SocketHandle kInvalid = -1;

// Process-wide reference count around the platform's socket start-up.
void NetInit();
void NetShutdown();

// IPv4 stream socket that may rebind a lingering port but never shares a used one
// (SO_REUSEADDR on POSIX, SO_EXCLUSIVEADDRUSE on Windows), bound to any address on port (0 = ephemeral), backlog 1.
SocketHandle CreateTcpListener(std::uint16_t port);
// Non-blocking IPv4 datagram socket with a 4 MiB send buffer; not bound.
SocketHandle CreateUdpSender();
// Accepted socket (or kInvalid) with the peer address in network order and port in host order.
SocketHandle AcceptClient(SocketHandle listener, std::uint32_t& ip, std::uint16_t& port);
// TCP_NODELAY and keep-alive: first probe after idle, then every interval, probes count.
void TuneClientSocket(SocketHandle s, int idleSeconds, int intervalSeconds, int probes);
// True only when s is readable within the timeout.
bool WaitReadable(SocketHandle s, int milliseconds);
// Exactly n bytes or false (closed or failed). n = 0 is true.
bool RecvAll(SocketHandle s, void* buffer, std::size_t n);
// All n bytes or false. n = 0 is true. Never raises SIGPIPE.
bool SendAll(SocketHandle s, const void* data, std::size_t n);
// Byte count, -2 when the send would block, -1 on any other error.
int SendTo(SocketHandle s, const void* data, std::size_t length, std::uint32_t ip, std::uint16_t port);
// Shuts down the receive side; a reader blocked in recv returns as if closed.
void ShutdownReceive(SocketHandle s);
// Shuts down the send side: the peer reads end-of-stream after what was sent (tests, fuzzing).
void ShutdownSend(SocketHandle s);
// Shuts down both sides: wakes readers, fails writers and wakes a select on a listener.
void ShutdownBoth(SocketHandle s);
// Releases the handle. Only where no other thread can still use the number.
void Close(SocketHandle s);
// Dotted IPv4 text of an address in network order.
std::string IpToString(std::uint32_t ip);
// The text of the last socket error of this thread.
std::string LastSocketErrorText();
// The local port a socket is bound to (host order), 0 when unknown.
std::uint16_t LocalPort(SocketHandle s);
// Two connected stream sockets (tests and fuzzing drive the real reader through them).
bool CreateStreamPair(SocketHandle& a, SocketHandle& b);
// Connects a blocking IPv4 stream socket to 127.0.0.1:port (tests).
SocketHandle ConnectLoopback(std::uint16_t port);
// An IPv4 datagram socket bound to 127.0.0.1:port, blocking (tests).
SocketHandle CreateUdpReceiver(std::uint16_t port);
// recv with a timeout: bytes received, 0 when closed, -2 on timeout, -1 on error (tests).
int RecvWithTimeout(SocketHandle s, void* buffer, std::size_t capacity, int milliseconds);

}  // namespace Veltrix
