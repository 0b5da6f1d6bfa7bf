#include "process_census.h"

#include <windows.h>
#include <tlhelp32.h>

namespace Veltrix::testing {

int OpenHandleCount() {
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

int ThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    int n = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) {
        if (e.th32OwnerProcessID == self) ++n;
    }
    CloseHandle(snap);
    return n;
}

long CurrentThreadId() { return static_cast<long>(GetCurrentThreadId()); }

// Windows shows no system call of a thread to itself.
int ThreadBlockedInReceive(long) { return -1; }

}  // namespace Veltrix::testing
