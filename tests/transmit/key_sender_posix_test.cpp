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

TEST(PosixKeySender, KeysGoToTheFocusedWindowOnlyWhenAskedFor) {
    testing::ScopedTestDirs dirs;
    testing::SetEnv("DISPLAY", ":0");
    testing::SetEnv("VX_KEYBOARD_NUDGE", nullptr);
    auto keys = MakePlatformKeySender();
    const KeyEvent tap[2] = {{kVkRight, false}, {kVkRight, true}};
    EXPECT_FALSE(keys->Send(tap, 2).keyboard);
    testing::SetEnv("VX_KEYBOARD_NUDGE", "yes");
    EXPECT_FALSE(keys->Send(tap, 2).keyboard);
    const std::string log = testing::ReadFileText(LogFilePath());
    EXPECT_NE(log.find("kbd:INFO] no keyboard available (VX_KEYBOARD_NUDGE is not 1) — 2 key events not sent"),
              std::string::npos)
        << log;
    testing::SetEnv("DISPLAY", nullptr);
}

}  // namespace
}  // namespace Veltrix
