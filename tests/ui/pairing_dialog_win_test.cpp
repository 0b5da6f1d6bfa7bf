// The pairing window on a real Win32 window station (Wine in CI): its look,
// and who ends it.
#include "ui/pairing_dialog_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "tests/ui/screenshot_win.h"

namespace Veltrix {
namespace {

std::wstring TextOf(HWND hwnd) {
    wchar_t buf[256] = {};
    GetWindowTextW(hwnd, buf, 256);
    return buf;
}

std::wstring FontFace(HWND control) {
    LOGFONTW lf{};
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (!font || !GetObjectW(font, sizeof lf, &lf)) return L"";
    return lf.lfFaceName + std::wstring(L"/") + std::to_wstring(lf.lfHeight) + L"/" + std::to_wstring(lf.lfWeight);
}

HWND WaitForWindow(const Win32PairingDialog& d) {
    HWND hwnd = nullptr;
    testing::Eventually([&] { return (hwnd = d.Window()) != nullptr; });
    return hwnd;
}

class PairingWindow : public ::testing::Test {
protected:
    testing::ScopedTestDirs dirs_;
};

TEST_F(PairingWindow, ShowsTheSpacedCodeInATopmostCentredWindow) {
    Win32PairingDialog dialog;
    std::atomic<int> cancels{0};
    dialog.Show("407135", "", [&] { ++cancels; });
    HWND hwnd = WaitForWindow(dialog);
    ASSERT_NE(hwnd, nullptr);
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    EXPECT_STREQ(cls, kPairingDialogClass);
    EXPECT_EQ(TextOf(hwnd), L"Lumenfold \u2014 Pair iPhone");
    RECT r{};
    GetWindowRect(hwnd, &r);
    EXPECT_EQ(r.right - r.left, 420);
    EXPECT_EQ(r.bottom - r.top, 260);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 420) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 260) / 2);
    EXPECT_TRUE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kPairingPrompt)), L"Enter this code on iPhone:");
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kPairingCode)), L"4 0 7 1 3 5");
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kPairingNote)), L"This window closes automatically when pairing completes.");
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kPairingCancel)), L"Cancel");
    RECT client{};
    GetClientRect(hwnd, &client);
    testing::SaveText("pairing-client.txt", std::to_string(client.right) + "x" + std::to_string(client.bottom));
    testing::SaveScreenshot(hwnd, "pairing");
    EXPECT_EQ(FontFace(GetDlgItem(hwnd, kPairingCode)), L"Consolas/-56/700");
    EXPECT_EQ(FontFace(GetDlgItem(hwnd, kPairingPrompt)), L"Segoe UI/-16/400");
    RECT b{};
    GetWindowRect(GetDlgItem(hwnd, kPairingCancel), &b);
    POINT p{b.left, b.top};
    ScreenToClient(hwnd, &p);
    EXPECT_EQ(p.x, 160);
    EXPECT_EQ(p.y, 185);
    EXPECT_EQ(b.right - b.left, 100);
    dialog.Close();
    EXPECT_TRUE(testing::Eventually([&] { return dialog.Window() == nullptr; }));
    EXPECT_EQ(cancels.load(), 0);
}

TEST_F(PairingWindow, CancelCallsBackOnceAndALaterCloseDoesNothing) {
    auto dialog = std::make_unique<Win32PairingDialog>();
    std::atomic<int> cancels{0};
    dialog->Show("123456", "Anna's iPhone", [&] { ++cancels; });
    HWND hwnd = WaitForWindow(*dialog);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kPairingPrompt)), L"Enter this code on Anna's iPhone:");
    SendMessageW(GetDlgItem(hwnd, kPairingCancel), BM_CLICK, 0, 0);
    EXPECT_TRUE(testing::Eventually([&] { return cancels.load() == 1; }));
    dialog->Close();
    dialog.reset();
    EXPECT_EQ(cancels.load(), 1);
}

TEST_F(PairingWindow, TheCloseBoxCancelsTooButCloseAndTheDestructorNever) {
    std::atomic<int> cancels{0};
    {
        Win32PairingDialog dialog;
        dialog.Show("123456", "P", [&] { ++cancels; });
        HWND hwnd = WaitForWindow(dialog);
        ASSERT_NE(hwnd, nullptr);
        PostMessageW(hwnd, WM_CLOSE, 0, 0);  // what the close box sends
        EXPECT_TRUE(testing::Eventually([&] { return cancels.load() == 1; }));
    }
    {
        Win32PairingDialog early;  // Close before the window exists: it opens and closes by itself
        early.Show("123456", "P", [&] { ++cancels; });
        early.Close();
    }
    {
        Win32PairingDialog open;  // destroyed while open: closed and joined
        open.Show("123456", "P", [&] { ++cancels; });
        ASSERT_NE(WaitForWindow(open), nullptr);
    }
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_EQ(FindWindowW(kPairingDialogClass, nullptr), nullptr);
}

TEST(PairingDialog, WindowsHasTheWin32Window) {
    auto dialog = CreatePairingDialog();
    EXPECT_NE(dynamic_cast<Win32PairingDialog*>(dialog.get()), nullptr);
}

}  // namespace
}  // namespace Veltrix
