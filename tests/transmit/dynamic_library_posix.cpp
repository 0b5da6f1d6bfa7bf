#include <dlfcn.h>

#include "dynamic_library.h"

namespace Veltrix::testing {

DynamicLibrary::DynamicLibrary(const std::filesystem::path& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) error_ = dlerror();
}
DynamicLibrary::~DynamicLibrary() {
    if (handle_) dlclose(handle_);
}
void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

}  // namespace Veltrix::testing
