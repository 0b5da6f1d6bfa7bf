#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vx-host/platform.h"

namespace Veltrix::host {
namespace {

class PosixLibrary final : public PluginLibrary {
public:
    explicit PosixLibrary(void* h) : handle_(h) {}
    ~PosixLibrary() override { dlclose(handle_); }
    void* Symbol(const char* name) override { return dlsym(handle_, name); }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<PluginLibrary> LoadPluginLibrary(const std::filesystem::path& path, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        if (error) *error = dlerror();
        return nullptr;
    }
    return std::make_unique<PosixLibrary>(h);
}

std::filesystem::path SelfExecutablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : p;
}

const char* DefaultPluginFileName() { return "Veltrix.so"; }
const char* DefaultCtrlFileName() { return "VeltrixCtrl.so"; }

int ReexecAs(const std::string& executableName, const std::vector<std::string>& args, std::string* error) {
    // Host detection reads argv[0], so the same binary runs under the host's name.
    std::vector<std::string> all;
    all.push_back(executableName);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    if (error) *error = std::string("execv failed: ") + std::strerror(errno);
    return -1;
}

}  // namespace Veltrix::host
