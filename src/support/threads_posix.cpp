#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "support/threads.h"

namespace Veltrix {

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

void SetCurrentThreadName(const char* name) {
    if (!name) return;
    char buf[16] = {};  // the kernel keeps 15 characters
    std::strncpy(buf, name, sizeof buf - 1);
    pthread_setname_np(pthread_self(), buf);
}

}  // namespace Veltrix
