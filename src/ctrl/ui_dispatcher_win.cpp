// The dispatcher as a message-only window on the thread that connected the
// surface: the host's message loop on that thread runs the posted work.
#include <windows.h>

#include <mutex>

#include "ctrl/ui_dispatcher.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "ctrl"};
constexpr UINT kRunMessage = WM_APP + 0x10;  // 0x8010
constexpr const wchar_t* kClassName = L"VeltrixCtrlUiDispatcher";

std::mutex gMutex;  // guards gWindow
HWND gWindow = nullptr;

struct Holder {
    UiWork work;
};

void FreeHolder(Holder* h) noexcept {
    try {
        delete h;
    } catch (...) {
        Log(kLog, kLogError, "ctrl: UI-thread callable threw");
    }
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kRunMessage) return DefWindowProcW(hwnd, msg, wParam, lParam);
    Log(kLog, kLogInfo, "ctrl: WndProc firing on thread=%lu fg=%p", GetCurrentThreadId(),
        static_cast<void*>(GetForegroundWindow()));
    if (lParam == 0) return 0;
    auto* holder = reinterpret_cast<Holder*>(lParam);
    RunUiWork(holder->work);
    FreeHolder(holder);
    return 0;
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&WndProc), &module);
    return module;
}

}  // namespace

bool UiDispatcherInstall() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gWindow) {
        Log(kLog, kLogInfo, "ctrl: UI-dispatcher already installed");
        return true;
    }
    Log(kLog, kLogInfo, "ctrl: Install on thread=%lu", GetCurrentThreadId());
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WndProc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc)) {
        const DWORD err = GetLastError();
        if (err != ERROR_CLASS_ALREADY_EXISTS) {
            Log(kLog, kLogError, "ctrl: RegisterClassEx failed err=%lu", err);
            return false;
        }
    }
    HWND hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (!hwnd) {
        Log(kLog, kLogError, "ctrl: CreateWindowEx(HWND_MESSAGE) failed err=%lu", GetLastError());
        return false;
    }
    gWindow = hwnd;
    Log(kLog, kLogInfo, "ctrl: UI-dispatcher installed hwnd=%p", static_cast<void*>(hwnd));
    return true;
}

bool UiDispatcherPost(UiWork work) {
    HWND hwnd = nullptr;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        hwnd = gWindow;
    }
    if (!hwnd) {
        work = nullptr;
        return false;
    }
    auto* holder = new Holder{std::move(work)};
    if (!PostMessageW(hwnd, kRunMessage, 0, reinterpret_cast<LPARAM>(holder))) {
        Log(kLog, kLogError, "ctrl: PostMessage failed err=%lu", GetLastError());
        FreeHolder(holder);
        return false;
    }
    return true;
}

void UiDispatcherTearDown() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gWindow) return;
    MSG msg;
    while (PeekMessageW(&msg, gWindow, kRunMessage, kRunMessage, PM_REMOVE)) {
        if (msg.lParam) FreeHolder(reinterpret_cast<Holder*>(msg.lParam));
    }
    DestroyWindow(gWindow);
    gWindow = nullptr;
    Log(kLog, kLogInfo, "ctrl: UI-dispatcher torn down");
}

}  // namespace Veltrix
