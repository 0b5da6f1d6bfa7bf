#include "fuzz_env.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace Veltrix::fuzzing {

void KeepFilesInTemp(const char* name) {
    std::error_code ec;
    // One folder a process: parallel fuzzing jobs must not read each other's files.
    static std::filesystem::path dir;
    dir = std::filesystem::temp_directory_path(ec) /
          (std::string("vx-fuzz-") + name + "-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir, ec);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
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
