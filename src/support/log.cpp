#include "support/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <chrono>
#include <mutex>
#include <system_error>

namespace Veltrix {
namespace {

const int gMinimumLevel = MinimumLevelFromEnv(std::getenv("VX_LOG_DEBUG"));

std::mutex& LogFileMutex() {
    static std::mutex m;
    return m;
}

const char* LevelName(int level) {
    switch (level) {
        case kLogDebug: return "DEBUG";
        case kLogInfo: return "INFO";
        case kLogError: return "ERROR";
        case kLogFault: return "FAULT";
        default: return "LOG";
    }
}

// Qualifier-free copy into a fixed buffer; no allocation on the logging path.
void StripInto(const char* format, char (&out)[1024]) {
    std::size_t n = 0;
    if (format) {
        for (const char* p = format; *p && n < 1023;) {
            if (p[0] == '%' && p[1] == '{') {
                out[n++] = '%';
                const char* close = std::strchr(p + 2, '}');
                if (!close) break;
                p = close + 1;
                continue;
            }
            out[n++] = *p++;
        }
    }
    out[n] = '\0';
}

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), 0 when there is
// none (stray continuation byte, overlong form, surrogate, above U+10FFFF, cut short).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// How a backslash is written. Text a phone sent as a whole (LogText) escapes
// every one, as the pairing lines always have. A formatted message keeps the
// backslashes of our own texts (Windows paths) and escapes only one that starts
// "\x", which is enough for every \xNN in the log to be an escape.
enum class Backslash { kAll, kBeforeX };

// The next piece of text at s[i]: `length` bytes, copied as they are or each
// written as \xNN. Pieces are never split, so a cut line stays well formed.
struct Piece {
    std::size_t length;
    bool escape;
};

Piece NextPiece(std::string_view s, std::size_t i, Backslash backslash) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\\') return {1, backslash == Backslash::kAll || (i + 1 < s.size() && s[i + 1] == 'x')};
    if (c < 0x20 || c == 0x7f) return {1, true};
    const std::size_t n = Utf8Length(s, i);
    if (n == 0) return {1, true};
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return {2, true};  // C1
    return {n, false};
}

void PutEscaped(char* out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 0x0f];
}

// Escapes text into out, at most room bytes, whole pieces only; the bytes written.
std::size_t EscapeInto(std::string_view text, char* out, std::size_t room, Backslash backslash) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Piece p = NextPiece(text, i, backslash);
        const std::size_t need = p.escape ? 4 * p.length : p.length;
        if (used + need > room) break;
        for (std::size_t k = 0; k < p.length; ++k) {
            if (p.escape) {
                PutEscaped(out + used, static_cast<unsigned char>(text[i + k]));
                used += 4;
            } else {
                out[used++] = text[i + k];
            }
        }
        i += p.length;
    }
    return used;
}

void LocalTimestamp(char (&out)[32]) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    std::snprintf(out, sizeof out, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned(tm.tm_year + 1900),
                  unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday), unsigned(tm.tm_hour),
                  unsigned(tm.tm_min), unsigned(tm.tm_sec), unsigned(ms));
}

}  // namespace

int MinimumLevelFromEnv(const char* value) {
    return (value && std::strcmp(value, "1") == 0) ? kLogDebug : kLogInfo;
}

bool LogEnabled(int level) { return level >= gMinimumLevel; }

std::string StripQualifiers(const char* format) {
    char buf[1024];
    StripInto(format, buf);
    return buf;
}

std::string EscapeLogText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Piece p = NextPiece(text, i, Backslash::kAll);
        for (std::size_t k = 0; k < p.length; ++k) {
            if (p.escape) {
                char buf[4];
                PutEscaped(buf, static_cast<unsigned char>(text[i + k]));
                out.append(buf, 4);
            } else {
                out.push_back(text[i + k]);
            }
        }
        i += p.length;
    }
    return out;
}

std::string LogFileName(HostKind kind) {
    if (kind == HostKind::kPremiere) return "plugin.log";
    return std::string("plugin-") + HostSuffix(kind) + ".log";
}

std::filesystem::path LogFilePath() { return LocalDataDir() / LogFileName(DetectHost()); }

void AppendLogLine(const std::filesystem::path& path, const char* data, std::size_t size) {
    try {
        std::lock_guard<std::mutex> lock(LogFileMutex());
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        // The other plug-in's logger (and another host's process) may be about
        // to rotate the same file: the check and the move are made under a lock
        // they all take, or both would rotate and one delete the other's file.
        const platform::LogFileLock shared(path);
        const auto existing = std::filesystem::file_size(path, ec);
        if (!ec && existing >= kLogRotateSize) {
            std::filesystem::path rotated = path;
            rotated += ".1";
            std::filesystem::remove(rotated, ec);
            std::filesystem::rename(path, rotated, ec);
            if (ec) std::filesystem::remove(path, ec);
        }
        platform::AppendFile(path, data, size);
    } catch (...) {
        // A line that cannot be written is lost; the caller never learns of it.
    }
}

namespace {

// Builds "[time subsystem:category:LEVEL] message\r\n" with the message escaped
// and writes it. The line always ends in CR LF and holds at most 1279 bytes: an
// escaped message too long for it is cut between whole characters or escapes.
void WriteLine(const LogChannel& channel, int level, std::string_view message, Backslash backslash) {
    constexpr std::size_t kMaxLine = 1279;
    char stamp[32];
    LocalTimestamp(stamp);
    char line[kMaxLine + 1];
    const int head = std::snprintf(line, sizeof line, "[%s %s:%s:%s] ", stamp,
                                   channel.subsystem ? channel.subsystem : "?",
                                   channel.category ? channel.category : "?", LevelName(level));
    if (head < 1) return;
    std::size_t used = std::min<std::size_t>(static_cast<std::size_t>(head), kMaxLine - 2);
    used += EscapeInto(message, line + used, kMaxLine - 2 - used, backslash);
    line[used++] = '\r';
    line[used++] = '\n';
    line[used] = '\0';
    platform::DebuggerOutput(line);
    try {
        AppendLogLine(LogFilePath(), line, used);
    } catch (...) {
    }
}

}  // namespace

void LogV(const LogChannel& channel, int level, const char* format, va_list args) {
    if (level < gMinimumLevel) return;
    char fmt[1024];
    StripInto(format, fmt);
    char message[1024];
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    const int written = std::vsnprintf(message, sizeof message, fmt, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (written < 0) return;
    // The formatted length, not strlen: a %c of 0 is a byte like any other and is escaped.
    const std::size_t messageLen = written > 1023 ? 1023 : static_cast<std::size_t>(written);
    WriteLine(channel, level, std::string_view(message, messageLen), Backslash::kBeforeX);
}

void LogText(const LogChannel& channel, int level, std::string_view text) {
    if (level < gMinimumLevel) return;
    WriteLine(channel, level, text.substr(0, 1023), Backslash::kAll);
}

void Log(const LogChannel& channel, int level, const char* format, ...) {
    if (level < gMinimumLevel) return;
    va_list args;
    va_start(args, format);
    LogV(channel, level, format, args);
    va_end(args);
}

}  // namespace Veltrix
