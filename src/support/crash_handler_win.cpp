// Windows crash handler: a vectored handler that logs fatal-looking exceptions
// as they are raised (handled later or not), and an unhandled-exception filter
// that writes a minidump and then defers to the filter that was there before.
#include <windows.h>
#include <dbghelp.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "support/crash_handler.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kCrashLog{kLogSubsystem, "crash"};

std::atomic<bool> gInstalled{false};
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;

constexpr DWORD kStackOverflow = 0xC00000FD;
constexpr DWORD kIllegalInstruction = 0xC000001D;
constexpr DWORD kIntDivideByZero = 0xC0000094;
constexpr DWORD kHeapCorruption = 0xC0000374;

LONG CALLBACK VectoredHandler(EXCEPTION_POINTERS* info) {
    if (!info || !info->ExceptionRecord) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == kStackOverflow) {
        // No logging, no allocation: the stack is exhausted.
        OutputDebugStringA("[Veltrix][VEH] STACK_OVERFLOW — minidump has context\n");
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (code != EXCEPTION_ACCESS_VIOLATION && code != kIllegalInstruction && code != kIntDivideByZero &&
        code != kHeapCorruption) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    void* addr = info->ExceptionRecord->ExceptionAddress;
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    std::size_t offset = 0;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(addr), &module) &&
        module) {
        char path[MAX_PATH] = {};
        if (GetModuleFileNameA(module, path, MAX_PATH) > 0) {
            const char* base = path;
            for (const char* p = path; *p; ++p) {
                if (*p == '\\' || *p == '/') base = p + 1;
            }
            std::snprintf(name, sizeof name, "%s", base);
        }
        offset = static_cast<std::size_t>(static_cast<const char*>(addr) - reinterpret_cast<const char*>(module));
    }
    Log(kCrashLog, kLogFault, "[VEH] fatal exception code=0x%08lX addr=%p module=%s+0x%zx tid=%lu",
        static_cast<unsigned long>(code), addr, name, offset, static_cast<unsigned long>(GetCurrentThreadId()));
    return EXCEPTION_CONTINUE_SEARCH;
}

std::wstring DumpFolder() {
    PWSTR known = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)) && known) {
        folder = known;
    }
    CoTaskMemFree(known);
    if (folder.empty()) return L".";
    folder += L"\\Veltrix";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\crashes";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* info) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t name[96];
    swprintf(name, 96, L"\\%04u-%02u-%02u_%02u-%02u-%02u_%lu.dmp", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, static_cast<unsigned long>(GetCurrentProcessId()));
    const std::wstring path = DumpFolder() + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION mei{};
        mei.ThreadId = GetCurrentThreadId();
        mei.ExceptionPointers = info;
        mei.ClientPointers = FALSE;
        const BOOL ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                          static_cast<MINIDUMP_TYPE>(0x1125), &mei, nullptr, nullptr);
        CloseHandle(file);
        const std::wstring line = std::wstring(ok ? L"[Veltrix] crash dump: " : L"[Veltrix] crash dump WRITE FAILED at: ") + path + L"\n";
        OutputDebugStringW(line.c_str());
    }
    if (gPreviousFilter) return gPreviousFilter(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallCrashHandler() {
    bool expected = false;
    if (!gInstalled.compare_exchange_strong(expected, true)) return;
    AddVectoredExceptionHandler(1, VectoredHandler);
    gPreviousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
    Log(kCrashLog, kLogInfo, "crash handler installed (dumps → %%LOCALAPPDATA%%\\Veltrix\\crashes\\, + VEH diagnostic)");
}

}  // namespace Veltrix
