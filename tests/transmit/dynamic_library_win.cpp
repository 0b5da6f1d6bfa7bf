#include <windows.h>

#include "dynamic_library.h"

namespace Veltrix::testing {

DynamicLibrary::DynamicLibrary(const std::filesystem::path& path) {
    handle_ = reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
    if (!handle_) error_ = "LoadLibraryW failed: " + std::to_string(GetLastError());
}
DynamicLibrary::~DynamicLibrary() {
    if (handle_) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
}
void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name))
                   : nullptr;
}

}  // namespace Veltrix::testing
