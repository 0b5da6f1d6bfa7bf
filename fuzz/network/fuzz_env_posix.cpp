#include "fuzz_env.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace Veltrix::fuzzing {

void KeepFilesInTemp(const char* name) {
    std::error_code ec;
    // One folder a process: parallel fuzzing jobs must not read each other's files.
    static std::filesystem::path dir;
    dir = std::filesystem::temp_directory_path(ec) /
          (std::string("vx-fuzz-") + name + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir, ec);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
}

void PumpThreadMessages() {}

}  // namespace Veltrix::fuzzing
