// POSIX sockets behind the socket layer.
#include "network/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Veltrix {

namespace {
int Fd(SocketHandle s) { return static_cast<int>(s); }

sockaddr_in Ipv4(std::uint32_t ipNetworkOrder, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipNetworkOrder;
    a.sin_port = htons(port);
    return a;
}
}  // namespace

void NetInit() {}
void NetShutdown() {}

SocketHandle CreateTcpListener(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    const int one = 1;
    sockaddr_in a = Ipv4(htonl(INADDR_ANY), port);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return kInvalid;
    }
    return fd;
}

SocketHandle CreateUdpSender() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    const int flags = ::fcntl(fd, F_GETFL, 0);
    const int size = 4 * 1024 * 1024;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return kInvalid;
    }
    return fd;
}

SocketHandle AcceptClient(SocketHandle listener, std::uint32_t& ip, std::uint16_t& port) {
    if (listener == kInvalid) return kInvalid;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0) return kInvalid;
    ip = a.sin_addr.s_addr;
    port = ntohs(a.sin_port);
    return fd;
}

void TuneClientSocket(SocketHandle s, int idleSeconds, int intervalSeconds, int probes) {
    if (s == kInvalid) return;
    const int one = 1;
    ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

bool WaitReadable(SocketHandle s, int milliseconds) {
    if (s == kInvalid) return false;
    pollfd p{Fd(s), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, milliseconds);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool RecvAll(SocketHandle s, void* buffer, std::size_t n) {
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
        const ssize_t r = ::recv(Fd(s), p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool SendAll(SocketHandle s, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t r = ::send(Fd(s), p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

int SendTo(SocketHandle s, const void* data, std::size_t length, std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a = Ipv4(ip, port);
    const ssize_t r = ::sendto(Fd(s), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r >= 0) return static_cast<int>(r);
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
}

void ShutdownReceive(SocketHandle s) {
    if (s != kInvalid) ::shutdown(Fd(s), SHUT_RD);
}

void ShutdownSend(SocketHandle s) {
    if (s != kInvalid) ::shutdown(Fd(s), SHUT_WR);
}

void ShutdownBoth(SocketHandle s) {
    if (s != kInvalid) ::shutdown(Fd(s), SHUT_RDWR);
}

void Close(SocketHandle s) {
    if (s != kInvalid) ::close(Fd(s));
}

std::string IpToString(std::uint32_t ip) {
    char buf[22] = {};
    in_addr a{};
    a.s_addr = ip;
    if (::inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr) return std::string();
    return buf;
}

std::string LastSocketErrorText() {
    const int code = errno;
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    if (text == nullptr || *text == '\0') {
        std::snprintf(buf, sizeof buf, "socket error %d", code);
        return buf;
    }
    return text;
}

std::uint16_t LocalPort(SocketHandle s) {
    if (s == kInvalid) return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool CreateStreamPair(SocketHandle& a, SocketHandle& b) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    a = fds[0];
    b = fds[1];
    return true;
}

SocketHandle ConnectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    sockaddr_in a = Ipv4(htonl(INADDR_LOOPBACK), port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return kInvalid;
    }
    return fd;
}

SocketHandle CreateUdpReceiver(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalid;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Ipv4(htonl(INADDR_LOOPBACK), port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return kInvalid;
    }
    return fd;
}

int RecvWithTimeout(SocketHandle s, void* buffer, std::size_t capacity, int milliseconds) {
    if (!WaitReadable(s, milliseconds)) return -2;
    const ssize_t r = ::recv(Fd(s), buffer, capacity, 0);
    return r < 0 ? -1 : static_cast<int>(r);
}

}  // namespace Veltrix
