// vx-host as a separate process: posing as a host by its executable name, and
// a clean stop on SIGINT.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"

extern char** environ;

namespace {

pid_t Spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(VxHostProcess, AsAfterEffectsReExecutesUnderItsName) {
    Veltrix::testing::ScopedTestDirs dirs;
    const auto log = dirs.root() / "record.txt";
    Veltrix::testing::SetEnv("VX_RECORDING_LOG", log.c_str());
    const pid_t pid = Spawn({VX_HOST_EXE, "--as", "ae", "--plugin", VX_RECORDING_PLUGIN, "--size", "160x90",
                             "--fps", "50", "--seconds", "0.2", "-q"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Wait(pid), 0);
    const std::string rec = Veltrix::testing::ReadFileText(log);
    EXPECT_NE(rec.find("host=After Effects"), std::string::npos) << rec;
    Veltrix::testing::SetEnv("VX_RECORDING_LOG", nullptr);
}

TEST(VxHostProcess, SigintStopsCleanlyThroughTheHostsOrder) {
    Veltrix::testing::ScopedTestDirs dirs;
    const auto log = dirs.root() / "record.txt";
    Veltrix::testing::SetEnv("VX_RECORDING_LOG", log.c_str());
    const pid_t pid = Spawn({VX_HOST_EXE, "--plugin", VX_RECORDING_PLUGIN, "--size", "160x90", "--seconds", "0"});
    ASSERT_GT(pid, 0);
    // Interrupted once it is playing, so the whole order runs.
    const bool playing = Veltrix::testing::Eventually([&] { return std::filesystem::exists(log.string() + ".pushing"); });
    kill(pid, SIGINT);
    EXPECT_TRUE(playing);
    EXPECT_EQ(Wait(pid), 0);
    const std::string rec = Veltrix::testing::ReadFileText(log);
    EXPECT_NE(rec.find("stop_push_audio\nstop_clock\nactivate 0 0\ndispose\nshutdown\n"), std::string::npos) << rec;
    EXPECT_NE(rec.find("host=Unknown Host"), std::string::npos) << rec;
    Veltrix::testing::SetEnv("VX_RECORDING_LOG", nullptr);
}

}  // namespace
