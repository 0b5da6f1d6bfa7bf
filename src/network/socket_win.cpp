// Winsock 2 behind the socket layer.
#include "network/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace Veltrix {

namespace {
std::atomic<int> g_netRefs{0};

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }
SocketHandle Handle(SOCKET s) { return s == INVALID_SOCKET ? kInvalid : static_cast<SocketHandle>(s); }

sockaddr_in Ipv4(std::uint32_t ipNetworkOrder, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipNetworkOrder;
    a.sin_port = htons(port);
    return a;
}

// Winsock's shutdown makes later calls fail but leaves a recv or accept that is
// already blocked in another thread waiting (until the peer acts); cancelling the
// handle's pending I/O completes those with WSA_OPERATION_ABORTED at once.
void WakeBlockedCalls(SOCKET s) {
    const int saved = WSAGetLastError();
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
    WSASetLastError(saved);
}

void CloseKeepingError(SOCKET s) {
    const int saved = WSAGetLastError();
    closesocket(s);
    WSASetLastError(saved);
}
}  // namespace

void NetInit() {
    if (g_netRefs.fetch_add(1) == 0) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
}

void NetShutdown() {
    if (g_netRefs.fetch_sub(1) == 1) WSACleanup();
}

SocketHandle CreateTcpListener(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalid;
    const BOOL one = TRUE;
    sockaddr_in a = Ipv4(htonl(INADDR_ANY), port);
    // Not SO_REUSEADDR: on Windows it lets a second socket bind a port that is in
    // use and take its connections. Exclusive use makes a taken port fail to bind,
    // and Windows needs no option to rebind a port whose old connections linger.
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
        CloseKeepingError(s);
        return kInvalid;
    }
    return Handle(s);
}

SocketHandle CreateUdpSender() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return kInvalid;
    u_long nonBlocking = 1;
    const int size = 4 * 1024 * 1024;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size) != 0) {
        CloseKeepingError(s);
        return kInvalid;
    }
    return Handle(s);
}

SocketHandle AcceptClient(SocketHandle listener, std::uint32_t& ip, std::uint16_t& port) {
    if (listener == kInvalid) return kInvalid;
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&a), &len);
    if (s == INVALID_SOCKET) return kInvalid;
    ip = a.sin_addr.s_addr;
    port = ntohs(a.sin_port);
    return Handle(s);
}

void TuneClientSocket(SocketHandle s, int idleSeconds, int intervalSeconds, int probes) {
    if (s == kInvalid) return;
    const BOOL one = TRUE;
    setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive ka{};
    ka.onoff = 1;
    ka.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000u;
    ka.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000u;
    DWORD returned = 0;
    WSAIoctl(Sock(s), SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr);
    const DWORD count = static_cast<DWORD>(probes);
    setsockopt(Sock(s), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
}

bool WaitReadable(SocketHandle s, int milliseconds) {
    if (s == kInvalid) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Sock(s), &set);
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}

bool RecvAll(SocketHandle s, void* buffer, std::size_t n) {
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
        const int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
        const int r = recv(Sock(s), p, chunk, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool SendAll(SocketHandle s, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const int chunk = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
        const int r = send(Sock(s), p, chunk, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

int SendTo(SocketHandle s, const void* data, std::size_t length, std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a = Ipv4(ip, port);
    const int r = sendto(Sock(s), static_cast<const char*>(data), static_cast<int>(length), 0,
                         reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r >= 0) return r;
    return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

void ShutdownReceive(SocketHandle s) {
    if (s == kInvalid) return;
    shutdown(Sock(s), SD_RECEIVE);
    WakeBlockedCalls(Sock(s));
}

void ShutdownSend(SocketHandle s) {
    if (s != kInvalid) shutdown(Sock(s), SD_SEND);
}

void ShutdownBoth(SocketHandle s) {
    if (s == kInvalid) return;
    shutdown(Sock(s), SD_BOTH);
    WakeBlockedCalls(Sock(s));
}

void Close(SocketHandle s) {
    if (s != kInvalid) closesocket(Sock(s));
}

std::string IpToString(std::uint32_t ip) {
    char buf[22] = {};
    in_addr a{};
    a.s_addr = ip;
    if (inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr) return std::string();
    return buf;
}

std::string LastSocketErrorText() {
    const int code = WSAGetLastError();
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = '\0';
    if (n == 0) {
        std::snprintf(buf, sizeof buf, "WSA error %d", code);
    }
    return buf;
}

std::uint16_t LocalPort(SocketHandle s) {
    if (s == kInvalid) return 0;
    sockaddr_in a{};
    int len = sizeof a;
    if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

SocketHandle ConnectLoopback(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalid;
    sockaddr_in a = Ipv4(htonl(INADDR_LOOPBACK), port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return kInvalid;
    }
    return Handle(s);
}

bool CreateStreamPair(SocketHandle& a, SocketHandle& b) {
    // No socketpair on Windows: a loopback listener on an ephemeral port.
    SOCKET l = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (l == INVALID_SOCKET) return false;
    sockaddr_in addr = Ipv4(htonl(INADDR_LOOPBACK), 0);
    int len = sizeof addr;
    if (bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(l);
        return false;
    }
    const SocketHandle c = ConnectLoopback(ntohs(addr.sin_port));
    SOCKET s = c == kInvalid ? INVALID_SOCKET : accept(l, nullptr, nullptr);
    closesocket(l);
    if (s == INVALID_SOCKET) {
        Close(c);
        return false;
    }
    a = Handle(s);
    b = c;
    return true;
}

SocketHandle CreateUdpReceiver(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return kInvalid;
    sockaddr_in a = Ipv4(htonl(INADDR_LOOPBACK), port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return kInvalid;
    }
    return Handle(s);
}

int RecvWithTimeout(SocketHandle s, void* buffer, std::size_t capacity, int milliseconds) {
    if (!WaitReadable(s, milliseconds)) return -2;
    const int r = recv(Sock(s), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
    return r < 0 ? -1 : r;
}

}  // namespace Veltrix
