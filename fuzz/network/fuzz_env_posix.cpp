#include "fuzz_env.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace Veltrix::fuzzing {

namespace {
std::filesystem::path gTempDir;
}

void KeepFilesInTemp(const char* name) {
    std::error_code ec;
    // A folder per process: parallel jobs of one target would read each other's state files.
    gTempDir = std::filesystem::temp_directory_path(ec) /
               (std::string("vx-fuzz-") + name + "-" + std::to_string(::getpid()));
    const std::filesystem::path& dir = gTempDir;
    std::filesystem::create_directories(dir, ec);
    std::atexit([] {
        std::error_code e;
        std::filesystem::remove_all(gTempDir, e);
    });
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
}

void PumpThreadMessages() {}

}  // namespace Veltrix::fuzzing
