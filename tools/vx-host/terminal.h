// Small process-environment helpers of vx-host.
#pragma once

namespace Veltrix::host {
bool StderrIsTerminal();
// Sets NAME=1 in this process's environment (inherited by a re-executed copy).
void SetEnvironmentMarker(const char* name);
}  // namespace Veltrix::host
