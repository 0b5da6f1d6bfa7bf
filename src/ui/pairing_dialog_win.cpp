#include "ui/pairing_dialog_win.h"

#include <objbase.h>

#include <system_error>

#include "support/log.h"
#include "support/threads.h"
#include "ui/win_text.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "pair_dialog"};

struct CreateRecord {
    Win32PairingDialog* dialog;
    HFONT codeFont;
    HFONT textFont;
};

LRESULT CALLBACK PairingWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE: {
            const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            return 0;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == kPairingCancel) PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return 0;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY: {
            auto* record = reinterpret_cast<CreateRecord*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (record) {
                if (record->codeFont) DeleteObject(record->codeFont);
                if (record->textFont) DeleteObject(record->textFont);
                record->codeFont = record->textFont = nullptr;
            }
            PostQuitMessage(0);
            return 0;
        }
        default: return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

// Registered once per process and never unregistered: windows of later attempts reuse it.
bool RegisterPairingClass() {
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = PairingWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = kPairingDialogClass;
        if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            Log(kLog, kLogError, "RegisterClassW failed: %lu", GetLastError());
            return false;
        }
        return true;
    }();
    return registered;
}

HFONT MakeFont(int height, int weight, DWORD pitchAndFamily, const wchar_t* face) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, pitchAndFamily, face);
}
}  // namespace

Win32PairingDialog::~Win32PairingDialog() {
    Close();
    if (thread_.joinable()) {
        // Destroyed from its own callback: the thread touches nothing of ours after it, so let it finish alone.
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
    std::lock_guard<std::mutex> lock(cancelMutex_);
    onCancel_ = nullptr;
}

void Win32PairingDialog::Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) {
    // Refused before anything changes: a second Show must not undo an earlier Close.
    if (thread_.joinable()) throw std::system_error(std::make_error_code(std::errc::device_or_resource_busy));
    {
        std::lock_guard<std::mutex> lock(cancelMutex_);
        onCancel_ = std::move(onCancel);
    }
    cancelFired_.store(false);
    closeRequested_.store(false);
    thread_ = std::thread(&Win32PairingDialog::Run, this, code, deviceName);
}

void Win32PairingDialog::Close() {
    if (closeRequested_.exchange(true)) return;
    if (HWND hwnd = window_.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

void Win32PairingDialog::Run(std::string code, std::string deviceName) {
    SetCurrentThreadName("vx-pair-dialog");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const auto finish = [com] {
        if (SUCCEEDED(com)) CoUninitialize();
    };
    if (!RegisterPairingClass()) return finish();

    CreateRecord record{this, MakeFont(-56, FW_BOLD, FIXED_PITCH | FF_MODERN, L"Consolas"),
                        MakeFont(-16, FW_NORMAL, VARIABLE_PITCH | FF_SWISS, L"Segoe UI")};
    const int x = (GetSystemMetrics(SM_CXSCREEN) - kPairingWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kPairingHeight) / 2;
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, kPairingDialogClass, L"Lumenfold \u2014 Pair iPhone",
                                WS_CAPTION | WS_SYSMENU, x, y, kPairingWidth, kPairingHeight, nullptr, nullptr,
                                GetModuleHandleW(nullptr), &record);
    if (!hwnd) {
        Log(kLog, kLogError, "CreateWindowExW failed: %lu", GetLastError());
        DeleteObject(record.codeFont);
        DeleteObject(record.textFont);
        return finish();
    }

    std::string spaced;
    for (char c : code) {
        if (!spaced.empty()) spaced += ' ';
        spaced += c;
    }
    const std::wstring prompt = Utf8ToWide("Enter this code on " + (deviceName.empty() ? std::string("iPhone") : deviceName) + ":");
    struct Child {
        int id;
        const wchar_t* cls;
        std::wstring text;
        DWORD style;
        RECT r;
        HFONT font;
    };
    const DWORD stat = WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX;
    const Child children[] = {
        {kPairingPrompt, L"STATIC", prompt, stat, {10, 20, 384, 24}, record.textFont},
        {kPairingCode, L"STATIC", Utf8ToWide(spaced), stat, {10, 60, 384, 80}, record.codeFont},
        {kPairingNote, L"STATIC",
         note_.empty() ? std::wstring(L"This window closes automatically when pairing completes.") : Utf8ToWide(note_),
         stat, {10, 155, 384, 20}, record.textFont},
        {kPairingCancel, L"BUTTON", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, {160, 185, 100, 30},
         record.textFont},
    };
    for (const Child& c : children) {
        HWND child = CreateWindowExW(0, c.cls, c.text.c_str(), c.style, c.r.left, c.r.top, c.r.right, c.r.bottom, hwnd,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), GetModuleHandleW(nullptr),
                                     nullptr);
        if (child) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(c.font), TRUE);
    }

    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    window_.store(hwnd);
    // A Close() that came before the window existed found nothing to post to.
    if (closeRequested_.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    window_.store(nullptr);

    std::function<void()> cancel;
    if (!closeRequested_.load() && !cancelFired_.exchange(true)) {
        std::lock_guard<std::mutex> lock(cancelMutex_);
        cancel = onCancel_;
    }
    // Nothing of this object is touched after the callback: it may destroy the dialog.
    if (cancel) cancel();
    finish();
}

std::unique_ptr<IPairingDialog> CreatePairingDialog() { return std::make_unique<Win32PairingDialog>(); }

}  // namespace Veltrix
