// Finds an export of a module that is already loaded in this process, by the
// module's file name. Never loads anything.
#pragma once

#include <memory>
#include <string>

namespace Veltrix {

class ModuleLookup {
public:
    virtual ~ModuleLookup() = default;
    // The address of `exportName` in the loaded module whose file name is
    // `moduleName` (UTF-16), or null when no such module is loaded or it lacks
    // the export.
    virtual void* FindLoadedExport(const std::u16string& moduleName, const char* exportName) = 0;
};

// The platform's lookup: GetModuleHandleW + GetProcAddress on Windows;
// dlopen(RTLD_NOLOAD) + dlsym on POSIX, where a module also matches under the
// same stem with the ".so" extension (the Linux build of a plug-in).
std::unique_ptr<ModuleLookup> MakePlatformModuleLookup();

}  // namespace Veltrix
