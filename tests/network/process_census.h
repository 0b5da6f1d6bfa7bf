// What this process holds right now, for tests that must leave nothing behind.
#pragma once

namespace Veltrix::testing {

// Open file descriptors (POSIX) or kernel handles (Windows); -1 when unknown.
int OpenHandleCount();
// Threads of this process; -1 when unknown.
int ThreadCount();

}  // namespace Veltrix::testing
