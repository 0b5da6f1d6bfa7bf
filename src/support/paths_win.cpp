// Windows roles of the per-user folders and identifiers.
#include <windows.h>
#include <bcrypt.h>
#include <knownfolders.h>
#include <rpc.h>
#include <shlobj.h>

#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "support/paths.h"

namespace Veltrix {

std::string PathForLog(const std::filesystem::path& p) {
    // UTF-8, as every log line is; the native separators stay.
    const std::wstring w = p.wstring();
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

namespace platform {
namespace {

std::filesystem::path EnvW(const wchar_t* name) {
    const wchar_t* v = _wgetenv(name);
    return (v && *v) ? std::filesystem::path(v) : std::filesystem::path();
}

}  // namespace

std::string ExecutablePath() {
    wchar_t buf[520];
    const DWORD n = GetModuleFileNameW(nullptr, buf, 520);
    if (n == 0) return {};
    // Only ASCII matters to host detection: keep each unit's low 7 bits after lower-casing.
    std::string out;
    out.reserve(n);
    for (DWORD i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(std::towlower(buf[i]) & 0x7F));
    }
    return out;
}

std::filesystem::path RoamingBase() {
    PWSTR known = nullptr;
    std::filesystem::path base;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &known)) && known) {
        base = known;
    }
    CoTaskMemFree(known);
    if (!base.empty()) return base;
    base = EnvW(L"APPDATA");
    if (!base.empty()) return base;
    base = EnvW(L"USERPROFILE");
    if (!base.empty()) return base / L"AppData" / L"Roaming";
    return L"C:\\";
}

std::filesystem::path LocalBase() {
    auto base = EnvW(L"LOCALAPPDATA");
    if (!base.empty()) return base;
    base = EnvW(L"USERPROFILE");
    if (!base.empty()) return base / L"AppData" / L"Local";
    return L".";
}

std::string HostNameUtf8() {
    DWORD len = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &len);
    if (len == 0) return {};
    std::wstring w(len, L'\0');
    if (!GetComputerNameExW(ComputerNameDnsHostname, w.data(), &len)) return {};
    w.resize(len);
    const int n = WideCharToMultiByte(65001, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(65001, 0, w.c_str(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

bool RandomBytes(void* out, std::size_t count) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(out),
                                          static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool CreateUuid(std::uint32_t& d1, std::uint16_t& d2, std::uint16_t& d3, std::uint8_t d4[8]) {
    UUID u;
    const RPC_STATUS st = UuidCreate(&u);
    if (st != RPC_S_OK && st != RPC_S_UUID_LOCAL_ONLY) return false;
    d1 = u.Data1;
    d2 = u.Data2;
    d3 = u.Data3;
    for (int i = 0; i < 8; ++i) d4[i] = u.Data4[i];
    return true;
}

std::string SystemErrorText(int code) {
    char buf[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace platform
}  // namespace Veltrix
