// Store files shared between processes: the test binary re-runs itself (one
// gtest filter, the role in VX_STORE_CHILD) as the other host process.
#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "store/install_identity.h"
#include "store/json_store.h"
#include "store/store_platform.h"
#include "store/trusted_peers.h"
#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

constexpr HostKind kHost = HostKind::kOther;

pid_t SpawnChild(const std::string& role) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("VX_STORE_CHILD", role.c_str(), 1);
        execl("/proc/self/exe", "store_process_tests", "--gtest_filter=StoreChild.Run", nullptr);
        _exit(127);
    }
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Generation(const TrustedPeer& p) { return std::atoi(p.name.c_str() + 4); }

// The child roles. Each exits non-zero when it sees its own change lost or a damaged file.
int RunChild(const std::string& role) {
    const std::string kind = role.substr(0, role.find(':'));
    const std::string arg = role.substr(role.find(':') + 1);
    if (kind == "upsert") {
        for (int i = 0; i < 40; ++i) {
            const std::string id = arg + "-" + std::to_string(i);
            UpsertPeer(kHost, {id, "n", "tok-" + id, ""});
            for (int j = 0; j <= i; ++j)
                if (!FindPeer(kHost, arg + "-" + std::to_string(j))) return 2;
        }
        return 0;
    }
    if (kind == "toggle") {
        const std::string id = LoadOrCreateIdentity().id;
        for (int i = 0; i < 40; ++i) {
            const bool v = i % 2 == 0;
            if (arg == "discoverable") {
                SetDiscoverable(v);
                if (IsDiscoverable() != v) return 3;
            } else {
                SetAsyncHwEncodersEnabled(v);
                if (AsyncHwEncodersEnabled() != v) return 3;
            }
            if (LoadOrCreateIdentity().id != id) return 4;
        }
        return 0;
    }
    if (kind == "rewrite") {
        for (;;) {
            const auto peer = FindPeer(kHost, "k");
            const int gen = peer ? Generation(*peer) + 1 : 1;
            UpsertPeer(kHost, {"k", "gen-" + std::to_string(gen), std::string(64, 'a'), ""});
        }
    }
    return 1;
}

TEST(StoreChild, Run) {
    const char* role = std::getenv("VX_STORE_CHILD");
    if (!role) GTEST_SKIP() << "child role only";
    std::_Exit(RunChild(role));
}

TEST(StoreProcesses, TwoProcessesUpsertingLoseNothing) {
    testing::ScopedTestDirs dirs;
    const pid_t a = SpawnChild("upsert:a");
    const pid_t b = SpawnChild("upsert:b");
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    EXPECT_EQ(ListPeers(kHost).size(), 80u);
    EXPECT_EQ(std::filesystem::status(TrustedFilePath(kHost)).permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(StoreProcesses, TwoProcessesTogglingSettingsLoseNothing) {
    testing::ScopedTestDirs dirs;
    const pid_t a = SpawnChild("toggle:discoverable");
    const pid_t b = SpawnChild("toggle:async");
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    // Both loops end on "false" (the last index is odd).
    EXPECT_FALSE(IsDiscoverable());
    EXPECT_FALSE(AsyncHwEncodersEnabled());
}

TEST(StoreProcesses, KilledWriterNeverLeavesADamagedFile) {
    testing::ScopedTestDirs dirs;
    std::mt19937 rng(12345);
    int lastGen = 0;
    // A loaded machine (sanitizers, parallel tests) may start the child slowly:
    // until it has written once, each round gives it twice as long.
    unsigned baseUs = 5000;
    for (int round = 0; round < 40; ++round) {
        const pid_t pid = SpawnChild("rewrite:");
        std::this_thread::sleep_for(std::chrono::microseconds(baseUs + rng() % 30000));
        kill(pid, SIGKILL);
        WaitChild(pid);
        const auto text = ReadWholeFile(TrustedFilePath(kHost));
        if (!text) {
            EXPECT_EQ(lastGen, 0) << "store vanished after round " << round;
            baseUs = std::min(baseUs * 2, 2'000'000u);
            continue;
        }
        ASSERT_EQ(text->back(), '\n') << *text;
        const auto peers = ParseTrustedPeers(*text);
        ASSERT_EQ(peers.size(), 1u) << *text;
        EXPECT_EQ(SerializeTrustedPeers(peers), *text);
        const int gen = Generation(peers[0]);
        EXPECT_GE(gen, lastGen);
        lastGen = gen;
    }
    EXPECT_GT(lastGen, 0);
}

}  // namespace
}  // namespace Veltrix

namespace Veltrix {
namespace {

// A store file whose read fails part way (here: a link to /proc/self/mem,
// whose first read fails with EIO) is a read failure, and no writer replaces
// what it could not read whole.
TEST(StoreReads, AFailedReadIsNeverTakenForTheWholeFile) {
    testing::ScopedTestDirs dirs;
    std::string text = "left over";
    EXPECT_EQ(platform::StoreReadFile("/proc/self/mem", text), platform::StoreReadResult::kReadFailed);
    EXPECT_EQ(ReadStoreText("/proc/self/mem").status, StoreText::kUnreadable);
    EnsureAppSupportDir();
    std::filesystem::create_symlink("/proc/self/mem", TrustedFilePath(kHost));
    std::filesystem::create_symlink("/proc/self/mem", InstallIdentityPath());
    EXPECT_FALSE(UpsertPeer(kHost, {"new", "n", std::string(64, 'a'), ""}));
    EXPECT_FALSE(RemovePeer(kHost, "new"));
    EXPECT_FALSE(SetDiscoverable(false));
    EXPECT_FALSE(SetInstallName("x"));
    LoadOrCreateIdentity();
    EXPECT_TRUE(std::filesystem::is_symlink(TrustedFilePath(kHost)));
    EXPECT_TRUE(std::filesystem::is_symlink(InstallIdentityPath()));
    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find(":trusted:ERROR] read("), std::string::npos) << log;
    EXPECT_NE(log.find(":installid:ERROR] read("), std::string::npos);
}

}  // namespace
}  // namespace Veltrix
