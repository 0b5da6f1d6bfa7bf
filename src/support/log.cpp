#include "support/log.h"

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
    const int messageLen = written > 1023 ? 1023 : written;
    char stamp[32];
    LocalTimestamp(stamp);
    char line[1280];
    const int lineLen = std::snprintf(line, sizeof line, "[%s %s:%s:%s] %.*s\r\n", stamp,
                                      channel.subsystem ? channel.subsystem : "?",
                                      channel.category ? channel.category : "?", LevelName(level),
                                      messageLen, message);
    if (lineLen < 1) return;
    platform::DebuggerOutput(line);
    const std::size_t toWrite = lineLen > 1279 ? 1279 : static_cast<std::size_t>(lineLen);
    try {
        AppendLogLine(LogFilePath(), line, toWrite);
    } catch (...) {
    }
}

void Log(const LogChannel& channel, int level, const char* format, ...) {
    if (level < gMinimumLevel) return;
    va_list args;
    va_start(args, format);
    LogV(channel, level, format, args);
    va_end(args);
}

}  // namespace Veltrix
