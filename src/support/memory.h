// The allocator's free memory, back to the system.
#pragma once

namespace Veltrix {

// Called once an encoder's large buffers are gone: the plug-in stays loaded
// all day, and without it the process would keep the high-water mark of every
// encoder it ever built (glibc keeps freed pages in its arenas). Takes a few
// milliseconds: call it outside any lock the frame path takes.
void ReturnFreeMemory();

}  // namespace Veltrix
