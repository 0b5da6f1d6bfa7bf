#include "fuzz_env.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace Veltrix::fuzzing {

namespace {
std::filesystem::path gTempDir;
}

void KeepFilesInTemp(const char* name) {
    std::error_code ec;
    // A folder per process: parallel jobs of one target would read each other's state files.
    gTempDir = std::filesystem::temp_directory_path(ec) /
               (std::string("vx-fuzz-") + name + "-" + std::to_string(GetCurrentProcessId()));
    const std::filesystem::path& dir = gTempDir;
    std::filesystem::create_directories(dir, ec);
    std::atexit([] {
        std::error_code e;
        std::filesystem::remove_all(gTempDir, e);
    });
    _wputenv_s(L"LOCALAPPDATA", dir.c_str());
    _wputenv_s(L"APPDATA", dir.c_str());
}

void PumpThreadMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace Veltrix::fuzzing
