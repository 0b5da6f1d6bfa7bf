#include "support/memory.h"

namespace Veltrix {

// The Windows heap gives blocks above its decommit threshold (an encoder's
// frame buffers) back by itself; compacting the host's heap is not ours to do.
void ReturnFreeMemory() {}

}  // namespace Veltrix
