// The file-system calls the stores need, one small function each. Handles are
// opaque integers; -1 means none. Error codes are the platform's (errno or
// GetLastError), rendered by platform::SystemErrorText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

namespace Veltrix::platform {

// kCannotOpen: no such file (or not a regular file). kReadFailed: opened, but
// a read failed part way; out then holds only part of the file.
enum class StoreReadResult { kOk, kCannotOpen, kReadFailed };

// Reads the whole file, opened with every kind of sharing allowed so a writer
// may replace it meanwhile.
StoreReadResult StoreReadFile(const std::filesystem::path& path, std::string& out);

// Creates path for writing, readable and writable by the owner only. Fails
// when anything already has that name, a link included: nothing is ever
// truncated or written through a link.
std::intptr_t StoreCreateExclusive(const std::filesystem::path& path, int& error);
// True when error says the name was taken (StoreCreateExclusive).
bool StoreAlreadyExists(int error);
// Writes all bytes (short writes continued). False with error on failure.
bool StoreWriteAll(std::intptr_t handle, const char* data, std::size_t size, int& error);
// Forces the file's data to disk.
bool StoreFlushToDisk(std::intptr_t handle, int& error);
void StoreClose(std::intptr_t handle);

// Replaces to with from in one step. 0 or the error code.
int StoreRename(const std::filesystem::path& from, const std::filesystem::path& to);
// Makes a completed rename in folder durable (no-op where the platform needs none).
void StoreFlushFolder(const std::filesystem::path& folder);
// Removes the name; a link is removed itself, never what it points to.
bool StoreRemove(const std::filesystem::path& path);

// Opens the lock file (creating it owner-only), never through a link; -1 on failure.
std::intptr_t StoreOpenLockFile(const std::filesystem::path& path);
enum class StoreLockResult { kLocked, kBusy, kFailed };
// Takes the exclusive lock without waiting; kBusy while another handle holds it.
StoreLockResult StoreTryLock(std::intptr_t handle);
// Releases the lock and closes the handle.
void StoreUnlock(std::intptr_t handle);

// Breaks t down as UTC (thread-safe).
bool StoreUtcTime(std::time_t t, std::tm& out);

}  // namespace Veltrix::platform
