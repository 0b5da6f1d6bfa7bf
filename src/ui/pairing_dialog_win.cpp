// The Win32 window arrives with the setup UI; until then pairing runs headless.
#include "ui/pairing_dialog.h"

namespace Veltrix {

std::unique_ptr<IPairingDialog> CreatePairingDialog() { return nullptr; }

}  // namespace Veltrix
