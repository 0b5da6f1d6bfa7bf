// What this process has used so far, for the tools' closing reports.
#pragma once

namespace Veltrix {

struct ProcessUsage {
    double cpuSeconds = 0;     // user + system
    double peakMemoryMiB = 0;  // peak resident set
};
// False when the system does not say.
bool ReadProcessUsage(ProcessUsage* usage);

}  // namespace Veltrix
