#include <windows.h>

#include <string>

#include "support/threads.h"

namespace Veltrix {

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(GetCurrentThreadId()); }

void SetCurrentThreadName(const char* name) {
    if (!name) return;
    // SetThreadDescription exists from Windows 10 1607; look it up so older systems still load us.
    using SetDescFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto fn = reinterpret_cast<SetDescFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (!fn) return;
    std::wstring w;
    for (const char* p = name; *p; ++p) w.push_back(static_cast<unsigned char>(*p));
    fn(GetCurrentThread(), w.c_str());
}

}  // namespace Veltrix
