#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/debug_topics.h"
#include "support/threads.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

// Whole-process behaviour: set-up once, files truncated, line format, per-topic locking.
// The variable is read once per process, so this test sets it before the first use.
TEST(DebugTopics, SetupWritesEnabledTopicsOnly) {
    testing::ScopedTestDirs dirs;
    const auto folder = dirs.local() / "Veltrix";
    std::filesystem::create_directories(folder);
    { std::ofstream(folder / "debug_encoder.log", std::ios::binary) << "from the last run\n"; }
    testing::SetEnv("VELTRIX_DEBUG_TOPICS", "encoder, transitions");
    EXPECT_TRUE(DebugTopicEnabled(DebugTopic::kFps));  // on until the set-up has run
    InitDebugTopics();
    EXPECT_TRUE(DebugTopicEnabled(DebugTopic::kEncoder));
    EXPECT_FALSE(DebugTopicEnabled(DebugTopic::kFps));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) DebugTopicLog(DebugTopic::kEncoder, "t%d line %d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    DebugTopicLog(DebugTopic::kFps, "off");
    DebugTopicLog(DebugTopic::kTransitions, nullptr);

    EXPECT_FALSE(std::filesystem::exists(folder / "debug_fps.log"));
    EXPECT_EQ(testing::ReadFileText(folder / "debug_transitions.log").substr(24),
              " | " + std::to_string(ThreadIdHash(CurrentThreadId())) + " | TRANSITIONS | \n");
    std::istringstream in(testing::ReadFileText(folder / "debug_encoder.log"));
    std::string line;
    int count = 0;
    const std::regex re(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \| \d+ \| ENCODER \| t\d line \d+$)");
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, re)) << line;
        ++count;
    }
    EXPECT_EQ(count, 400);
    int rotated = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const auto n = e.path().filename().string();
        if (n.rfind("debug_encoder_", 0) == 0) {
            ++rotated;
            EXPECT_EQ(testing::ReadFileText(e.path()), "from the last run\n");
        }
    }
    EXPECT_EQ(rotated, 1);
    testing::SetEnv("VELTRIX_DEBUG_TOPICS", nullptr);
}

}  // namespace
}  // namespace Veltrix
