// POSIX module lookup: a loaded object matches by its file name, or by the
// same stem with ".so" (how the plug-ins are built on Linux). The handle comes
// from dlopen(RTLD_NOLOAD), which never loads, and is closed again at once;
// the module stays loaded by whoever loaded it.
#include <dlfcn.h>
#include <link.h>

#include <string>
#include <vector>

#include "transmit/module_lookup.h"

namespace Veltrix {
namespace {

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string BaseName(const char* path) {
    std::string p = path ? path : "";
    const auto cut = p.rfind('/');
    return cut == std::string::npos ? p : p.substr(cut + 1);
}

struct Search {
    std::vector<std::string> names;
    std::string foundPath;
};

int Visit(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    const std::string base = BaseName(info->dlpi_name);
    for (const auto& n : search->names) {
        if (base == n) {
            search->foundPath = info->dlpi_name;
            return 1;
        }
    }
    return 0;
}

class PosixModuleLookup final : public ModuleLookup {
public:
    void* FindLoadedExport(const std::u16string& moduleName, const char* exportName) override {
        Search search;
        const std::string name = Narrow(moduleName);
        search.names.push_back(name);
        const auto dot = name.rfind('.');
        if (dot != std::string::npos && name.substr(dot) != ".so") {
            search.names.push_back(name.substr(0, dot) + ".so");
        }
        dl_iterate_phdr(&Visit, &search);
        if (search.foundPath.empty()) return nullptr;
        void* handle = dlopen(search.foundPath.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!handle) return nullptr;
        void* symbol = dlsym(handle, exportName);
        dlclose(handle);
        return symbol;
    }
};

}  // namespace

std::unique_ptr<ModuleLookup> MakePlatformModuleLookup() {
    return std::make_unique<PosixModuleLookup>();
}

}  // namespace Veltrix
