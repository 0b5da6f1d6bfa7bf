#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "support/paths.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

TEST(HostDetection, TableOrder) {
    EXPECT_EQ(HostKindFromExecutableName("afterfx.exe"), HostKind::kAfterEffects);
    EXPECT_EQ(HostKindFromExecutableName("adobe media encoder.exe"), HostKind::kMediaEncoder);
    EXPECT_EQ(HostKindFromExecutableName("adobe premiere pro.exe"), HostKind::kPremiere);
    EXPECT_EQ(HostKindFromExecutableName("notepad.exe"), HostKind::kOther);
    EXPECT_EQ(HostKindFromExecutableName(""), HostKind::kOther);
    // "ame" is tested before "premiere": a name with both is Media Encoder.
    EXPECT_EQ(HostKindFromExecutableName("premiere game.exe"), HostKind::kMediaEncoder);
    EXPECT_EQ(HostKindFromExecutableName("afterfx premiere"), HostKind::kAfterEffects);
}

TEST(HostDetection, NamesAndSuffixes) {
    EXPECT_STREQ(HostName(HostKind::kPremiere), "Premiere");
    EXPECT_STREQ(HostName(HostKind::kAfterEffects), "After Effects");
    EXPECT_STREQ(HostName(HostKind::kMediaEncoder), "Media Encoder");
    EXPECT_STREQ(HostName(HostKind::kOther), "Unknown Host");
    EXPECT_STREQ(HostSuffix(HostKind::kPremiere), "");
    EXPECT_STREQ(HostSuffix(HostKind::kAfterEffects), "ae");
    EXPECT_STREQ(HostSuffix(HostKind::kMediaEncoder), "ame");
    EXPECT_STREQ(HostSuffix(HostKind::kOther), "x");
}

TEST(HostDetection, ThisTestIsAnOtherHost) {
    const std::string exe = HostExecutableName();
    EXPECT_NE(exe.find("support_paths_tests"), std::string::npos) << exe;
    EXPECT_EQ(DetectHost(), HostKind::kOther);
}

TEST(Identifiers, SixDigitCodeFormatting) {
    const std::uint8_t small[4] = {0x07, 0x00, 0x00, 0x00};  // 7
    EXPECT_EQ(FormatSixDigitCode(small), "000007");
    // 1,000,000 wraps to 0; 4,294,967,295 mod 1e6 = 967295.
    const std::uint8_t million[4] = {0x40, 0x42, 0x0F, 0x00};
    EXPECT_EQ(FormatSixDigitCode(million), "000000");
    const std::uint8_t max[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(FormatSixDigitCode(max), "967295");
    const std::regex six("^[0-9]{6}$");
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(std::regex_match(SixDigitCode(), six));
}

TEST(Identifiers, HexAndTokens) {
    const std::uint8_t bytes[3] = {0x0A, 0xF0, 0x00};
    EXPECT_EQ(FormatHex(bytes, 3), "0af000");
    EXPECT_EQ(RandomHex(0), "");
    const std::string token = RandomHex(32);
    ASSERT_EQ(token.size(), 64u);
    EXPECT_TRUE(std::regex_match(token, std::regex("^[0-9a-f]{64}$")));
    EXPECT_NE(token, RandomHex(32));
}

TEST(Identifiers, UuidFormat) {
    const std::uint8_t d4[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(FormatUuid(0x0000abcd, 0x0012, 0xef00, d4), "0000abcd-0012-ef00-0102-030405060708");
    const std::regex uuid("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string u = NewUuid();
        EXPECT_TRUE(std::regex_match(u, uuid)) << u;
        EXPECT_NE(u, kNilUuid);
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(std::string(kNilUuid).size(), 36u);
}

TEST(Identifiers, ComputerNameIsNeverEmpty) { EXPECT_FALSE(ComputerName().empty()); }

TEST(AppSupport, CreatesFolderAndRefusesAFile) {
    testing::ScopedTestDirs dirs;
    EXPECT_EQ(AppSupportDir(), dirs.roaming() / "Veltrix");
    EXPECT_TRUE(EnsureAppSupportDir());
    EXPECT_TRUE(std::filesystem::is_directory(dirs.roaming() / "Veltrix"));
    EXPECT_TRUE(EnsureAppSupportDir());  // existing folder: still fine

    std::filesystem::remove_all(dirs.roaming() / "Veltrix");
    { std::ofstream(dirs.roaming() / "Veltrix") << "not a folder"; }
    EXPECT_FALSE(EnsureAppSupportDir());
    EXPECT_TRUE(std::filesystem::is_regular_file(dirs.roaming() / "Veltrix"));
}

}  // namespace
}  // namespace Veltrix
