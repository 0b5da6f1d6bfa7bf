#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/log.h"
#include "tests/testing/log_lines.h"
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

TEST(LogFormat, EscapingKeepsTextAndMarksEverythingElse) {
    EXPECT_EQ(EscapeLogText("J\xC3\xBCrgen\xE2\x80\x99s \xF0\x9F\x93\xB1 \xC2\xA0"),
              "J\xC3\xBCrgen\xE2\x80\x99s \xF0\x9F\x93\xB1 \xC2\xA0");  // UTF-8 and no-break space stay
    // What the pairing lines always escaped, byte for byte the same.
    EXPECT_EQ(EscapeLogText("a\r\n[x]\t\x1b\x7f\\"), "a\\x0d\\x0a[x]\\x09\\x1b\\x7f\\x5c");
    EXPECT_EQ(EscapeLogText(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeLogText("C:\\x"), "C:\\x5cx");
    EXPECT_EQ(EscapeLogText("\xC2\x85\xC2\x9B"), "\\xc2\\x85\\xc2\\x9b");  // C1 NEL and CSI
    EXPECT_EQ(EscapeLogText("\x85\x9B\xFF"), "\\x85\\x9b\\xff");          // raw bytes outside UTF-8
    EXPECT_EQ(EscapeLogText("\xE2\x82"), "\\xe2\\x82");                      // cut short
    EXPECT_EQ(EscapeLogText("\xED\xA0\x80\xC0\xAF"), "\\xed\\xa0\\x80\\xc0\\xaf");  // surrogate, overlong
}

// Whatever the arguments hold, each call is one line of the line format.
TEST(LogFile, HostileArgumentsNeverBreakOrForgeALine) {
    testing::ScopedTestDirs dirs;
    const std::string forged = "x\r\n[1999-09-09 09:09:09.999 com.veltrix.plugin:network:INFO] FAKE\nY\rZ";
    Log(kTest, kLogInfo, "name=%{public}s", forged.c_str());
    Log(kTest, kLogInfo, "c1=%s raw=%s bad=%s tab=%s", "\xC2\x9B" "31m\xC2\x85", "\x9B\x85", "\xFF\xE2\x82", "a\tb");
    Log(kTest, kLogInfo, "nul=%c| %s", 0, "\x1b]0;title\x07\x7f");
    LogText(kTest, kLogError, std::string("id=a\0b\r\n", 8));
    // Escapes that make the line too long are cut whole, never inside an escape
    // or a character, and the line keeps its CR LF.
    const std::string phone = "\xF0\x9F\x93\xB1";
    Log(kTest, kLogInfo, "%s", std::string(1023, '\n').c_str());
    Log(kTest, kLogInfo, "%s", (std::string(303, '\n') + phone + phone + phone + phone).c_str());
    // The message cap of 1023 bytes cuts a character in two: the half left is escaped.
    Log(kTest, kLogInfo, "%s", (std::string(1021, 'a') + phone).c_str());
    // Our own backslashes stay; one that could read as an escape does not.
    Log(kTest, kLogInfo, "dumps %%LOCALAPPDATA%%\\Veltrix\\crashes\\ id=%s", "a\\xb\\c");

    const std::string text = testing::ReadFileText(dirs.local() / "Veltrix" / "plugin-x.log");
    std::string bad;
    const auto lines = testing::WellFormedLogLines(text, &bad);
    ASSERT_EQ(lines.size(), 8u) << "bad line: " << bad;
    const auto message = [&](std::size_t i) { return lines[i].substr(lines[i].find("] ") + 2); };
    EXPECT_EQ(message(0), "name=x\\x0d\\x0a[1999-09-09 09:09:09.999 com.veltrix.plugin:network:INFO] FAKE\\x0aY\\x0dZ");
    EXPECT_EQ(message(1), "c1=\\xc2\\x9b31m\\xc2\\x85 raw=\\x9b\\x85 bad=\\xff\\xe2\\x82 tab=a\\x09b");
    EXPECT_EQ(message(2), "nul=\\x00| \\x1b]0;title\\x07\\x7f");
    EXPECT_EQ(message(3), "id=a\\x00b\\x0d\\x0a");
    for (std::size_t i : {4u, 5u}) EXPECT_GE(lines[i].size() + 2, 1276u) << i;  // filled up to 1279 bytes
    for (std::size_t i : {4u, 5u}) EXPECT_LE(lines[i].size() + 2, 1279u) << i;
    EXPECT_EQ(message(4).size() % 4, 0u);
    EXPECT_EQ(message(6), std::string(1021, 'a') + "\\xf0\\x9f");
    EXPECT_EQ(message(7), "dumps %LOCALAPPDATA%\\Veltrix\\crashes\\ id=a\\x5cxb\\c");
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
