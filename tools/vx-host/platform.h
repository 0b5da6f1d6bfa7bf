// What vx-host needs from the operating system: the platform loader, its own
// path, and re-running itself under another executable name.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Veltrix::host {

class PluginLibrary {
public:
    virtual ~PluginLibrary() = default;
    virtual void* Symbol(const char* name) = 0;
};

// Loads the library with the platform loader (dlopen / LoadLibraryW). On failure
// returns null and sets *error to the loader's message.
std::unique_ptr<PluginLibrary> LoadPluginLibrary(const std::filesystem::path& path, std::string* error);

// The running executable's full path.
std::filesystem::path SelfExecutablePath();

// The plug-in file name on this platform: "Veltrix.so" or "Veltrix.prm".
const char* DefaultPluginFileName();
// The control surface's file name: "VeltrixCtrl.so" or "VeltrixCtrl.acsrf".
const char* DefaultCtrlFileName();

// Runs this program again as `executableName` with `args` (argv[1..]) and
// returns its exit status; on POSIX the process image is replaced and this
// returns only on failure (-1, with *error set).
int ReexecAs(const std::string& executableName, const std::vector<std::string>& args, std::string* error);

}  // namespace Veltrix::host
