#include "vx-host/sp_blocks.h"

#include <cstdlib>
#include <cstring>

namespace Veltrix::host::sp {
namespace {
constexpr std::int32_t kNoError = 0;
constexpr std::int32_t kBadParameter = 0x5061726D;   // 'Parm'
constexpr std::int32_t kUnimplemented = 0x21494D50;  // '!IMP'
constexpr std::int32_t kOutOfMemory = -108;          // kSPOutOfMemoryError
}  // namespace

std::int32_t IsEqual(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0 ? 1 : 0; }

std::int32_t AllocateBlock(std::size_t size, void** out) {
    if (!out) return kBadParameter;
    *out = std::malloc(size ? size : 1);
    return *out ? kNoError : kOutOfMemory;
}

std::int32_t FreeBlock(void* block) {
    std::free(block);
    return kNoError;
}

std::int32_t ReallocateBlock(void* block, std::size_t size, void** out) {
    if (!out) return kBadParameter;
    void* grown = std::realloc(block, size ? size : 1);
    if (!grown) return kOutOfMemory;
    *out = grown;
    return kNoError;
}

std::int32_t Undefined() { return kUnimplemented; }

}  // namespace Veltrix::host::sp
