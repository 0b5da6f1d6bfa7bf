// The Windows DNS API back end on a real Windows system.
#include <windows.h>

#include <gtest/gtest.h>

#include "discovery/dns_sd_service_advertiser.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(WinDnsSd, RegistersBrowsesAndWithdraws) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine 8.0 aborts inside dnsapi's DnsService* calls; this test needs Windows "
                        "(the advertiser's logic is tested against the scripted responder)";
    }
    testing::ScopedTestDirs dirs;
    auto dns = CreateDnsSd();
    ASSERT_TRUE(dns);
    DnsSdServiceAdvertiser adv(dns, Clock::Real());
    ASSERT_TRUE(adv.Start(47199, {"win-test-id", "Veltrix test \xE2\x80\x94 Windows", false}));
    EXPECT_TRUE(adv.IsAdvertising());
    EXPECT_TRUE(adv.SelfHealRunning());
    EXPECT_TRUE(adv.UpdateTxt({"win-test-id", "Veltrix test \xE2\x80\x94 Windows", true}));
    adv.Stop();
    EXPECT_FALSE(adv.IsAdvertising());
}

}  // namespace
}  // namespace Veltrix
