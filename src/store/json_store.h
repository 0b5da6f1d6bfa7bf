// Shared machinery of the small state files: a string escaper for writing, a
// forgiving key lookup for reading, whole-file reads that retry a file that
// reads empty, an atomic replace-on-write, and a lock that serialises one
// read-modify-write across processes.
//
// The store files are flat JSON whose every value is a string and are only
// ever produced by our own writers; this is not a general JSON parser.
#pragma once

#include <cstddef>
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

// The value of the first quoted occurrence of key in text; empty when the key
// or its value is missing. Only string values are read; \u escapes are not decoded.
std::string JsonGetString(std::string_view text, std::string_view key);

// The first double-quoted string at or after position: its value and the index
// just after its closing quote; nothing without an opening or a closing quote.
std::optional<std::pair<std::string, std::size_t>> JsonParseString(std::string_view text,
                                                                    std::size_t position);

// The whole file; retried up to 5 times, 5 ms apart on clock, while it reads
// empty. Nothing when it cannot be opened (no retry) or stays empty.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path,
                                         Clock& clock = Clock::Real());

// The three ERROR texts of one store: open (tmp path), write, rename
// (tmp path, path, system error text).
struct StoreMessages {
    const char* open;
    const char* write;
    const char* rename;
};

// Writes content to path + ".tmp" (owner-only permissions), flushes it to disk,
// renames it over path and flushes the folder. On any failure logs the store's
// ERROR line on channel, leaves the previous file untouched and returns false.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         const LogChannel& channel, const StoreMessages& messages);

// Holds an exclusive advisory lock on path + ".lock" for its lifetime, so one
// read-modify-write of a store file does not interleave with another process's.
// When the lock cannot be taken the store goes on unlocked (held() is false).
class StoreFileLock {
public:
    explicit StoreFileLock(const std::filesystem::path& storePath);
    ~StoreFileLock();
    StoreFileLock(const StoreFileLock&) = delete;
    StoreFileLock& operator=(const StoreFileLock&) = delete;

    bool held() const { return handle_ != kNoHandle; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle;
};

// Tests only: replaces the rename step of WriteFileAtomically (null restores it).
// The hook returns 0 on success or a platform error code.
using StoreRenameHook = int (*)(const std::filesystem::path& from, const std::filesystem::path& to);
void OverrideStoreRenameForTesting(StoreRenameHook hook);

}  // namespace Veltrix
