// The setup window (Win32) or its terminal view (POSIX), opened from the host's
// setup entry. One per process, on a thread of its own; never blocks the caller.
#pragma once

#include "ui/setup_model.h"

namespace Veltrix {

// Opens the view, or brings the open one to the front. The parent window is not
// used: the view has no owner. Returns at once.
void OpenSetupDialog(void* parentWindow, SetupModel::Sources sources);

// Closes the open view, if any, and waits for its thread (module shut-down, tests).
void CloseSetupDialog();

// True while the view is open.
bool SetupDialogOpen();

}  // namespace Veltrix
