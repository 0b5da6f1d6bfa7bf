#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "support/crash_handler.h"
#include "support/log.h"
#include "tests/testing/test_env.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Veltrix {
namespace {

TEST(CrashFile, NameCarriesLocalTimeAndPid) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 4;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(CrashFileName(t, 4242), "2026-03-04_09-05-07_4242.dmp");
    EXPECT_NE(CrashFileName(t, 1), CrashFileName(t, 2));
}

#ifndef _WIN32

std::vector<std::filesystem::path> CrashFiles(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        out.push_back(it->path());
    }
    return out;
}

[[noreturn]] void Segfault() {
    InstallCrashHandler();
    InstallCrashHandler();  // a second install changes nothing
    // A real hardware fault on a page we may not touch (not a null store,
    // which UBSan would report before it faults).
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    std::abort();
}

TEST(CrashHandlerDeathTest, SegfaultLeavesFaultLineAndReportThenDies) {
    testing::ScopedTestDirs dirs;
    EXPECT_EXIT(Segfault(), ::testing::KilledBySignal(SIGSEGV), "");
    const std::string log = testing::ReadFileText(dirs.local() / "Veltrix" / "plugin-x.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;  // installed once + one FAULT
    EXPECT_NE(log.find(":crash:INFO] crash handler installed"), std::string::npos) << log;
    const std::regex fault(R"(:crash:FAULT\] \[SIG\] fatal signal=11 \(SIGSEGV\) addr=0x[0-9a-f]+ module=[^+ ]+\+0x[0-9a-f]+ tid=\d+\r\n)");
    EXPECT_TRUE(std::regex_search(log, fault)) << log;
    EXPECT_NE(log.find("module=crash_handler_tests+0x"), std::string::npos) << log;
    const auto files = CrashFiles(dirs.local() / "Veltrix" / "crashes");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}_\d+\.dmp)")));
    const std::string report = testing::ReadFileText(files[0]);
    EXPECT_NE(report.find("signal 11 (SIGSEGV)"), std::string::npos) << report;
    EXPECT_NE(report.find("backtrace:"), std::string::npos);
}

TEST(CrashHandlerDeathTest, AbortStillDiesOfSigabrt) {
    testing::ScopedTestDirs dirs;
    EXPECT_EXIT(
        {
            InstallCrashHandler();
            std::abort();
        },
        ::testing::KilledBySignal(SIGABRT), "");
    EXPECT_NE(testing::ReadFileText(dirs.local() / "Veltrix" / "plugin-x.log").find("(SIGABRT)"),
              std::string::npos);
    EXPECT_EQ(CrashFiles(dirs.local() / "Veltrix" / "crashes").size(), 1u);
}

void PreviousHandler(int) { _exit(42); }

TEST(CrashHandlerDeathTest, PreviousHandlerStillDecides) {
    testing::ScopedTestDirs dirs;
    EXPECT_EXIT(
        {
            std::signal(SIGSEGV, PreviousHandler);
            Segfault();
        },
        ::testing::ExitedWithCode(42), "");
    EXPECT_NE(testing::ReadFileText(dirs.local() / "Veltrix" / "plugin-x.log").find("(SIGSEGV)"),
              std::string::npos);
}

#endif

}  // namespace
}  // namespace Veltrix
