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

enum class StoreReadResult { kOk, kCannotOpen };

// Reads the whole file, opened with every kind of sharing allowed so a writer
// may replace it meanwhile.
StoreReadResult StoreReadFile(const std::filesystem::path& path, std::string& out);

// Creates or truncates path for writing, readable and writable by the owner only.
std::intptr_t StoreOpenForWrite(const std::filesystem::path& path, int& error);
// Writes all bytes (short writes continued). False with error on failure.
bool StoreWriteAll(std::intptr_t handle, const char* data, std::size_t size, int& error);
// Forces the file's data to disk.
bool StoreFlushToDisk(std::intptr_t handle, int& error);
void StoreClose(std::intptr_t handle);

// Replaces to with from in one step. 0 or the error code.
int StoreRename(const std::filesystem::path& from, const std::filesystem::path& to);
// Makes a completed rename in folder durable (no-op where the platform needs none).
void StoreFlushFolder(const std::filesystem::path& folder);
bool StoreRemove(const std::filesystem::path& path);

// Opens (creating, owner-only) and locks path exclusively, waiting for other
// holders; -1 on failure. Unlocking closes the handle.
std::intptr_t StoreLock(const std::filesystem::path& path);
void StoreUnlock(std::intptr_t handle);

// Breaks t down as UTC (thread-safe).
bool StoreUtcTime(std::time_t t, std::tm& out);

}  // namespace Veltrix::platform
