// The five slots of the SP basic suite that are the same for every host table
// vx-host serves (slots 2 to 6 of SPBasicSuite, SPBasic.h): string compare and
// memory blocks. The transmit and control-surface hosts add their own acquire
// and release.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Veltrix::host::sp {

std::int32_t IsEqual(const char* a, const char* b);                          // SPBoolean: 1 when equal
std::int32_t AllocateBlock(std::size_t size, void** out);                    // kSPOutOfMemoryError when none
std::int32_t FreeBlock(void* block);
std::int32_t ReallocateBlock(void* block, std::size_t size, void** out);
std::int32_t Undefined();                                                    // '!IMP'

}  // namespace Veltrix::host::sp
