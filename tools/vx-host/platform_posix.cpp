#include <dlfcn.h>
#include <sys/resource.h>
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

bool ReadProcessUsage(ProcessUsage* usage) {
    rusage r{};
    if (getrusage(RUSAGE_SELF, &r) != 0) return false;
    usage->cpuSeconds = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                        static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    usage->peakMemoryMiB = static_cast<double>(r.ru_maxrss) / 1024.0;  // kilobytes on Linux
    return true;
}

}  // namespace Veltrix::host
