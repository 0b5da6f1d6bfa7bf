#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/log.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

const LogChannel kTest{kLogSubsystem, "main"};

std::vector<std::string> Lines(const std::filesystem::path& p) {
    std::vector<std::string> out;
    std::istringstream in(testing::ReadFileText(p));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

TEST(LogFormat, QualifiersAreStrippedAndFormatsCut) {
    EXPECT_EQ(StripQualifiers("a %{public}s b %{private}d"), "a %s b %d");
    EXPECT_EQ(StripQualifiers("x %{public"), "x %");  // unterminated: the rest is dropped
    EXPECT_EQ(StripQualifiers("100%% done"), "100%% done");
    EXPECT_EQ(StripQualifiers(std::string(2000, 'f').c_str()).size(), 1023u);
    EXPECT_EQ(StripQualifiers(nullptr), "");
}

TEST(LogFormat, DebugSwitchNeedsExactlyOne) {
    EXPECT_EQ(MinimumLevelFromEnv("1"), kLogDebug);
    EXPECT_EQ(MinimumLevelFromEnv("0"), kLogInfo);
    EXPECT_EQ(MinimumLevelFromEnv("11"), kLogInfo);
    EXPECT_EQ(MinimumLevelFromEnv("true"), kLogInfo);
    EXPECT_EQ(MinimumLevelFromEnv(nullptr), kLogInfo);
}

TEST(LogFormat, FileNamesPerHost) {
    EXPECT_EQ(LogFileName(HostKind::kPremiere), "plugin.log");
    EXPECT_EQ(LogFileName(HostKind::kAfterEffects), "plugin-ae.log");
    EXPECT_EQ(LogFileName(HostKind::kMediaEncoder), "plugin-ame.log");
    EXPECT_EQ(LogFileName(HostKind::kOther), "plugin-x.log");
}

TEST(LogFile, LineFormatLevelsAndTruncation) {
    testing::ScopedTestDirs dirs;
    const auto path = dirs.local() / "Veltrix" / "plugin-x.log";
    ASSERT_EQ(LogFilePath(), path);
    Log(kTest, kLogInfo, "StopPushAudio");
    Log(kTest, kLogError, "value %{public}s=%d", "abc", 7);
    Log(kTest, kLogFault, "boom");
    Log(kTest, 9, "odd level");
    Log(LogChannel{nullptr, nullptr}, kLogInfo, "no channel");
    Log(kTest, kLogDebug, "hidden unless VX_LOG_DEBUG=1");
    Log(kTest, kLogInfo, "%s", std::string(3000, 'm').c_str());

    const std::string text = testing::ReadFileText(path);
    const auto lines = Lines(path);
    ASSERT_EQ(lines.size(), LogEnabled(kLogDebug) ? 7u : 6u) << text;
    const std::regex head(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} com\.veltrix\.plugin:main:INFO\] StopPushAudio\r$)");
    EXPECT_TRUE(std::regex_match(lines[0], head)) << lines[0];
    EXPECT_NE(lines[1].find("com.veltrix.plugin:main:ERROR] value abc=7\r"), std::string::npos);
    EXPECT_NE(lines[2].find(":main:FAULT] boom"), std::string::npos);
    EXPECT_NE(lines[3].find(":main:LOG] odd level"), std::string::npos);
    EXPECT_NE(lines[4].find(" ?:?:INFO] no channel"), std::string::npos);
    // The message is cut at 1023 characters; the line keeps its CR LF.
    const std::string& longLine = lines.back();
    EXPECT_EQ(longLine.size() - longLine.find("] ") - 2, 1023u + 1u /* CR */);
}

TEST(LogFile, RotatesOnlyPastFourMebibytes) {
    testing::ScopedTestDirs dirs;
    const auto path = dirs.root() / "rot.log";
    auto rotated = path;
    rotated += ".1";
    { std::ofstream(rotated) << "older"; }
    { std::ofstream(path, std::ios::binary) << std::string(4194304, 'a'); }
    AppendLogLine(path, "x\r\n", 3);  // exactly 4 MiB: appended
    EXPECT_EQ(std::filesystem::file_size(path), 4194307u);
    EXPECT_EQ(testing::ReadFileText(rotated), "older");

    std::filesystem::resize_file(path, 4194305);
    AppendLogLine(path, "new\r\n", 5);  // 4,194,305 bytes: moved aside first
    EXPECT_EQ(testing::ReadFileText(path), "new\r\n");
    EXPECT_EQ(std::filesystem::file_size(rotated), 4194305u);
}

TEST(LogFile, UnwritableFolderIsSilent) {
    testing::ScopedTestDirs dirs;
    { std::ofstream(dirs.local() / "Veltrix") << "a file where the folder should be"; }
    Log(kTest, kLogError, "lost");  // must neither throw nor crash
    SUCCEED();
}

TEST(LogFile, ManyThreadsKeepEveryLineWhole) {
    testing::ScopedTestDirs dirs;
    constexpr int kThreads = 8, kLinesEach = 300;
    std::vector<std::thread> threads;
    const std::string pad(200, 'p');
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &pad] {
            for (int i = 0; i < kLinesEach; ++i) Log(kTest, kLogInfo, "t=%d i=%d %s", t, i, pad.c_str());
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = Lines(dirs.local() / "Veltrix" / "plugin-x.log");
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesEach));
    std::map<int, int> next;
    const std::regex re(R"(^\[[^\]]+:main:INFO\] t=(\d+) i=(\d+) p{200}\r$)");
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, re)) << l;
        const int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(next[t], i);  // each thread's lines arrive whole and in order
        next[t] = i + 1;
    }
}

}  // namespace
}  // namespace Veltrix
