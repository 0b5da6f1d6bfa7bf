// The host's main window, for a play that must go through its keyboard
// shortcut. Windows finds the window, brings it forward, posts Space and
// arms the warm-up retry; other platforms have no host window.
#pragma once

#include "ctrl/transport_ctx.h"

namespace Veltrix {

// Called inside a HostCallScope. False when no host window was found (the
// caller then plays by command).
bool PostPlayKeyToHostWindow(const PlayPauseWork& work);

}  // namespace Veltrix
