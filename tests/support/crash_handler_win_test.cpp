#include <gtest/gtest.h>
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "support/crash_handler.h"
#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

std::filesystem::path KnownLocalCrashes() {
    PWSTR known = nullptr;
    std::filesystem::path p;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)) && known) p = known;
    CoTaskMemFree(known);
    return p / "Veltrix" / "crashes";
}

std::size_t CountDumps() {
    std::size_t n = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(KnownLocalCrashes(), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".dmp") ++n;
    }
    return n;
}

LONG CALLBACK ContinueAfterRaise(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    return code == EXCEPTION_ACCESS_VIOLATION || code == 0xE0000001 ? EXCEPTION_CONTINUE_EXECUTION
                                                                     : EXCEPTION_CONTINUE_SEARCH;
}

// An access violation that somebody handles still leaves one FAULT line, and no dump.
TEST(CrashHandlerWin, HandledExceptionLogsOnceWithoutDump) {
    testing::ScopedTestDirs dirs;
    const std::size_t dumpsBefore = CountDumps();
    InstallCrashHandler();
    InstallCrashHandler();
    PVOID later = AddVectoredExceptionHandler(0, ContinueAfterRaise);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    RaiseException(0xE0000001, 0, 0, nullptr);  // not fatal-looking: no line
    RemoveVectoredExceptionHandler(later);
    const std::string log = testing::ReadFileText(dirs.local() / "Veltrix" / "plugin-x.log");
    std::size_t faults = 0;
    for (std::size_t pos = 0; (pos = log.find(":crash:FAULT]", pos)) != std::string::npos; ++pos) ++faults;
    EXPECT_EQ(faults, 1u) << log;
    EXPECT_NE(log.find("[VEH] fatal exception code=0xC0000005"), std::string::npos) << log;
    EXPECT_NE(log.find("crash handler installed (dumps → %LOCALAPPDATA%\\Veltrix\\crashes\\, + VEH diagnostic)"),
              std::string::npos)
        << log;
    EXPECT_EQ(CountDumps(), dumpsBefore);
}

LONG WINAPI PreviousFilter(EXCEPTION_POINTERS*) { ExitProcess(42); }

// The child re-runs this body, so both must agree on the folders: a fixed one.
TEST(CrashHandlerWinDeathTest, UnhandledFaultWritesDumpAndChains) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::filesystem::path local = testing::MakeTempDir("fixed").parent_path() / "crash-win-local";
    std::error_code ec;
    if (GTEST_FLAG_GET(internal_run_death_test).empty()) std::filesystem::remove_all(local, ec);
    std::filesystem::create_directories(local, ec);
    testing::SetEnv("LOCALAPPDATA", local.string().c_str());
    const std::size_t dumpsBefore = CountDumps();
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(PreviousFilter);
            InstallCrashHandler();
            volatile int* p = nullptr;
            *p = 1;
        },
        ::testing::ExitedWithCode(42), "");
    EXPECT_EQ(CountDumps(), dumpsBefore + 1);
    const std::string log = testing::ReadFileText(local / "Veltrix" / "plugin-x.log");
    EXPECT_NE(log.find("module=crash_handler_win_tests.exe+0x"), std::string::npos) << log;
}

}  // namespace
}  // namespace Veltrix
