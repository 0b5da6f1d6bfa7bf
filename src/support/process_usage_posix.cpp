#include <sys/resource.h>

#include "support/process_usage.h"

namespace Veltrix {

bool ReadProcessUsage(ProcessUsage* usage) {
    rusage r{};
    if (getrusage(RUSAGE_SELF, &r) != 0) return false;
    usage->cpuSeconds = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                        static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    usage->peakMemoryMiB = static_cast<double>(r.ru_maxrss) / 1024.0;  // kilobytes on Linux
    return true;
}

}  // namespace Veltrix
