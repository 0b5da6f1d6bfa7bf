#include <gtest/gtest.h>

#include "vx-phone/phone_discovery.h"
#include "vx-phone/phone_options.h"

namespace Veltrix::phone {
namespace {

TEST(PhoneDiscover, OptionalNameAndPicking) {
    std::string err;
    auto bare = ParsePhoneOptions({"--discover", "--seconds", "1"}, &err);
    ASSERT_TRUE(bare) << err;
    EXPECT_TRUE(bare->discover);
    EXPECT_EQ(bare->discoverName, "");
    auto named = ParsePhoneOptions({"--discover", "Edit \xE2\x80\x94 Premiere", "--discover-timeout=2"}, &err);
    ASSERT_TRUE(named) << err;
    EXPECT_EQ(named->discoverName, "Edit \xE2\x80\x94 Premiere");
    EXPECT_DOUBLE_EQ(named->discoverTimeout, 2);
    EXPECT_FALSE(ParsePhoneOptions({"--discover-timeout", "0"}, &err));

    FoundService s{"Edit", "pc.local", "127.0.0.1", 47100, {{"ver", "4"}, {"id", "abc"}, {"name", "Edit \xE2\x80\x94 Premiere"}}};
    EXPECT_TRUE(ServiceMatches(s, ""));
    EXPECT_TRUE(ServiceMatches(s, "Edit"));
    EXPECT_TRUE(ServiceMatches(s, "abc"));
    EXPECT_TRUE(ServiceMatches(s, "Edit \xE2\x80\x94 Premiere"));
    EXPECT_FALSE(ServiceMatches(s, "ver"));
    // What the network sends never reaches the terminal as control bytes.
    s.txt.push_back({"name", "x\x1b[2J\ny"});
    const std::string line = DescribeService(s);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("\"Edit\" at 127.0.0.1:47100 (pc.local) ver=4 id=abc name=Edit \xE2\x80\x94 Premiere"),
              std::string::npos);
}

}  // namespace
}  // namespace Veltrix::phone
