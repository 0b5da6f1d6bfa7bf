#include "fuzz_env.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace Veltrix::fuzzing {

void KeepFilesInTemp(const char* name) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec) / (std::string("vx-fuzz-") + name);
    std::filesystem::create_directories(dir, ec);
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
}

void PumpThreadMessages() {}

}  // namespace Veltrix::fuzzing
