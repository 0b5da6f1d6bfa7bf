// Prints the version resource of each file named, as Explorer reads it:
//   version_info FILE...  ->  one line per file:
//   FILE|FileVersion|ProductVersion|ProductName|FileDescription|CompanyName|fixed a.b.c.d
// Exit status 1 when a file has no readable version resource.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* s) {
    if (!s) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string Value(std::vector<unsigned char>& block, const wchar_t* name) {
    std::wstring path = L"\\StringFileInfo\\040904B0\\";
    path += name;
    wchar_t* text = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &len) || len == 0) return "-";
    return Utf8(text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(argv[i], &ignored);
        std::vector<unsigned char> block(size);
        if (size == 0 || !GetFileVersionInfoW(argv[i], 0, size, block.data())) {
            std::printf("%s|no version resource (error %lu)\n", Utf8(argv[i]).c_str(), GetLastError());
            status = 1;
            continue;
        }
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        std::string numbers = "-";
        if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) && fixed) {
            numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
                      "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
        }
        std::printf("%s|%s|%s|%s|%s|%s|fixed %s\n", Utf8(argv[i]).c_str(), Value(block, L"FileVersion").c_str(),
                    Value(block, L"ProductVersion").c_str(), Value(block, L"ProductName").c_str(),
                    Value(block, L"FileDescription").c_str(), Value(block, L"CompanyName").c_str(), numbers.c_str());
    }
    return status;
}
