// The setup window on a real Win32 window station (Wine in CI).
#include "ui/setup_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "tests/ui/screenshot_win.h"
#include "ui/qr_bitmap_win.h"
#include "ui/setup_dialog_win.h"

namespace Veltrix {
namespace {

std::wstring TextOf(HWND hwnd) {
    wchar_t buf[512] = {};
    GetWindowTextW(hwnd, buf, 512);
    return buf;
}

SIZE ClientSize(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return {r.right, r.bottom};
}

int CountSetupWindows() {
    int n = 0;
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            wchar_t cls[64] = {};
            GetClassNameW(hwnd, cls, 64);
            if (std::wstring(cls) == kSetupDialogClass) ++*reinterpret_cast<int*>(p);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&n));
    return n;
}

TEST(SetupWindow, OpensCollapsedWithItsTextsExpandsAndComesToTheFrontWhenOpenedAgain) {
    testing::ScopedTestDirs dirs;
    UpsertPeer({"phone-1", "Anna's iPhone", std::string(64, 'a'), "2026-12-01T10:00:00Z"});
    SetupModel::Sources sources;
    sources.adapters = [] { return std::vector<AdapterAddress>{{"Ethernet", "10.1.2.3"}}; };
    sources.status = [] {
        SetupStatusSnapshot s;
        s.active = true;
        return s;
    };
    sources.controlPort = 47100;
    OpenSetupDialog(nullptr, sources);
    HWND hwnd = nullptr;
    ASSERT_TRUE(testing::Eventually([&] { hwnd = FindWindowW(kSetupDialogClass, L"Lumenfold");
        return hwnd != nullptr && IsWindowVisible(hwnd);  // shown once fully built
    }));
    EXPECT_TRUE(SetupDialogOpen());
    EXPECT_EQ(ClientSize(hwnd).cx, kSetupClientWidth);
    EXPECT_EQ(ClientSize(hwnd).cy, kSetupCollapsedHeight);
    const InstallIdentity id = LoadOrCreateIdentity();
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupInstanceId)), L"Instance ID: " + std::wstring(id.id.begin(), id.id.end()));
    EXPECT_TRUE(testing::Eventually([&] { return TextOf(GetDlgItem(hwnd, kSetupDeviceStatus)) == L"Ready \u00b7 waiting for iPhone"; }));
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupRowIp)), L"10.1.2.3");
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupAdvanced)), L"\u25B6  Advanced info");
    ASSERT_NE(GetDlgItem(hwnd, kSetupForgetFirst), nullptr);
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupForgetFirst)), L"Forget");
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(hwnd, kSetupRowIp)));
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, kSetupDiscoverable), BM_GETCHECK, 0, 0), BST_CHECKED);
    BITMAP bm{};
    auto qr = reinterpret_cast<HBITMAP>(SendMessageW(GetDlgItem(hwnd, kSetupQrImage), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(qr, nullptr);
    ASSERT_TRUE(GetObjectW(qr, sizeof bm, &bm));
    EXPECT_EQ(bm.bmWidth, 200);
    testing::SaveText("setup-address.txt", PairingAddress(id));
    testing::SaveScreenshot(hwnd, "setup-collapsed");

    SendMessageW(GetDlgItem(hwnd, kSetupAdvanced), BM_CLICK, 0, 0);
    EXPECT_EQ(ClientSize(hwnd).cy, kSetupExpandedHeight) << GetSystemMetrics(SM_CXSCREEN) << "x" << GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupAdvanced)), L"\u25BC  Advanced info");
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(hwnd, kSetupRowIp)));
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupRowPorts)), L"47100 control \u00b7 47101 video \u00b7 47102 audio");
    SetWindowPos(hwnd, nullptr, 20, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);  // all of it on the 1200-pixel desktop
    testing::SaveScreenshot(hwnd, "setup-expanded");

    SendMessageW(GetDlgItem(hwnd, kSetupDiscoverable), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsDiscoverable());
    SetWindowTextW(GetDlgItem(hwnd, kSetupNameEdit), L"Bay 2");
    SendMessageW(GetDlgItem(hwnd, kSetupSave), BM_CLICK, 0, 0);
    EXPECT_EQ(LoadOrCreateIdentity().name, "Bay 2");

    OpenSetupDialog(nullptr, sources);  // a second open raises the first window
    EXPECT_EQ(FindWindowW(kSetupDialogClass, nullptr), hwnd);
    EXPECT_EQ(CountSetupWindows(), 1);

    CloseSetupDialog();
    EXPECT_FALSE(SetupDialogOpen());
    EXPECT_EQ(FindWindowW(kSetupDialogClass, nullptr), nullptr);
}

// Every trusted phone can be seen and forgotten inside the card: three rows a
// page, paged from the header line.
TEST(SetupWindow, TrustedPhonesBeyondTheCardArePaged) {
    testing::ScopedTestDirs dirs;
    for (int i = 0; i < 7; ++i) UpsertPeer({"phone-" + std::to_string(i), "Phone " + std::to_string(i), std::string(64, 'a'), ""});
    SetupModel::Sources sources;
    sources.adapters = [] { return std::vector<AdapterAddress>{}; };
    sources.controlPort = 47100;
    OpenSetupDialog(nullptr, sources);
    HWND hwnd = nullptr;
    ASSERT_TRUE(testing::Eventually([&] {
        hwnd = FindWindowW(kSetupDialogClass, L"Lumenfold");
        return hwnd != nullptr && IsWindowVisible(hwnd);
    }));
    const auto forget = [&](int row) { return GetDlgItem(hwnd, kSetupForgetFirst + 10 * row); };
    const auto insideTheCard = [&](HWND c) {
        RECT r{};
        GetWindowRect(c, &r);
        MapWindowPoints(HWND_DESKTOP, hwnd, reinterpret_cast<POINT*>(&r), 2);
        return IsWindowVisible(c) && r.top >= 306 && r.bottom <= 466;
    };
    HWND next = GetDlgItem(hwnd, kSetupPeersNext);
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(IsWindowVisible(next));
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupPeersPage)), L"1\u20133 of 7");
    EXPECT_TRUE(insideTheCard(forget(2)));
    EXPECT_EQ(forget(3), nullptr);
    SendMessageW(next, BM_CLICK, 0, 0);
    SendMessageW(next, BM_CLICK, 0, 0);
    EXPECT_EQ(TextOf(GetDlgItem(hwnd, kSetupPeersPage)), L"7\u20137 of 7");
    EXPECT_TRUE(insideTheCard(forget(6)));
    EXPECT_EQ(forget(2), nullptr);
    EXPECT_FALSE(IsWindowEnabled(next));
    SendMessageW(GetDlgItem(hwnd, kSetupPeersPrevious), BM_CLICK, 0, 0);
    EXPECT_TRUE(insideTheCard(forget(3)));
    CloseSetupDialog();
}

TEST(QrBitmap, HoldsTheSamePixelsAsTheRgbaRendering) {
    const QrCode code = EncodeQrText(std::string(20, 'q'));  // version 3: scale 6, offset 1 at 200 pixels
    HBITMAP bitmap = RenderQrToBitmap(code, 200);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBm.bmWidth, 200);
    EXPECT_EQ(dib.dsBm.bmHeight, 200);
    EXPECT_EQ(dib.dsBm.bmBitsPixel, 32);
    const RgbaImage image = RenderQrToRgba(code, 200);
    const auto* bits = static_cast<const std::uint8_t*>(dib.dsBm.bmBits);
    EXPECT_EQ(std::vector<std::uint8_t>(bits, bits + image.pixels.size()), image.pixels);
    EXPECT_EQ(bits[(13 * 200 + 13) * 4], 0);  // module (0, 0) dark
    EXPECT_EQ(bits[(13 * 200 + 12) * 4], 255);
    DeleteObject(bitmap);
    EXPECT_EQ(RenderQrToBitmap(code, code.size + 3), nullptr);
    EXPECT_EQ(RenderQrToBitmap(QrCode{}, 200), nullptr);
}

TEST(SetupWindow, ClosedRightAfterOpening) {
    testing::ScopedTestDirs dirs;
    OpenSetupDialog(nullptr, {});
    CloseSetupDialog();  // before the window exists: it closes once it does
    EXPECT_FALSE(SetupDialogOpen());
    EXPECT_EQ(FindWindowW(kSetupDialogClass, nullptr), nullptr);
}

}  // namespace
}  // namespace Veltrix
