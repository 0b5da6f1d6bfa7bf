// POSIX file calls of the stores: open(2) with mode 0600, O_EXCL and
// O_NOFOLLOW, fsync of the file and of its folder, rename(2), flock(2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "store/store_platform.h"

namespace Veltrix::platform {

StoreReadResult StoreReadFile(const std::filesystem::path& path, std::string& out) {
    out.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return StoreReadResult::kCannotOpen;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        return StoreReadResult::kCannotOpen;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return StoreReadResult::kReadFailed;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return StoreReadResult::kOk;
}

std::intptr_t StoreCreateExclusive(const std::filesystem::path& path, int& error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    // The umask may have taken the owner's write bit; the mode is ours to set.
    ::fchmod(fd, 0600);
    return fd;
}

bool StoreAlreadyExists(int error) { return error == EEXIST; }

bool StoreWriteAll(std::intptr_t handle, const char* data, std::size_t size, int& error) {
    const int fd = static_cast<int>(handle);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool StoreFlushToDisk(std::intptr_t handle, int& error) {
    if (::fsync(static_cast<int>(handle)) != 0) {
        error = errno;
        return false;
    }
    return true;
}

void StoreClose(std::intptr_t handle) { ::close(static_cast<int>(handle)); }

int StoreRename(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void StoreFlushFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool StoreRemove(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0; }

std::intptr_t StoreOpenLockFile(const std::filesystem::path& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return fd;
        // A link planted at the lock's name: none of our writers makes one, so
        // removing it takes no lock from anybody.
        if (errno != ELOOP || ::unlink(path.c_str()) != 0) return -1;
    }
    return -1;
}

StoreLockResult StoreTryLock(std::intptr_t handle) {
    int rc;
    do {
        rc = ::flock(static_cast<int>(handle), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return StoreLockResult::kLocked;
    return errno == EWOULDBLOCK ? StoreLockResult::kBusy : StoreLockResult::kFailed;
}

void StoreUnlock(std::intptr_t handle) {
    const int fd = static_cast<int>(handle);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

bool StoreUtcTime(std::time_t t, std::tm& out) { return ::gmtime_r(&t, &out) != nullptr; }

}  // namespace Veltrix::platform
