#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "support/process_usage.h"

namespace Veltrix {

bool ReadProcessUsage(ProcessUsage* usage) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return false;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    usage->cpuSeconds = seconds(kernel) + seconds(user);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        usage->peakMemoryMiB = static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
    return true;
}

}  // namespace Veltrix
