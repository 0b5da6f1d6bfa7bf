#include "ctrl/ui_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "support/log.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "vx-host/ui_thread.h"

namespace Veltrix {
namespace {

using testing::Eventually;

// Installed and torn down on a thread with a message loop, as the host's UI thread.
TEST(UiDispatcher, ThrowingWorkIsLoggedAndTheNextStillRuns) {
    testing::ScopedTestDirs dirs;
    host::UiThread ui;
    EXPECT_FALSE(UiDispatcherPost([] {}));  // not installed
    bool installed = false;
    ui.Run([&] { installed = UiDispatcherInstall(); });
    ASSERT_TRUE(installed);
    std::atomic<bool> ran{false};
    EXPECT_TRUE(UiDispatcherPost([] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(UiDispatcherPost(UiWork{}));  // an empty callable is caught the same way
    EXPECT_TRUE(UiDispatcherPost([&] { ran = true; }));
    EXPECT_TRUE(Eventually([&] { return ran.load(); }));
    ui.Run([] {
        UiDispatcherTearDown();
        UiDispatcherTearDown();  // twice is harmless
    });
    const std::string log = testing::ReadFileText(LogFilePath());
    std::size_t threw = 0;
    const std::string line = "ctrl:ERROR] ctrl: UI-thread callable threw";
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++threw;
    EXPECT_EQ(threw, 2u) << log;
}

TEST(UiDispatcher, TearDownFreesPendingWorkWithoutRunningIt) {
    testing::ScopedTestDirs dirs;
    host::UiThread ui;
    bool installed = false;
    ui.Run([&] { installed = UiDispatcherInstall(); });
    ASSERT_TRUE(installed);
    std::atomic<bool> secondPosted{false}, secondRan{false}, tornDown{false};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    // The surface disconnects while work is still queued behind the running item.
    ASSERT_TRUE(UiDispatcherPost([&] {
        while (!secondPosted.load()) std::this_thread::yield();
        UiDispatcherTearDown();
        tornDown = true;
    }));
    ASSERT_TRUE(UiDispatcherPost([&, token] { secondRan = true; }));
    token.reset();
    secondPosted = true;
    ASSERT_TRUE(Eventually([&] { return tornDown.load(); }));
    ui.Run([] {});  // anything the loop still had has been served
    EXPECT_FALSE(secondRan.load());
    EXPECT_TRUE(watch.expired());  // the pending work was freed
    EXPECT_FALSE(UiDispatcherPost([] {}));
}

}  // namespace
}  // namespace Veltrix
