// No host window to type into on this platform.
#include "ctrl/host_window.h"

namespace Veltrix {

bool PostPlayKeyToHostWindow(const PlayPauseWork&) { return false; }

}  // namespace Veltrix
