#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/log.h"

namespace Veltrix::platform {

void DebuggerOutput(const char* line) {
    // Linux has no debugger channel; copy to stderr only when asked.
    static const bool toStderr = [] {
        const char* v = std::getenv("VX_LOG_STDERR");
        return v && std::strcmp(v, "1") == 0;
    }();
    if (!toStderr) return;
    const std::size_t len = std::strlen(line);
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}

void AppendFile(const std::filesystem::path& path, const char* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

// flock, not fcntl: its locks belong to the open file, so two plug-ins in one
// process exclude each other as two processes do.
LogFileLock::LogFileLock(const std::filesystem::path& logPath) {
    std::filesystem::path lockPath = logPath;
    lockPath += ".lock";
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int rc;
    do {
        rc = flock(fd, LOCK_EX);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        return;
    }
    handle_ = fd;
}

LogFileLock::~LogFileLock() {
    if (handle_ >= 0) close(static_cast<int>(handle_));  // releases the lock
}

}  // namespace Veltrix::platform
