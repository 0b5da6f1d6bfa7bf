// The setup window: dark Win32 window with the QR code, identity, toggles,
// trusted phones and the live status panel, on a UI thread of its own.
#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>
#include <objbase.h>
#include <gdiplus.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"
#include "support/threads.h"
#include "ui/qr_bitmap_win.h"
#include "ui/setup_dialog.h"
#include "ui/setup_dialog_win.h"
#include "ui/win_text.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "setup_dialog"};

constexpr COLORREF kBackground = RGB(28, 28, 30);
constexpr COLORREF kCard = RGB(44, 44, 46);
constexpr COLORREF kEditBackground = RGB(58, 58, 62);
constexpr COLORREF kPrimary = RGB(235, 235, 245);
constexpr COLORREF kSecondary = RGB(155, 155, 165);
constexpr COLORREF kMuted = RGB(105, 105, 115);
constexpr COLORREF kError = RGB(255, 69, 58);

// Colour tags in a static's user data.
enum Tag : LONG_PTR { kTagHeader = 10, kTagRowName = 11, kTagSubHeader = 12, kTagIcon = 13, kTagFootnote = 14 };

enum Font { kFontTitle, kFontBody, kFontSection, kFontValue, kFontValueBold, kFontSmall, kFontMono, kFontFootnote,
            kFontIcon, kFontButton, kFontCount };

enum Card { kCardQr, kCardDevice, kCardTrusted, kCardStream, kCardNetwork, kCardCount };
constexpr RECT kCards[kCardCount] = {{20, 82, 244, 306}, {256, 82, 800, 294}, {256, 306, 800, 466},
                                 {20, 538, 404, 998}, {416, 538, 800, 998}};

constexpr UINT_PTR kTimerId = 1;
constexpr int kPeerRowTop = 342;
constexpr int kPeerRowHeight = 38;
constexpr int kForgetLast = 2799;

std::mutex gOpenMutex;
std::thread gThread;
std::atomic<HWND> gWindow{nullptr};
std::atomic<bool> gRunning{false};
std::atomic<bool> gCloseRequested{false};

struct Dialog {
    explicit Dialog(SetupModel::Sources sources) : model(std::move(sources)) {}
    SetupModel model;
    HWND hwnd = nullptr;
    HFONT fonts[kFontCount] = {};
    HBRUSH background = nullptr, card = nullptr, edit = nullptr;
    std::map<int, HWND> byId;
    std::vector<HWND> advanced;  // tagged 42
    std::vector<HWND> peerControls;
    std::size_t peerPage = 0;  // the trusted list's page on show
    HWND footnote = nullptr;
    HWND qr = nullptr;
};

Gdiplus::Color ToColor(COLORREF c) { return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c)); }

void RoundedPath(Gdiplus::GraphicsPath& path, Gdiplus::RectF r, float radius) {
    const float d = radius * 2;
    path.AddArc(r.X, r.Y, d, d, 180, 90);
    path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
    path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
    path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
    path.CloseFigure();
}

void FillRounded(Gdiplus::Graphics& g, RECT r, float radius, COLORREF fill, COLORREF border) {
    Gdiplus::GraphicsPath path;
    RoundedPath(path, Gdiplus::RectF(r.left + 0.5f, r.top + 0.5f, float(r.right - r.left - 1), float(r.bottom - r.top - 1)),
                radius);
    Gdiplus::SolidBrush brush(ToColor(fill));
    g.FillPath(&brush, &path);
    Gdiplus::Pen pen(ToColor(border), 1.0f);
    g.DrawPath(&pen, &path);
}

void SetTextIfChanged(HWND control, const std::wstring& text) {
    if (!control) return;
    const int n = GetWindowTextLengthW(control);
    std::wstring current(static_cast<std::size_t>(n) + 1, L'\0');
    GetWindowTextW(control, current.data(), n + 1);
    current.resize(static_cast<std::size_t>(n));
    if (current != text) SetWindowTextW(control, text.c_str());
}

HWND Make(Dialog& d, const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w, int h, int id,
          Font font, LONG_PTR tag = 0, bool advanced = false) {
    HWND c = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, d.hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (!c) return nullptr;
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(d.fonts[font]), FALSE);
    if (tag) SetWindowLongPtrW(c, GWLP_USERDATA, tag);
    if (id > 0) d.byId[id] = c;
    if (advanced) {
        if (!tag) SetWindowLongPtrW(c, GWLP_USERDATA, kSetupAdvancedTag);
        d.advanced.push_back(c);
    }
    return c;
}

HWND Static(Dialog& d, const std::wstring& text, int x, int y, int w, int h, int id, Font font, LONG_PTR tag = 0,
            bool advanced = false, DWORD extra = 0) {
    return Make(d, L"STATIC", text, SS_LEFT | SS_NOPREFIX | extra, x, y, w, h, id, font, tag, advanced);
}

// The advanced section's statics carry colour tags; the section itself is listed in d.advanced.
void Row(Dialog& d, int x, int y, wchar_t icon, const char* name, int id) {
    Static(d, std::wstring(1, icon), x, y, 18, 18, -1, kFontIcon, kTagIcon, true);
    Static(d, Utf8ToWide(name), x + 22, y, 88, 18, -1, kFontSmall, kTagRowName, true);
    Static(d, L"\u2014", x + 110, y, 246, 18, id, kFontMono, 0, true, SS_ENDELLIPSIS);
}

void Header(Dialog& d, const wchar_t* text, int x, int y, int w, bool advanced) {
    Static(d, text, x, y, w, 18, -1, kFontSection, kTagHeader, advanced);
}

LRESULT CALLBACK ToggleProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR iconRef) {
    if (msg == WM_ERASEBKGND) return 1;
    if (msg != WM_PAINT) {
        const LRESULT r = DefSubclassProc(hwnd, msg, wParam, lParam);
        // The stock check box draws itself on these; draw the switch over it.
        if (msg == BM_SETCHECK || msg == WM_LBUTTONUP || msg == WM_KEYUP || msg == WM_SETFOCUS || msg == WM_KILLFOCUS ||
            msg == BM_SETSTATE) {
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return r;
    }
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bmp = CreateCompatibleBitmap(dc, rc.right, rc.bottom);
    HGDIOBJ oldBmp = SelectObject(mem, bmp);
    HBRUSH cardBrush = CreateSolidBrush(kCard);
    FillRect(mem, &rc, cardBrush);
    DeleteObject(cardBrush);
    const bool on = SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
    {
        Gdiplus::Graphics g(mem);
        g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        const float top = (rc.bottom - 24) / 2.0f;
        Gdiplus::GraphicsPath track;
        RoundedPath(track, Gdiplus::RectF(0.5f, top + 0.5f, 43, 23), 11.5f);
        Gdiplus::SolidBrush trackBrush(on ? Gdiplus::Color(255, 10, 132, 255) : Gdiplus::Color(255, 72, 72, 76));
        g.FillPath(&trackBrush, &track);
        Gdiplus::SolidBrush knob(Gdiplus::Color(255, 255, 255, 255));
        g.FillEllipse(&knob, on ? 22.0f : 2.0f, top + 2, 20.0f, 20.0f);
    }
    SetBkMode(mem, TRANSPARENT);
    const auto icon = static_cast<wchar_t>(iconRef);
    HWND parent = GetParent(hwnd);
    auto* d = reinterpret_cast<Dialog*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
    if (d) {
        HGDIOBJ oldFont = SelectObject(mem, d->fonts[kFontIcon]);
        SetTextColor(mem, kSecondary);
        RECT ri{54, 0, 74, rc.bottom};
        DrawTextW(mem, &icon, 1, &ri, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
        SelectObject(mem, d->fonts[kFontBody]);
        SetTextColor(mem, kPrimary);
        wchar_t label[128] = {};
        GetWindowTextW(hwnd, label, 128);
        RECT rl{80, 0, rc.right, rc.bottom};
        DrawTextW(mem, label, -1, &rl, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
        SelectObject(mem, oldFont);
    }
    if (GetFocus() == hwnd) {
        RECT f{0, 0, rc.right, rc.bottom};
        DrawFocusRect(mem, &f);
    }
    BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY);
    SelectObject(mem, oldBmp);
    DeleteObject(bmp);
    DeleteDC(mem);
    EndPaint(hwnd, &ps);
    return 0;
}

void DrawButton(Dialog& d, const DRAWITEMSTRUCT& di) {
    struct Style {
        COLORREF text, fill, pressed, border;
    };
    const int id = static_cast<int>(di.CtlID);
    Style s{kPrimary, RGB(52, 52, 56), RGB(60, 60, 64), RGB(80, 80, 84)};  // subtle: Advanced
    if (id == kSetupSave) s = {RGB(255, 255, 255), RGB(10, 132, 255), RGB(5, 112, 220), 0};
    else if (id == kSetupClose) s = {kPrimary, RGB(72, 72, 76), RGB(60, 60, 64), RGB(96, 96, 100)};
    else if (id >= kSetupForgetFirst && id <= kForgetLast) s = {RGB(255, 255, 255), RGB(255, 69, 58), RGB(210, 50, 40), 0};
    const bool pressed = (di.itemState & ODS_SELECTED) != 0;
    const COLORREF fill = pressed ? s.pressed : s.fill;
    const COLORREF border = s.border == 0 ? fill : s.border;
    HBRUSH cardBrush = CreateSolidBrush(kCard);
    FillRect(di.hDC, &di.rcItem, cardBrush);
    DeleteObject(cardBrush);
    {
        Gdiplus::Graphics g(di.hDC);
        g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        FillRounded(g, di.rcItem, 6, fill, border);
    }
    wchar_t text[128] = {};
    GetWindowTextW(di.hwndItem, text, 128);
    SetBkMode(di.hDC, TRANSPARENT);
    SetTextColor(di.hDC, (di.itemState & ODS_DISABLED) ? kMuted : s.text);
    HGDIOBJ old = SelectObject(di.hDC, d.fonts[kFontButton]);
    RECT r = di.rcItem;
    DrawTextW(di.hDC, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(di.hDC, old);
    if (di.itemState & ODS_FOCUS) {
        RECT f = di.rcItem;
        InflateRect(&f, -3, -3);
        DrawFocusRect(di.hDC, &f);
    }
}

void DrawDot(const DRAWITEMSTRUCT& di) {
    const bool on = GetWindowLongPtrW(di.hwndItem, GWLP_USERDATA) == 1;
    const int w = di.rcItem.right - di.rcItem.left, h = di.rcItem.bottom - di.rcItem.top;
    HDC mem = CreateCompatibleDC(di.hDC);
    HBITMAP bmp = CreateCompatibleBitmap(di.hDC, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    RECT r{0, 0, w, h};
    HBRUSH cardBrush = CreateSolidBrush(kCard);
    FillRect(mem, &r, cardBrush);
    DeleteObject(cardBrush);
    {
        Gdiplus::Graphics g(mem);
        g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        Gdiplus::SolidBrush brush(on ? Gdiplus::Color(255, 48, 209, 88) : Gdiplus::Color(255, 105, 105, 115));
        g.FillEllipse(&brush, (w - 10) / 2.0f, (h - 10) / 2.0f, 10.0f, 10.0f);
    }
    BitBlt(di.hDC, di.rcItem.left, di.rcItem.top, w, h, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
}

bool CardVisible(const Dialog& d, int card) {
    return card < kCardStream || d.model.Advanced();
}

// The brush under a control: its card's, or the window background.
HBRUSH BrushUnder(Dialog& d, HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, d.hwnd, reinterpret_cast<POINT*>(&r), 2);
    const POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    for (int c = 0; c < kCardCount; ++c) {
        if (CardVisible(d, c) && PtInRect(&kCards[c], centre)) return d.card;
    }
    return d.background;
}

COLORREF StaticColour(HWND control) {
    const int id = GetDlgCtrlID(control);
    if (id == kSetupSubtitle) return kSecondary;
    if (id == kSetupActiveEncoder || id == kSetupInstanceId) return kMuted;
    switch (GetWindowLongPtrW(control, GWLP_USERDATA)) {
        case 10: case 11: case 13: return kSecondary;
        case 12: case 14: case 15: return kMuted;
        case 50: return kError;
        default: return kPrimary;
    }
}

void UpdateQr(Dialog& d) {
    const QrCode& code = d.model.Qr();
    if (code.size == 0) return;  // the model logged it
    HBITMAP bitmap = RenderQrToBitmap(code, 200);
    if (!bitmap) {
        Log(kLog, kLogInfo, "QR: RenderQrToBitmap failed");
        return;
    }
    // The old image comes back to us to delete (the static's own copy, if it made one).
    auto old = reinterpret_cast<HBITMAP>(SendMessageW(d.qr, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    if (old && old != bitmap) DeleteObject(old);
    // A 32-bpp bitmap with alpha is copied under comctl32 v6: the static shows
    // its copy, and ours is ours to delete.
    if (reinterpret_cast<HBITMAP>(SendMessageW(d.qr, STM_GETIMAGE, IMAGE_BITMAP, 0)) != bitmap) DeleteObject(bitmap);
}

void ShowTexts(Dialog& d) {
    for (const auto& [id, text] : d.model.Texts()) {
        if (id == kSetupNameEdit) continue;  // only at refresh of the identity: never under the user's typing
        const auto it = d.byId.find(id);
        if (it != d.byId.end()) SetTextIfChanged(it->second, Utf8ToWide(text));
    }
    HWND dot = d.byId[kSetupStatusDot];
    const LONG_PTR on = d.model.DotOn() ? 1 : 0;
    if (dot && GetWindowLongPtrW(dot, GWLP_USERDATA) != on) {
        SetWindowLongPtrW(dot, GWLP_USERDATA, on);
        InvalidateRect(dot, nullptr, FALSE);
    }
}

void RefreshIdentity(Dialog& d) {
    d.model.RefreshIdentityAndNetwork();
    SetTextIfChanged(d.byId[kSetupNameEdit], Utf8ToWide(d.model.Text(kSetupNameEdit)));
    SendMessageW(d.byId[kSetupDiscoverable], BM_SETCHECK, d.model.Discoverable() ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(d.byId[kSetupHwHevc], BM_SETCHECK, d.model.HwHevc() ? BST_CHECKED : BST_UNCHECKED, 0);
    UpdateQr(d);
    ShowTexts(d);
}

// The rows of one page: as many as the card holds (3), so every phone of the
// list can be reached with the pager on the header line.
constexpr std::size_t kPeerRowsPerPage =
    static_cast<std::size_t>((kCards[kCardTrusted].bottom - kPeerRowTop) / kPeerRowHeight);

void BuildPeerRows(Dialog& d) {
    for (HWND c : d.peerControls) DestroyWindow(c);
    d.peerControls.clear();
    const auto& peers = d.model.Peers();
    const RECT& card = kCards[kCardTrusted];
    const std::size_t pages = (peers.size() + kPeerRowsPerPage - 1) / kPeerRowsPerPage;
    if (pages == 0) d.peerPage = 0;
    else if (d.peerPage >= pages) d.peerPage = pages - 1;  // the list shrank under the last page
    const bool paged = pages > 1;
    for (int id : {kSetupPeersPrevious, kSetupPeersNext, kSetupPeersPage}) ShowWindow(d.byId[id], paged ? SW_SHOW : SW_HIDE);
    if (paged) {
        const std::size_t first = d.peerPage * kPeerRowsPerPage;
        const std::size_t last = std::min(first + kPeerRowsPerPage, peers.size());
        SetTextIfChanged(d.byId[kSetupPeersPage], std::to_wstring(first + 1) + L"\u2013" + std::to_wstring(last) +
                                                      L" of " + std::to_wstring(peers.size()));
        EnableWindow(d.byId[kSetupPeersPrevious], d.peerPage > 0);
        EnableWindow(d.byId[kSetupPeersNext], d.peerPage + 1 < pages);
    }
    if (peers.empty()) {
        d.peerControls.push_back(Static(d, L"No iPhones paired yet.", 270, kPeerRowTop, 516, 18, -1, kFontBody, kTagSubHeader));
        return;
    }
    const std::size_t first = d.peerPage * kPeerRowsPerPage;
    for (std::size_t i = first; i < peers.size() && i < first + kPeerRowsPerPage; ++i) {
        const int y = kPeerRowTop + static_cast<int>(i - first) * kPeerRowHeight;
        const auto add = [&](HWND c) {
            if (c) d.peerControls.push_back(c);
        };
        add(Static(d, L"\uE8EA", 270, y + 2, 18, 18, -1, kFontIcon, kTagIcon));
        add(Static(d, Utf8ToWide(peers[i].name), 292, y, 330, 18, -1, kFontValue, 0, false, SS_ENDELLIPSIS));
        if (!peers[i].paired.empty()) add(Static(d, Utf8ToWide(peers[i].paired), 292, y + 18, 330, 16, -1, kFontSmall, kTagSubHeader));
        // The id names the phone's place in the whole list, whatever page shows it.
        add(Make(d, L"BUTTON", L"Forget", BS_OWNERDRAW | WS_TABSTOP, card.right - 84, y + 4, 70, 24,
                 kSetupForgetFirst + 10 * static_cast<int>(i), kFontButton));
    }
}

void ApplyAdvanced(Dialog& d) {
    const bool on = d.model.Advanced();
    for (HWND c : d.advanced) ShowWindow(c, on ? SW_SHOW : SW_HIDE);
    SetTextIfChanged(d.byId[kSetupAdvanced], Utf8ToWide(d.model.Text(kSetupAdvanced)));
    SetWindowPos(d.footnote, nullptr, 20, on ? 1010 : 538, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    RECT r{0, 0, kSetupClientWidth, on ? kSetupExpandedHeight : kSetupCollapsedHeight};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongW(d.hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(d.hwnd, GWL_EXSTYLE)));
    SetWindowPos(d.hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    InvalidateRect(d.hwnd, nullptr, TRUE);
}

void CreateControls(Dialog& d) {
    Static(d, L"Lumenfold", 20, 20, 780, 30, kSetupTitle, kFontTitle);
    Static(d, L"Scan the QR code with the Lumenfold iOS app to connect.", 20, 54, 780, 20, kSetupSubtitle, kFontBody);
    d.qr = Make(d, L"STATIC", L"", SS_BITMAP | SS_CENTERIMAGE, 32, 94, 200, 200, kSetupQrImage, kFontBody);
    Header(d, L"DEVICE", 270, 96, 516, false);
    Make(d, L"STATIC", L"", SS_OWNERDRAW, 270, 118, 14, 14, kSetupStatusDot, kFontBody);
    Static(d, L"Idle", 288, 116, 498, 18, kSetupDeviceStatus, kFontValueBold);
    Static(d, L"\uE770", 270, 150, 18, 18, -1, kFontIcon, kTagIcon);
    Static(d, L"Name", 292, 150, 66, 18, -1, kFontSmall, kTagRowName);
    HWND edit = Make(d, L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, 362, 146, 342, 26, kSetupNameEdit, kFontValue);
    SendMessageW(edit, EM_LIMITTEXT, 255, 0);
    Make(d, L"BUTTON", L"Save", BS_OWNERDRAW | WS_TABSTOP, 708, 146, 78, 26, kSetupSave, kFontButton);
    HWND disc = Make(d, L"BUTTON", L"Discoverable on network", BS_AUTOCHECKBOX | WS_TABSTOP, 270, 178, 516, 28,
                     kSetupDiscoverable, kFontBody);
    HWND hevc = Make(d, L"BUTTON", L"Use NVIDIA / Intel HW HEVC encoder", BS_AUTOCHECKBOX | WS_TABSTOP, 270, 210, 516,
                     28, kSetupHwHevc, kFontBody);
    SetWindowSubclass(disc, ToggleProc, 1, 0xE701);
    SetWindowSubclass(hevc, ToggleProc, 2, 0xE950);
    Static(d, L"Active encoder: \u2014", 270, 242, 516, 36, kSetupActiveEncoder, kFontSmall);
    Header(d, L"TRUSTED IPHONES", 270, 320, 300, false);
    Static(d, L"", 580, 320, 110, 18, kSetupPeersPage, kFontSmall, kTagSubHeader, false, SS_RIGHT);
    Make(d, L"BUTTON", L"\u2039", BS_OWNERDRAW | WS_TABSTOP, 698, 316, 40, 22, kSetupPeersPrevious, kFontButton);
    Make(d, L"BUTTON", L"\u203A", BS_OWNERDRAW | WS_TABSTOP, 746, 316, 40, 22, kSetupPeersNext, kFontButton);
    Static(d, L"", 20, 478, 780, 16, kSetupInstanceId, kFontFootnote);
    Make(d, L"BUTTON", L"\u25B6  Advanced info", BS_OWNERDRAW | WS_TABSTOP, 20, 502, 180, 28, kSetupAdvanced, kFontButton);
    Make(d, L"BUTTON", L"Close", BS_OWNERDRAW | WS_TABSTOP, 700, 502, 100, 28, kSetupClose, kFontButton);

    static const wchar_t kIcons[] = {0xF5B0, 0xE8EA, 0xE8D6, 0xF0E4, 0xE740, 0xE714, 0xE72E, 0xE74A, 0xE740, 0xE950, 0xE8D6,
                                     0xE714, 0xE968, 0xEC27, 0xE8AB, 0xE9D9, 0xE946, 0xE91F, 0xE7BA, 0xE7B8, 0xE916, 0xEC48};
    struct Place {
        int x, y;
    };
    // Section starts by the first row of each section, in the model's row order.
    const std::map<int, std::pair<Place, Place>> sections = {
        {2101, {{34, 552}, {34, 574}}}, {2108, {{34, 734}, {34, 754}}}, {2137, {{34, 804}, {34, 824}}},
        {2110, {{430, 552}, {430, 574}}}, {2113, {{430, 640}, {430, 660}}}};
    int x = 34, y = 574, i = 0;
    for (const auto& row : SetupModel::Rows()) {
        if (const auto it = sections.find(row.id); it != sections.end()) {
            Header(d, Utf8ToWide(row.section).c_str(), it->second.first.x, it->second.first.y, 356, true);
            x = it->second.second.x;
            y = it->second.second.y;
        }
        Row(d, x, y, kIcons[i++], row.name, row.id);
        y += 22;
    }
    d.footnote = Static(d,
                        L"Streaming starts automatically when you play back in Premiere.\nEnable or disable this device "
                        L"from Preferences \u2192 Playback \u2192 Video Device.",
                        20, 1010, 780, 36, -1, kFontFootnote, kTagFootnote);
}

void OnCommand(Dialog& d, int id, int code) {
    if (id == kSetupSave && code == BN_CLICKED) {
        wchar_t buf[256] = {};
        GetWindowTextW(d.byId[kSetupNameEdit], buf, 256);
        if (d.model.Save(WideToUtf8(buf))) {
            SetTextIfChanged(d.byId[kSetupNameEdit], Utf8ToWide(d.model.Text(kSetupNameEdit)));
            UpdateQr(d);
            ShowTexts(d);
        }
    } else if (id == kSetupDiscoverable && code == BN_CLICKED) {
        // A setting that was not stored springs back: the switch shows the file.
        if (!d.model.SetDiscoverable(SendMessageW(d.byId[id], BM_GETCHECK, 0, 0) == BST_CHECKED))
            SendMessageW(d.byId[id], BM_SETCHECK, d.model.Discoverable() ? BST_CHECKED : BST_UNCHECKED, 0);
        InvalidateRect(d.byId[id], nullptr, FALSE);
    } else if (id == kSetupHwHevc && code == BN_CLICKED) {
        if (!d.model.SetHwHevc(SendMessageW(d.byId[id], BM_GETCHECK, 0, 0) == BST_CHECKED))
            SendMessageW(d.byId[id], BM_SETCHECK, d.model.HwHevc() ? BST_CHECKED : BST_UNCHECKED, 0);
        InvalidateRect(d.byId[id], nullptr, FALSE);
    } else if ((id == kSetupPeersPrevious || id == kSetupPeersNext) && code == BN_CLICKED) {
        if (id == kSetupPeersPrevious && d.peerPage > 0) --d.peerPage;
        if (id == kSetupPeersNext) ++d.peerPage;  // BuildPeerRows keeps it on the list
        BuildPeerRows(d);
        InvalidateRect(d.hwnd, nullptr, TRUE);
    } else if (id == kSetupAdvanced && code == BN_CLICKED) {
        d.model.ToggleAdvanced();
        ApplyAdvanced(d);
    } else if (id == kSetupClose && code == BN_CLICKED) {
        PostMessageW(d.hwnd, WM_CLOSE, 0, 0);
    } else if (id >= kSetupForgetFirst && id <= kForgetLast && code == BN_CLICKED && (id - kSetupForgetFirst) % 10 == 0) {
        const std::size_t row = static_cast<std::size_t>((id - kSetupForgetFirst) / 10);
        if (row >= d.model.Peers().size()) return;
        // The timer may rebuild the rows while the box is open: the answer is
        // about this phone, whatever row it sits on by then.
        const std::string phoneId = d.model.Peers()[row].id;
        const int answer = MessageBoxW(d.hwnd,
                                       L"The iPhone will need to re-pair (scan QR / enter code) the next time it "
                                       L"connects.\n\nForget this iPhone?",
                                       L"Forget paired iPhone", MB_OKCANCEL | MB_ICONQUESTION);
        if (answer == IDOK && d.model.Forget(phoneId)) {
            BuildPeerRows(d);
            InvalidateRect(d.hwnd, nullptr, TRUE);
        }
    }
}

void Paint(Dialog& d) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(d.hwnd, &ps);
    RECT rc;
    GetClientRect(d.hwnd, &rc);
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bmp = CreateCompatibleBitmap(dc, rc.right, rc.bottom);
    HGDIOBJ old = SelectObject(mem, bmp);
    FillRect(mem, &rc, d.background);
    {
        Gdiplus::Graphics g(mem);
        g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        for (int c = 0; c < kCardCount; ++c) {
            if (CardVisible(d, c)) FillRounded(g, kCards[c], 10, kCard, RGB(64, 64, 68));
        }
    }
    BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    EndPaint(d.hwnd, &ps);
}

LRESULT CALLBACK SetupWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* d = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_CREATE: {
            d = static_cast<Dialog*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
            d->hwnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(d));
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case WM_PAINT:
            if (d) Paint(*d);
            else DefWindowProcW(hwnd, msg, wParam, lParam);
            return 0;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (!d) break;
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            SetTextColor(reinterpret_cast<HDC>(wParam), msg == WM_CTLCOLORBTN ? kPrimary : StaticColour(reinterpret_cast<HWND>(lParam)));
            return reinterpret_cast<LRESULT>(BrushUnder(*d, reinterpret_cast<HWND>(lParam)));
        case WM_CTLCOLOREDIT:
            if (!d) break;
            SetBkColor(reinterpret_cast<HDC>(wParam), kEditBackground);
            SetTextColor(reinterpret_cast<HDC>(wParam), kPrimary);
            return reinterpret_cast<LRESULT>(d->edit);
        case WM_DRAWITEM: {
            if (!d) break;
            const auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (di->CtlID == kSetupStatusDot) DrawDot(*di);
            else DrawButton(*d, *di);
            return TRUE;
        }
        case WM_COMMAND:
            if (d) OnCommand(*d, LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_TIMER:
            if (d && wParam == kTimerId) {
                if (d->model.RefreshTrustedPeers()) {
                    BuildPeerRows(*d);
                    InvalidateRect(hwnd, nullptr, TRUE);
                }
                d->model.RefreshStatus();
                ShowTexts(*d);
            }
            return 0;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            KillTimer(hwnd, kTimerId);
            if (d && d->qr) {
                auto bitmap = reinterpret_cast<HBITMAP>(SendMessageW(d->qr, STM_SETIMAGE, IMAGE_BITMAP, 0));
                if (bitmap) DeleteObject(bitmap);
            }
            gWindow.store(nullptr);
            PostQuitMessage(0);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

bool RegisterSetupClass() {
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = SetupWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kSetupDialogClass;
        if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            Log(kLog, kLogError, "RegisterClassW failed: %lu", GetLastError());
            return false;
        }
        return true;
    }();
    return registered;
}

HFONT MakeFont(int height, int weight, const wchar_t* face) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

void RunDialog(SetupModel::Sources sources) {
    SetCurrentThreadName("vx-setup-dialog");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartupInput gdiplusInput;
    const bool gdiplus = Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr) == Gdiplus::Ok;
    if (RegisterSetupClass()) {
        auto d = std::make_unique<Dialog>(std::move(sources));
        const int faces[kFontCount][2] = {{-22, 600}, {-13, 400}, {-11, 600}, {-14, 400}, {-14, 600},
                                          {-12, 400}, {-12, 400}, {-11, 400}, {-14, 400}, {-14, 400}};
        for (int f = 0; f < kFontCount; ++f) {
            const wchar_t* face = f == kFontMono ? L"Consolas" : f == kFontIcon ? L"Segoe Fluent Icons" : L"Segoe UI";
            d->fonts[f] = MakeFont(faces[f][0], faces[f][1], face);
        }
        d->background = CreateSolidBrush(kBackground);
        d->card = CreateSolidBrush(kCard);
        d->edit = CreateSolidBrush(kEditBackground);
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        HWND hwnd = CreateWindowExW(0, kSetupDialogClass, L"Lumenfold", style,
                                    (GetSystemMetrics(SM_CXSCREEN) - 820) / 2, (GetSystemMetrics(SM_CYSCREEN) - 780) / 2,
                                    820, 780, nullptr, nullptr, GetModuleHandleW(nullptr), d.get());
        if (!hwnd) {
            Log(kLog, kLogError, "CreateWindowExW failed: %lu", GetLastError());
        } else {
            const BOOL dark = TRUE;
            DwmSetWindowAttribute(hwnd, 20, &dark, sizeof dark);  // immersive dark mode title bar
            CreateControls(*d);
            ApplyAdvanced(*d);  // collapsed
            RefreshIdentity(*d);
            d->model.RefreshTrustedPeers();
            BuildPeerRows(*d);
            d->model.RefreshStatus();
            ShowTexts(*d);
            SetTimer(hwnd, kTimerId, 500, nullptr);
            ShowWindow(hwnd, SW_SHOW);
            UpdateWindow(hwnd);
            gWindow.store(hwnd);
            // A close asked for while the window was being built found nothing to post to.
            if (gCloseRequested.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (IsDialogMessageW(hwnd, &msg)) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        for (HFONT f : d->fonts) {
            if (f) DeleteObject(f);
        }
        DeleteObject(d->background);
        DeleteObject(d->card);
        DeleteObject(d->edit);
    }
    gWindow.store(nullptr);
    if (gdiplus) Gdiplus::GdiplusShutdown(gdiplusToken);
    if (SUCCEEDED(com)) CoUninitialize();
    gRunning.store(false);
}
}  // namespace

void OpenSetupDialog(void*, SetupModel::Sources sources) {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    if (HWND hwnd = gWindow.load()) {
        ShowWindow(hwnd, SW_RESTORE);
        SetForegroundWindow(hwnd);
        return;
    }
    if (gRunning.load()) return;  // starting: it shows itself
    if (gThread.joinable()) gThread.join();
    gCloseRequested.store(false);
    gRunning.store(true);
    try {
        gThread = std::thread(RunDialog, std::move(sources));
    } catch (...) {
        gRunning.store(false);
        throw;
    }
}

void CloseSetupDialog() {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    gCloseRequested.store(true);
    if (HWND hwnd = gWindow.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (gThread.joinable()) gThread.join();
}

bool SetupDialogOpen() { return gRunning.load(); }

}  // namespace Veltrix
