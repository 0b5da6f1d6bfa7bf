// POSIX roles of the per-user folders and identifiers: XDG folders, the host
// name, getrandom and a version-4 UUID, and argv[0] as the executable's name
// (so a process can pose as a host by re-executing itself under its name).
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "support/paths.h"

namespace Veltrix {

std::string PathForLog(const std::filesystem::path& p) { return p.string(); }

namespace platform {
namespace {

std::filesystem::path EnvOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::filesystem::path(v) : std::filesystem::path();
}

std::filesystem::path XdgBase(const char* var, const char* homeRelative) {
    auto p = EnvOrEmpty(var);
    if (!p.empty()) return p;
    auto home = EnvOrEmpty("HOME");
    if (!home.empty()) return home / homeRelative;
    return ".";
}

}  // namespace

std::string ExecutablePath() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string argv0;
    if (in) std::getline(in, argv0, '\0');
    return argv0;
}

std::filesystem::path RoamingBase() { return XdgBase("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path LocalBase() { return XdgBase("XDG_STATE_HOME", ".local/state"); }

std::string HostNameUtf8() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

bool RandomBytes(void* out, std::size_t count) {
    auto* p = static_cast<unsigned char*>(out);
    while (count > 0) {
        const ssize_t n = getrandom(p, count, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CreateUuid(std::uint32_t& d1, std::uint16_t& d2, std::uint16_t& d3, std::uint8_t d4[8]) {
    std::uint8_t b[16];
    if (!RandomBytes(b, sizeof b)) return false;
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    d1 = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    d2 = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
    d3 = static_cast<std::uint16_t>((b[6] << 8) | b[7]);
    std::memcpy(d4, b + 8, 8);
    return true;
}

std::string SystemErrorText(int code) { return std::strerror(code); }

}  // namespace platform
}  // namespace Veltrix
