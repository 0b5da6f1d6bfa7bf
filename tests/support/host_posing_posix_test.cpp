// A process can pose as a host by running under the host's executable name
// (vx-host --as does this); detection, log and store names then follow.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/log.h"
#include "support/paths.h"

extern char** environ;

namespace Veltrix {
namespace {

TEST(HostPosing, ChildReportsHost) {
    const char* expected = std::getenv("VX_EXPECT_HOST");
    if (!expected) GTEST_SKIP() << "runs only as the child of HostPosing.ArgvZeroChoosesHost";
    EXPECT_EQ(static_cast<int>(DetectHost()), std::atoi(expected)) << HostExecutableName();
    EXPECT_EQ(LogFilePath().filename().string(), std::getenv("VX_EXPECT_LOG"));
}

int RunAs(const char* argv0, const char* kind, const char* log) {
    const std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=HostPosing.ChildReportsHost";
    char* argv[] = {const_cast<char*>(argv0), filter.data(), nullptr};
    setenv("VX_EXPECT_HOST", kind, 1);
    setenv("VX_EXPECT_LOG", log, 1);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ);
    unsetenv("VX_EXPECT_HOST");
    unsetenv("VX_EXPECT_LOG");
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

TEST(HostPosing, ArgvZeroChoosesHost) {
    EXPECT_EQ(RunAs("/opt/Adobe/Adobe Premiere Pro", "0", "plugin.log"), 0);
    EXPECT_EQ(RunAs("AfterFX", "1", "plugin-ae.log"), 0);
    EXPECT_EQ(RunAs("Adobe Media Encoder", "2", "plugin-ame.log"), 0);
    EXPECT_EQ(RunAs("vx-host", "3", "plugin-x.log"), 0);
}

}  // namespace
}  // namespace Veltrix
