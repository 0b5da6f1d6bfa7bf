#include <windows.h>

#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "vx-host/terminal.h"

namespace Veltrix::host {
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
void SetEnvironmentMarker(const char* name) {
    _putenv_s(name, "1");
    SetEnvironmentVariableA(name, "1");
}
}  // namespace Veltrix::host
