// Play through the host's own Space shortcut: find the host's main window in
// this process, bring it forward, focus its monitor child and post Space; a
// host that was in the background gets one more Space 250 ms later unless it
// reports playing by then.
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ctrl/host_window.h"
#include "ctrl/ui_dispatcher.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "ctrl"};
constexpr LPARAM kSpaceDown = 0x00390001;
constexpr LPARAM kSpaceUp = static_cast<LPARAM>(0xC0390001u);

struct MainSearch {
    HWND first = nullptr;
    HWND premiere = nullptr;
};

BOOL CALLBACK VisitTopLevel(HWND hwnd, LPARAM data) {
    auto* s = reinterpret_cast<MainSearch*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER)) return TRUE;
    if (!s->first) s->first = hwnd;
    wchar_t title[128] = {};
    GetWindowTextW(hwnd, title, 128);
    if (std::wstring(title).find(L"Premiere") != std::wstring::npos) {
        s->premiere = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK VisitChild(HWND hwnd, LPARAM data) {
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (std::wstring(cls) == L"DroverLord - Window Class" && IsWindowVisible(hwnd)) {
        *reinterpret_cast<HWND*>(data) = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::string Ansi(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

void PostSpace(HWND target) {
    PostMessageW(target, WM_KEYDOWN, VK_SPACE, kSpaceDown);
    PostMessageW(target, WM_KEYUP, VK_SPACE, kSpaceUp);
}

void WarmUpRetry(const std::shared_ptr<TransportCtx>& ctx, HWND target) {
    const HostCallScope inHost(*ctx);  // counted, not locked: the host may need this thread
    std::uint8_t state = 0;
    // A host may leave any slot of its suite empty.
    if (ctx->connected.load() && ctx->transportSuite && ctx->transportSuite->GetPlayState && ctx->transportRef) {
        ctx->transportSuite->GetPlayState(ctx->transportRef, &state);
    }
    if (state != 1 && IsWindow(target)) {
        PostSpace(target);
        Log(kLog, kLogInfo, "ctrl: play[ui]: warm-up retry VK_SPACE");
    } else {
        Log(kLog, kLogInfo, "ctrl: play[ui]: warm-up retry skipped state=%d", static_cast<int>(state));
    }
}

}  // namespace

bool PostPlayKeyToHostWindow(const PlayPauseWork& work) {
    MainSearch search;
    EnumWindows(&VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    HWND main = search.premiere ? search.premiere : search.first;
    if (!main) return false;

    HWND target = nullptr;
    EnumChildWindows(main, &VisitChild, reinterpret_cast<LPARAM>(&target));
    if (!target) target = main;

    wchar_t cls[128] = {};
    wchar_t title[256] = {};
    GetClassNameW(target, cls, 128);
    GetWindowTextW(target, title, 256);
    const std::string clsText = Ansi(cls);
    const std::string titleText = Ansi(title);

    const bool wasFg = GetForegroundWindow() == main;
    if (!wasFg) {
        PostMessageW(main, WM_ACTIVATEAPP, 1, static_cast<LPARAM>(GetWindowThreadProcessId(main, nullptr)));
        PostMessageW(main, WM_ACTIVATE, WA_ACTIVE, 0);
    }
    const DWORD targetThread = GetWindowThreadProcessId(target, nullptr);
    const DWORD self = GetCurrentThreadId();
    if (targetThread == self) {
        SetFocus(target);
    } else if (targetThread != 0) {
        AttachThreadInput(self, targetThread, TRUE);
        SetFocus(target);
        AttachThreadInput(self, targetThread, FALSE);
    }
    PostSpace(target);
    Log(kLog, kLogInfo, "ctrl: play[ui]: PostMessage VK_SPACE target=%p class=\"%s\" title=\"%s\" main=%p wasFg=%d",
        static_cast<void*>(target), clsText.c_str(), titleText.c_str(), static_cast<void*>(main), wasFg ? 1 : 0);

    if (!wasFg) {
        // Detached: it ends after its single post and holds only a weak reference.
        std::weak_ptr<TransportCtx> weak = work.ctx;
        std::thread([weak, target] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            std::shared_ptr<TransportCtx> ctx = weak.lock();
            if (!ctx || !ctx->connected.load()) return;
            UiDispatcherPost([ctx, target] { WarmUpRetry(ctx, target); });
        }).detach();
    }
    return true;
}

}  // namespace Veltrix
