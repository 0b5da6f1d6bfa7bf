#include <stdlib.h>
#include <unistd.h>

#include "vx-host/terminal.h"

namespace Veltrix::host {
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
void SetEnvironmentMarker(const char* name) { setenv(name, "1", 1); }
}  // namespace Veltrix::host
