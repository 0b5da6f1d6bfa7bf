// Small per-thread facts the logs need.
#pragma once

#include <cstdint>

namespace Veltrix {

// The operating system's 32-bit identifier of the calling thread.
std::uint32_t CurrentThreadId();

// Names the calling thread for debuggers and crash reports (best effort; long names are cut).
void SetCurrentThreadName(const char* name);

}  // namespace Veltrix
