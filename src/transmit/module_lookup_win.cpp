// Windows module lookup: GetModuleHandleW finds a loaded module by file name
// without loading it or adding a reference.
#include <windows.h>

#include "transmit/module_lookup.h"

namespace Veltrix {
namespace {

class WinModuleLookup final : public ModuleLookup {
public:
    void* FindLoadedExport(const std::u16string& moduleName, const char* exportName) override {
        const std::wstring wide(moduleName.begin(), moduleName.end());
        HMODULE module = GetModuleHandleW(wide.c_str());
        if (!module) return nullptr;
        return reinterpret_cast<void*>(GetProcAddress(module, exportName));
    }
};

}  // namespace

std::unique_ptr<ModuleLookup> MakePlatformModuleLookup() {
    return std::make_unique<WinModuleLookup>();
}

}  // namespace Veltrix
