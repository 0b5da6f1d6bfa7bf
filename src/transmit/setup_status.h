// The setup window fed from this process's shared transport.
#pragma once

#include "ui/setup_model.h"

namespace Veltrix {

// The status the setup window shows, taken through the transport's own locks.
SetupStatusSnapshot TakeSetupStatus();

// Opens (or raises) the setup window of the module's setup entry.
void OpenSetupWindow(void* parentWindow);
// Closes it and waits for its thread.
void CloseSetupWindow();

}  // namespace Veltrix
