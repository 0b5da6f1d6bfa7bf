#include <gtest/gtest.h>

#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

TEST(LogFolder, LocalAppDataThenUserProfile) {
    testing::ScopedTestDirs dirs;
    EXPECT_EQ(LocalDataDir(), dirs.local() / "Veltrix");
    testing::SetEnv("LOCALAPPDATA", "");
    testing::SetEnv("USERPROFILE", dirs.root().string().c_str());
    EXPECT_EQ(LogFilePath(), dirs.root() / "AppData" / "Local" / "Veltrix" / "plugin-x.log");
    testing::SetEnv("USERPROFILE", "");
    EXPECT_EQ(LogFilePath(), std::filesystem::path(".") / "Veltrix" / "plugin-x.log");
}

}  // namespace
}  // namespace Veltrix
