// What this process holds right now, for tests that must leave nothing behind.
#pragma once

namespace Veltrix::testing {

// Open file descriptors (POSIX) or kernel handles (Windows); -1 when unknown.
int OpenHandleCount();
// Threads of this process; -1 when unknown.
int ThreadCount();

// The calling thread's id, for ThreadBlockedInReceive.
long CurrentThreadId();
// 1 when that thread of this process is blocked in a socket receive, 0 while
// it is not (yet), -1 when this platform cannot tell.
int ThreadBlockedInReceive(long threadId);

}  // namespace Veltrix::testing
