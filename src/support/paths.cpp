#include "support/paths.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kPathsLog{"com.veltrix.plugin", "paths_win"};

std::mutex& OverrideMutex() {
    static std::mutex m;
    return m;
}
std::filesystem::path& OverrideBase() {
    static std::filesystem::path p;
    return p;
}

}  // namespace

const char* HostName(HostKind kind) {
    switch (kind) {
        case HostKind::kPremiere: return "Premiere";
        case HostKind::kAfterEffects: return "After Effects";
        case HostKind::kMediaEncoder: return "Media Encoder";
        default: return "Unknown Host";
    }
}

std::uint16_t ConfiguredControlPort(HostKind kind) {
    std::uint16_t port = 47130;
    switch (kind) {
        case HostKind::kPremiere: port = 47100; break;
        case HostKind::kAfterEffects: port = 47110; break;
        case HostKind::kMediaEncoder: port = 47120; break;
        case HostKind::kOther: break;
    }
    // Moves the listener, e.g. for two hosts of one kind.
    if (const char* text = std::getenv("VX_CONTROL_PORT"); text && *text) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end && *end == '\0' && value >= 0 && value <= 65535) port = static_cast<std::uint16_t>(value);
    }
    return port;
}

const char* HostSuffix(HostKind kind) {
    switch (kind) {
        case HostKind::kPremiere: return "";
        case HostKind::kAfterEffects: return "ae";
        case HostKind::kMediaEncoder: return "ame";
        default: return "x";
    }
}

std::string HostExecutableName() {
    const std::string path = platform::ExecutablePath();
    if (path.empty()) return {};
    const auto cut = path.find_last_of("\\/");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)) & 0x7F);
    }
    return name;
}

HostKind HostKindFromExecutableName(std::string_view name) {
    auto has = [&](std::string_view s) { return name.find(s) != std::string_view::npos; };
    if (has("afterfx")) return HostKind::kAfterEffects;
    if (has("media encoder")) return HostKind::kMediaEncoder;
    if (has("ame")) return HostKind::kMediaEncoder;
    if (has("premiere")) return HostKind::kPremiere;
    return HostKind::kOther;
}

HostKind DetectHost() {
    static const HostKind kind = HostKindFromExecutableName(HostExecutableName());
    return kind;
}

void OverrideAppSupportBaseForTesting(const std::filesystem::path& base) {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    OverrideBase() = base;
}

std::filesystem::path AppSupportDir() {
    {
        std::lock_guard<std::mutex> lock(OverrideMutex());
        if (!OverrideBase().empty()) return OverrideBase() / "Veltrix";
    }
    static const std::filesystem::path base = platform::RoamingBase();
    return base / "Veltrix";
}

bool EnsureAppSupportDir() {
    const std::filesystem::path dir = AppSupportDir();
    std::error_code ec;
    const auto st = std::filesystem::status(dir, ec);
    if (!ec && std::filesystem::exists(st)) {
        return std::filesystem::is_directory(st);
    }
    ec.clear();
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        Log(kPathsLog, kLogError, "EnsureAppSupportDir: create_directories(%s) failed: %s",
            PathForLog(dir).c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

std::filesystem::path LocalDataDir() {
    return platform::LocalBase() / "Veltrix";
}

std::string ComputerName() {
    std::string name = platform::HostNameUtf8();
    while (!name.empty() && name.back() == '\0') name.pop_back();
    return name.empty() ? std::string("PC") : name;
}

std::string FormatSixDigitCode(const std::uint8_t b[4]) {
    const std::uint32_t v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                            (static_cast<std::uint32_t>(b[2]) << 16) |
                            (static_cast<std::uint32_t>(b[3]) << 24);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(v % 1000000u));
    return buf;
}

std::string FormatHex(const std::uint8_t* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

std::string FormatUuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, const std::uint8_t d4[8]) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(d1), d2, d3, d4[0], d4[1], d4[2], d4[3], d4[4], d4[5],
                  d4[6], d4[7]);
    return buf;
}

std::string NewUuid() {
    std::uint32_t d1 = 0;
    std::uint16_t d2 = 0, d3 = 0;
    std::uint8_t d4[8] = {};
    if (!platform::CreateUuid(d1, d2, d3, d4)) return kNilUuid;
    return FormatUuid(d1, d2, d3, d4);
}

std::string SixDigitCode() {
    std::uint8_t b[4];
    if (!platform::RandomBytes(b, sizeof b)) return "731054";
    return FormatSixDigitCode(b);
}

std::string RandomHex(std::size_t byteCount) {
    if (byteCount == 0) return {};
    std::string raw(byteCount, '\0');
    if (!platform::RandomBytes(raw.data(), byteCount)) return {};
    return FormatHex(reinterpret_cast<const std::uint8_t*>(raw.data()), byteCount);
}

}  // namespace Veltrix
