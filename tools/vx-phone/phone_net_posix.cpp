#include "vx-phone/phone_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Veltrix::phone {
namespace {

bool Resolve(const std::string& host, std::uint16_t port, sockaddr_in* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        if (error) *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
        return false;
    }
    *out = *reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    out->sin_port = htons(port);
    freeaddrinfo(res);
    return true;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost") return true;
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

SocketHandle ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) {
    sockaddr_in addr{};
    if (!Resolve(host, port, &addr, error)) return kInvalid;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return kInvalid;
    }
    // Non-blocking connect so an unreachable host fails within the timeout.
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, timeoutMs);
        if (rc == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
            errno = err;
        } else {
            rc = -1;
            if (p.revents == 0) errno = ETIMEDOUT;
        }
    }
    if (rc != 0) {
        if (error) *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return kInvalid;
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

SocketHandle BindUdp(const std::string& address, std::uint16_t port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        if (error) *error = "'" + address + "' is not an IPv4 address";
        return kInvalid;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return kInvalid;
    }
    // Key frames arrive as bursts of hundreds of datagrams.
    int buffer = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) {
            *error = "cannot bind UDP " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        }
        ::close(fd);
        return kInvalid;
    }
    return fd;
}

int ReceiveDatagram(SocketHandle s, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    if (s == kInvalid) return -1;
    pollfd p{static_cast<int>(s), POLLIN, 0};
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc == 0) return -2;
    if (rc < 0) return errno == EINTR ? -2 : -1;
    const ssize_t n = ::recv(static_cast<int>(s), buffer, capacity, MSG_TRUNC);
    if (n < 0) return (errno == EINTR || errno == EAGAIN) ? -2 : -1;
    if (static_cast<std::size_t>(n) > capacity) return 0;  // too large to be ours: empty
    return static_cast<int>(n);
}

}  // namespace Veltrix::phone
