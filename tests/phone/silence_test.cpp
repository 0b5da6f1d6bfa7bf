// A plug-in that pairs and then says nothing (its heartbeat clock stands
// still, no media is sent): vx-phone reports it and ends with its own status.
#include <gtest/gtest.h>

#include "tests/phone/phone_harness.h"

namespace Veltrix {
namespace {

using namespace testing;

TEST(PhoneSilenceTest, ASilentPluginEndsTheSessionWithStatusFour) {
    NetInit();
    const auto tmp = MakeTempDir("phone-silence");
    {
        PluginSide plugin;
        auto o = PhoneFor(plugin, tmp / "tokens");
        o.silenceLimit = 0.3;
        o.seconds = 60;  // the bound should the silence go unnoticed
        o.quiet = true;
        PhoneIo io;
        std::atomic<bool> stop{false};
        const int rc = phone::RunPhone(o, io.Make([&] { return plugin.WaitCode(); }), stop);
        EXPECT_EQ(rc, 4) << io.err.str();
        EXPECT_NE(io.err.str().find("the plug-in went silent: no heartbeat and no datagram for"), std::string::npos)
            << io.err.str();
        EXPECT_NE(io.out.str().find("vx-phone summary"), std::string::npos);
    }
    std::filesystem::remove_all(tmp);
    NetShutdown();
}

}  // namespace
}  // namespace Veltrix
