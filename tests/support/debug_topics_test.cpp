#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "support/debug_topics.h"
#include "support/threads.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using std::chrono::milliseconds;

TEST(DebugTopics, Parsing) {
    EXPECT_EQ(ParseDebugTopics(nullptr).size(), 7u);
    EXPECT_EQ(ParseDebugTopics("").size(), 7u);
    EXPECT_TRUE(ParseDebugTopics(",").empty());
    const auto some = ParseDebugTopics("  Encoder  ,TRANSITIONS,nonsense");
    EXPECT_EQ(some, (std::set<DebugTopic>{DebugTopic::kEncoder, DebugTopic::kTransitions}));
    EXPECT_EQ(ParseDebugTopics("ui_sync,unknown"), (std::set<DebugTopic>{DebugTopic::kUiSync}));
}

TEST(DebugTopics, NamesTimestampsAndThreadHash) {
    EXPECT_STREQ(DebugTopicName(DebugTopic::kUiSync), "ui_sync");
    EXPECT_STREQ(DebugTopicLineName(DebugTopic::kOwd), "OWD");
    EXPECT_STREQ(DebugTopicName(DebugTopic::kUnknown), "unknown");
    // 2026-03-14T09:26:53.589Z
    const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1773480413)) + milliseconds(589);
    EXPECT_EQ(DebugTimestamp(t), "2026-03-14T09:26:53.589Z");
    // FNV-1a 64 of the bytes 00 00 00 00 and of 01 00 00 00.
    EXPECT_EQ(ThreadIdHash(0), 0x4d25767f9dce13f5ull);
    EXPECT_EQ(ThreadIdHash(1), 0xad2aca7747985764ull);
}

TEST(DebugTopics, RotationKeepsFiveNewest) {
    testing::ScopedTestDirs dirs;
    const auto folder = dirs.root() / "dbg";
    std::filesystem::create_directories(folder);
    auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1773480413));
    { std::ofstream(folder / "debug_fps.log") << "other topic"; }
    for (int run = 0; run < 7; ++run) {
        RotateTopicFile(folder, "encoder", t + std::chrono::seconds(run));
        std::ofstream(folder / "debug_encoder.log") << "run " << run;
    }
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {
        "debug_encoder.log",
        "debug_encoder_2026-03-14T09-26-55.000Z.log",
        "debug_encoder_2026-03-14T09-26-56.000Z.log",
        "debug_encoder_2026-03-14T09-26-57.000Z.log",
        "debug_encoder_2026-03-14T09-26-58.000Z.log",
        "debug_encoder_2026-03-14T09-26-59.000Z.log",
        "debug_fps.log",
    };
    EXPECT_EQ(names, expected);
    EXPECT_EQ(testing::ReadFileText(folder / "debug_encoder_2026-03-14T09-26-59.000Z.log"), "run 5");
}

TEST(DebugTopics, FilePathAndTopicSeven) {
    testing::ScopedTestDirs dirs;
    EXPECT_EQ(DebugFilePath("transitions.csv"), dirs.local() / "Veltrix" / "transitions.csv");
    EXPECT_EQ(DebugFilePath(""), dirs.local() / "Veltrix");
    EXPECT_EQ(DebugFilePath(nullptr), dirs.local() / "Veltrix");
    EXPECT_FALSE(DebugTopicEnabled(DebugTopic::kUnknown));
    DebugTopicLog(DebugTopic::kUnknown, "never");
}

}  // namespace
}  // namespace Veltrix
