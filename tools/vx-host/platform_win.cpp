#include <windows.h>

#include "vx-host/platform.h"

namespace Veltrix::host {
namespace {

class WinLibrary final : public PluginLibrary {
public:
    explicit WinLibrary(HMODULE h) : handle_(h) {}
    ~WinLibrary() override { FreeLibrary(handle_); }
    void* Symbol(const char* name) override { return reinterpret_cast<void*>(GetProcAddress(handle_, name)); }

private:
    HMODULE handle_;
};

std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Quotes one argument the way CommandLineToArgvW splits it back.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        if (c == L'"') out.append(slashes * 2 + 1, L'\\');
        else out.append(slashes, L'\\');
        slashes = 0;
        out.push_back(c);
    }
    out.append(slashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

}  // namespace

std::unique_ptr<PluginLibrary> LoadPluginLibrary(const std::filesystem::path& path, std::string* error) {
    HMODULE h = LoadLibraryW(path.wstring().c_str());
    if (!h) {
        if (error) *error = "LoadLibraryW failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    return std::make_unique<WinLibrary>(h);
}

std::filesystem::path SelfExecutablePath() {
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return n ? std::filesystem::path(std::wstring(buf, n)) : std::filesystem::path();
}

const char* DefaultPluginFileName() { return "Veltrix.prm"; }
const char* DefaultCtrlFileName() { return "VeltrixCtrl.acsrf"; }

int ReexecAs(const std::string& executableName, const std::vector<std::string>& args, std::string* error) {
    // Host detection reads the module file name, so run a copy named as the host.
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec) / "vx-host-as";
    std::filesystem::create_directories(dir, ec);
    const auto copy = dir / (Widen(executableName) + L".exe");
    if (!CopyFileW(SelfExecutablePath().wstring().c_str(), copy.wstring().c_str(), FALSE)) {
        if (error) *error = "cannot copy vx-host to " + copy.string() + ": error " + std::to_string(GetLastError());
        return -1;
    }
    std::wstring cmd = Quote(copy.wstring());
    for (const auto& a : args) cmd += L" " + Quote(Widen(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(copy.wstring().c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        if (error) *error = "CreateProcessW failed with error " + std::to_string(GetLastError());
        return -1;
    }
    // Ctrl+C reaches the child too; the parent only waits for it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

}  // namespace Veltrix::host
