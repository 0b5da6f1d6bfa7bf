#include <gtest/gtest.h>

#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

TEST(LogFolder, FollowsXdgStateHomeThenHome) {
    testing::ScopedTestDirs dirs;
    EXPECT_EQ(LocalDataDir(), dirs.local() / "Veltrix");
    testing::SetEnv("XDG_STATE_HOME", "");
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    testing::SetEnv("HOME", dirs.root().string().c_str());
    EXPECT_EQ(LogFilePath(), dirs.root() / ".local/state" / "Veltrix" / "plugin-x.log");
    testing::SetEnv("HOME", oldHome.c_str());
}

TEST(LogFolder, RoamingFolderFollowsXdgConfigHome) {
    testing::ScopedTestDirs dirs;
    OverrideAppSupportBaseForTesting({});
    EXPECT_EQ(platform::RoamingBase(), dirs.roaming());
}

}  // namespace
}  // namespace Veltrix
