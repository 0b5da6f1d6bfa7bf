#include "process_census.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace Veltrix::testing {

namespace {
int CountEntries(const char* dir) {
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return ec ? -1 : n;
}
}  // namespace

// The iterator's own descriptor is counted each time, so results compare equal.
int OpenHandleCount() { return CountEntries("/proc/self/fd"); }
int ThreadCount() { return CountEntries("/proc/self/task"); }

long CurrentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

int ThreadBlockedInReceive(long threadId) {
    // The first field is the number of the system call the thread sleeps in ("running" otherwise).
    std::ifstream in("/proc/self/task/" + std::to_string(threadId) + "/syscall");
    long number = -1;
    if (!(in >> number)) return in.is_open() ? 0 : -1;
#ifdef SYS_recv
    if (number == SYS_recv) return 1;
#endif
    return number == SYS_recvfrom || number == SYS_recvmsg ? 1 : 0;
}

}  // namespace Veltrix::testing
