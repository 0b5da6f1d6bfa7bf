#include "tests/testing/test_env.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/paths.h"

namespace Veltrix::testing {

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

std::filesystem::path MakeTempDir(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    const char* base = std::getenv("VX_TEST_TMP");
    std::filesystem::path root =
        (base && *base) ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path dir = root / (prefix + "-" + std::to_string(stamp) + "-" +
                                        std::to_string(counter.fetch_add(1)));
    std::filesystem::create_directories(dir);
    return dir;
}

ScopedTestDirs::ScopedTestDirs() : root_(MakeTempDir("vxdirs")) {
    std::filesystem::create_directories(roaming());
    std::filesystem::create_directories(local());
    SetEnv("XDG_CONFIG_HOME", roaming().string().c_str());
    SetEnv("XDG_STATE_HOME", local().string().c_str());
    SetEnv("APPDATA", roaming().string().c_str());
    SetEnv("LOCALAPPDATA", local().string().c_str());
    OverrideAppSupportBaseForTesting(roaming());
}

ScopedTestDirs::~ScopedTestDirs() {
    OverrideAppSupportBaseForTesting({});
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string ReadFileText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace Veltrix::testing
