// The process-wide logger: one printf-style call with a level and a channel.
//
// Lines read "[time subsystem:category:LEVEL] message\r\n" and go to the
// debugger output and to the per-host log file in LocalDataDir(), rotated at
// 4 MiB. Format strings may carry "%{public}s"-style qualifiers; they are
// stripped. Logging never fails, never throws and never blocks on anything
// but its own file mutex and the lock that every writer of the file shares.
//
// Arguments often hold what a phone or a file sent, so the writer escapes the
// message itself: one call is always exactly one line of valid UTF-8 that no
// terminal acts on, whatever the arguments hold. Callers pass text raw.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/paths.h"

namespace Veltrix {

struct LogChannel {
    const char* subsystem;
    const char* category;
};

enum LogLevel : int {
    kLogDebug = 0,
    kLogInfo = 1,
    kLogError = 2,
    kLogFault = 3,
};

inline constexpr const char* kLogSubsystem = "com.veltrix.plugin";
inline constexpr std::uintmax_t kLogRotateSize = 4u * 1024u * 1024u + 1u;  // 4,194,305 bytes

void Log(const LogChannel& channel, int level, const char* format, ...);
void LogV(const LogChannel& channel, int level, const char* format, va_list args);
// One line whose message is text as given (cut at 1023 bytes, escaped as
// EscapeLogText does): for text that may hold NUL bytes, which a %s argument
// cannot carry. A formatted message is escaped the same way except that a
// backslash stays as it is unless "x" follows it, so our own texts keep theirs.
void LogText(const LogChannel& channel, int level, std::string_view text);

// True when a line of this level would be written (DEBUG needs VX_LOG_DEBUG=1).
bool LogEnabled(int level);

// --- pieces exposed for tests and for the other logs of the process ---

// Minimum level from the value of VX_LOG_DEBUG (null when unset): 0 only for exactly "1".
int MinimumLevelFromEnv(const char* value);
// The format with "%{...}" qualifiers removed, at most 1023 characters.
std::string StripQualifiers(const char* format);
// Text as the writer puts it in a line: well-formed UTF-8 is kept; bytes below
// 0x20, DEL, backslash, C1 controls (U+0080..U+009F, both bytes) and every byte
// that is not part of well-formed UTF-8 become \xNN (lowercase hex).
std::string EscapeLogText(std::string_view text);
// "plugin.log", "plugin-ae.log", "plugin-ame.log", "plugin-x.log".
std::string LogFileName(HostKind kind);
// LocalDataDir() / LogFileName(DetectHost()).
std::filesystem::path LogFilePath();
// Appends bytes to the log file at path with the size check and rotation, under the log mutex
// and the file's shared lock.
void AppendLogLine(const std::filesystem::path& path, const char* data, std::size_t size);

namespace platform {
// Debugger output (OutputDebugStringA on Windows; stderr on POSIX when VX_LOG_STDERR=1).
void DebuggerOutput(const char* line);
// Opens for appending (creating), writes, closes. Failures are silent.
void AppendFile(const std::filesystem::path& path, const char* data, std::size_t size);

// For its lifetime, the lock that every writer of the log at logPath holds
// around its size check, rotation and append: the other plug-in's copy of the
// logger and other processes take it too (an exclusive lock on logPath +
// ".lock", released by the system if the holder dies). Without it (no folder,
// lock refused) the write goes on unlocked.
class LogFileLock {
public:
    explicit LogFileLock(const std::filesystem::path& logPath);
    ~LogFileLock();
    LogFileLock(const LogFileLock&) = delete;
    LogFileLock& operator=(const LogFileLock&) = delete;

private:
    std::intptr_t handle_ = -1;
};
}  // namespace platform

}  // namespace Veltrix
