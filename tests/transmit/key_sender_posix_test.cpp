#include <gtest/gtest.h>

#include "support/log.h"
#include "tests/testing/test_env.h"
#include "transmit/key_sender.h"

namespace Veltrix {
namespace {

TEST(PosixKeySender, WithoutADisplayThereIsNoKeyboardAndItSaysSo) {
    testing::ScopedTestDirs dirs;
    testing::SetEnv("DISPLAY", nullptr);
    auto keys = MakePlatformKeySender();
    const KeyEvent tap[2] = {{kVkSpace, false}, {kVkSpace, true}};
    const KeySendResult r = keys->Send(tap, 2);
    EXPECT_FALSE(r.keyboard);
    EXPECT_EQ(r.sent, 0u);
    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("kbd:INFO] no keyboard available"), std::string::npos) << log;
}

}  // namespace
}  // namespace Veltrix
