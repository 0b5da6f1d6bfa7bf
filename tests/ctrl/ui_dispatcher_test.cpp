#include "ctrl/ui_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "support/log.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using testing::Eventually;

TEST(UiDispatcher, ThrowingWorkIsLoggedAndTheNextStillRuns) {
    testing::ScopedTestDirs dirs;
    EXPECT_FALSE(UiDispatcherPost([] {}));  // not installed
    ASSERT_TRUE(UiDispatcherInstall());
    std::atomic<bool> ran{false};
    EXPECT_TRUE(UiDispatcherPost([] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(UiDispatcherPost(UiWork{}));  // an empty callable is caught the same way
    EXPECT_TRUE(UiDispatcherPost([&] { ran = true; }));
    EXPECT_TRUE(Eventually([&] { return ran.load(); }));
    UiDispatcherTearDown();
    UiDispatcherTearDown();  // twice is harmless
    const std::string log = testing::ReadFileText(LogFilePath());
    std::size_t threw = 0;
    const std::string line = "ctrl:ERROR] ctrl: UI-thread callable threw";
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++threw;
    EXPECT_EQ(threw, 2u) << log;
}

TEST(UiDispatcher, TearDownFreesPendingWorkWithoutRunningIt) {
    testing::ScopedTestDirs dirs;
    ASSERT_TRUE(UiDispatcherInstall());
    std::atomic<bool> started{false}, release{false}, secondRan{false};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    ASSERT_TRUE(UiDispatcherPost([&] {
        started = true;
        while (!release.load()) std::this_thread::yield();
    }));
    ASSERT_TRUE(Eventually([&] { return started.load(); }));
    ASSERT_TRUE(UiDispatcherPost([&, token] { secondRan = true; }));
    token.reset();
    std::thread teardown([] { UiDispatcherTearDown(); });
    // Once tear-down has begun nothing more is accepted; then the running work may finish.
    EXPECT_TRUE(Eventually([] { return !UiDispatcherPost([] {}); }));
    release = true;
    teardown.join();
    EXPECT_FALSE(secondRan.load());
    EXPECT_TRUE(watch.expired());  // the pending work was freed
}

}  // namespace
}  // namespace Veltrix
