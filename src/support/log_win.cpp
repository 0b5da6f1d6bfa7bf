#include <windows.h>

#include "support/log.h"

namespace Veltrix::platform {

void DebuggerOutput(const char* line) { OutputDebugStringA(line); }

void AppendFile(const std::filesystem::path& path, const char* data, std::size_t size) {
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(h);
}

}  // namespace Veltrix::platform
