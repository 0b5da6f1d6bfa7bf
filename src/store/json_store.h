// Shared machinery of the small state files: a string escaper for writing, a
// forgiving key lookup for reading, whole-file reads that retry a file that
// reads empty, an atomic replace-on-write, and a lock that serialises one
// read-modify-write across processes.
//
// The store files are flat JSON whose every value is a string and are only
// ever produced by our own writers; this is not a general JSON parser.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "support/clock.h"
#include "support/log.h"

namespace Veltrix {

// The text ready to be placed between double quotes (UTF-8 passes through).
std::string JsonEscape(std::string_view text);

// The value of key in text; empty when the key or its value is missing. The key
// is the first quoted string equal to it and followed by a colon (text inside
// another value never counts); without one, the first quoted occurrence
// anywhere. Only string values are read; \u escapes are decoded.
std::string JsonGetString(std::string_view text, std::string_view key);

// The first double-quoted string at or after position: its value and the index
// just after its closing quote; nothing without an opening or a closing quote.
std::optional<std::pair<std::string, std::size_t>> JsonParseString(std::string_view text,
                                                                    std::size_t position);

// What one store read found. kAbsent: no file, or one that stayed empty.
// kUnreadable: the file is there but a read failed part way; a writer must not
// replace what it could not read whole.
struct StoreText {
    enum Status { kRead, kAbsent, kUnreadable };
    Status status = kAbsent;
    std::string text;  // the whole file when kRead, else empty
};

// The whole file; retried up to 5 times, 5 ms apart on clock, while it reads
// empty. Absent when it cannot be opened (no retry) or stays empty.
StoreText ReadStoreText(const std::filesystem::path& path, Clock& clock = Clock::Real());
// The same, with both failures as nothing.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path,
                                         Clock& clock = Clock::Real());

// Logs one ERROR line on channel saying that the store file at path is damaged
// and what was kept of it (kept: e.g. "2 of 3 phones"), once per distinct
// content, so a store read every half second does not repeat it.
void LogDamagedStore(const LogChannel& channel, const std::filesystem::path& path, std::string_view content,
                     const std::string& kept);

// The three ERROR texts of one store: open (tmp path), write, rename
// (tmp path, path, system error text).
struct StoreMessages {
    const char* open;
    const char* write;
    const char* rename;
};

// Writes content to a temporary file of this writer's own next to path
// (path + "." + random hex + ".tmp", created exclusively and owner-only, never
// an existing file or link), flushes it to disk, renames it over path and
// flushes the folder. On any failure logs the store's ERROR line on channel,
// leaves the previous file untouched and returns false.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         const LogChannel& channel, const StoreMessages& messages);

// How long a store waits for another process to release its lock.
inline constexpr std::chrono::milliseconds kStoreLockWait{5000};

// Holds an exclusive advisory lock on path + ".lock" for its lifetime, so one
// read-modify-write of a store file does not interleave with another process's.
// Once held, removes the temporary files that a writer which died left beside
// the store. When another process keeps the lock past kStoreLockWait (measured
// on clock), logs ERROR on channel and timedOut() is true: the caller must not
// write. When the lock file cannot be opened at all the store goes on unlocked.
class StoreFileLock {
public:
    StoreFileLock(const std::filesystem::path& storePath, const LogChannel& channel);
    StoreFileLock(const std::filesystem::path& storePath, const LogChannel& channel, Clock& clock);
    ~StoreFileLock();
    StoreFileLock(const StoreFileLock&) = delete;
    StoreFileLock& operator=(const StoreFileLock&) = delete;

    bool held() const { return handle_ != kNoHandle; }
    bool timedOut() const { return timedOut_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle;
    bool timedOut_ = false;
};

// Tests only: replaces the rename step of WriteFileAtomically (null restores it).
// The hook returns 0 on success or a platform error code.
using StoreRenameHook = int (*)(const std::filesystem::path& from, const std::filesystem::path& to);
void OverrideStoreRenameForTesting(StoreRenameHook hook);
// Tests only: the clock the stores' lock waits run on (null restores the real one).
void OverrideStoreClockForTesting(Clock* clock);

}  // namespace Veltrix
