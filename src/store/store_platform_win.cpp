// Windows file calls of the stores: CreateFileW with full sharing for reads and
// CREATE_NEW for writes, FlushFileBuffers, MoveFileExW with replacement, LockFileEx.
#include <windows.h>

#include "store/store_platform.h"

namespace Veltrix::platform {

StoreReadResult StoreReadFile(const std::filesystem::path& path, std::string& out) {
    out.clear();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return StoreReadResult::kCannotOpen;
    char buf[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
            CloseHandle(h);
            return StoreReadResult::kReadFailed;
        }
        if (got == 0) break;
        out.append(buf, got);
    }
    CloseHandle(h);
    return StoreReadResult::kOk;
}

std::intptr_t StoreCreateExclusive(const std::filesystem::path& path, int& error) {
    // CREATE_NEW fails on any existing name, a symbolic link or junction
    // included; the reparse-point flag keeps a link from ever being followed.
    // The per-user profile folder already restricts access to the owner.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(h);
}

bool StoreAlreadyExists(int error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

bool StoreWriteAll(std::intptr_t handle, const char* data, std::size_t size, int& error) {
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!WriteFile(h, data, chunk, &put, nullptr)) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        data += put;
        size -= put;
    }
    return true;
}

bool StoreFlushToDisk(std::intptr_t handle, int& error) {
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(handle))) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

void StoreClose(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

int StoreRename(const std::filesystem::path& from, const std::filesystem::path& to) {
    // A reader holding the old file open can make the replacement fail for a
    // moment; try a few times before giving up.
    DWORD err = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
            return 0;
        }
        err = GetLastError();
        if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) break;
        Sleep(5);
    }
    return static_cast<int>(err ? err : ERROR_GEN_FAILURE);
}

void StoreFlushFolder(const std::filesystem::path&) {
    // MOVEFILE_WRITE_THROUGH already waits for the rename to reach the disk.
}

bool StoreRemove(const std::filesystem::path& path) { return DeleteFileW(path.c_str()) != 0; }

std::intptr_t StoreOpenLockFile(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

StoreLockResult StoreTryLock(std::intptr_t handle) {
    OVERLAPPED ov{};
    if (LockFileEx(reinterpret_cast<HANDLE>(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &ov))
        return StoreLockResult::kLocked;
    const DWORD err = GetLastError();
    return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? StoreLockResult::kBusy
                                                                  : StoreLockResult::kFailed;
}

void StoreUnlock(std::intptr_t handle) {
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED ov{};
    UnlockFileEx(h, 0, 1, 0, &ov);
    CloseHandle(h);
}

bool StoreUtcTime(std::time_t t, std::tm& out) { return gmtime_s(&out, &t) == 0; }

}  // namespace Veltrix::platform
