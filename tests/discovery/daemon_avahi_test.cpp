// The advertiser against the real avahi-daemon on loopback
// (scripts/avahi-loopback.sh; test.sh starts it and sets VX_AVAHI_REQUIRED=1).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/advertise_names.h"
#include "discovery/dns_sd_service_advertiser.h"
#include "network/network_transport.h"
#include "store/install_identity.h"
#include "support/paths.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using testing::Eventually;

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status != nullptr) *status = rc;
    return out;
}

std::string Script() {
    const char* s = std::getenv("VX_AVAHI_SCRIPT");
    return s != nullptr ? s : "scripts/avahi-loopback.sh";
}

// avahi-browse -p writes bytes outside printable ASCII as \DDD.
std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 && isdigit(static_cast<unsigned char>(s[i + 1])) &&
            isdigit(static_cast<unsigned char>(s[i + 2])) && isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 3))));
            i += 3;
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            out.push_back(s[++i]);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct Seen {
    std::string name, host, address, port, txt;
};

// The resolved "_veltrix._tcp" services on loopback, as avahi-browse reports them.
std::vector<Seen> Browse() {
    std::vector<Seen> seen;
    const std::string out = Shell("avahi-browse -rtp _veltrix._tcp 2>/dev/null");
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.rfind("=;", 0) != 0) continue;
        std::vector<std::string> f;
        std::size_t a = 0;
        for (int i = 0; i < 9; ++i) {
            const std::size_t b = line.find(';', a);
            f.push_back(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
            a = b == std::string::npos ? line.size() : b + 1;
        }
        f.push_back(line.substr(a));
        seen.push_back({Unescape(f[3]), f[6], f[7], f[8], Unescape(f[9])});
    }
    return seen;
}

bool Has(const std::vector<Seen>& seen, const std::string& name) {
    for (const auto& s : seen) {
        if (s.name == name) return true;
    }
    return false;
}

class AvahiDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        int status = 0;
        Shell("bash " + Script() + " status", &status);
        if (status == 0) return;
        const char* required = std::getenv("VX_AVAHI_REQUIRED");
        if (required != nullptr && std::string(required) == "1") {
            FAIL() << "no avahi-daemon answers on the system bus, but the suite started one";
        }
        GTEST_SKIP() << "no avahi-daemon reachable: run `scripts/avahi-loopback.sh start` first";
    }
    testing::ScopedTestDirs dirs_;
};

TEST_F(AvahiDaemonTest, TransportIsSeenAndSurvivesDaemonRestart) {
    (void)LoadOrCreateIdentity();
    SetInstallName("Studio \xE2\x80\x94 Edit");
    const std::string display = std::string("Studio \xE2\x80\x94 Edit \xE2\x80\x94 ") + HostName(DetectHost());
    NetworkTransport::Collaborators c;
    NetworkTransport net(c);
    net.StartListening(47130);

    std::vector<Seen> seen;
    ASSERT_TRUE(Eventually([&] { return Has(seen = Browse(), display); }));
    for (const auto& s : seen) {
        if (s.name != display) continue;
        EXPECT_EQ(s.port, "47130");
        EXPECT_EQ(s.address, "127.0.0.1");
        const std::string id = LoadOrCreateIdentity().id + "-" + HostSuffix(DetectHost());
        EXPECT_EQ(s.txt, "\"ver=4\" \"id=" + id + "\" \"name=" + display + "\" \"transmit=0\"") << s.txt;
    }

    int status = 0;
    const std::string out = Shell("bash " + Script() + " restart 2>&1", &status);
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "the running daemon is not ours to restart";
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(Eventually([&] { return Has(Browse(), display); }));
    net.Stop();
    EXPECT_TRUE(Eventually([&] { return !Has(Browse(), display); }));
}

TEST_F(AvahiDaemonTest, SameNameTwiceGetsDistinctNames) {
    const AdvertiseConfig config{"twin-id", "Twin \xE2\x80\x94 Name", false};
    auto first = CreateServiceAdvertiser();
    auto second = CreateServiceAdvertiser();
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(first->Start(47191, config));
    ASSERT_TRUE(second->Start(47192, config));
    auto* a = static_cast<DnsSdServiceAdvertiser*>(first.get());
    auto* b = static_cast<DnsSdServiceAdvertiser*>(second.get());
    EXPECT_EQ(a->RegisteredName(), ServiceInstanceName(config.name));
    EXPECT_NE(a->RegisteredName(), b->RegisteredName());
    EXPECT_EQ(b->Heal().Name(), b->RegisteredName());  // the self-heal watches the adopted name
    const std::string other = Utf16ToUtf8(b->RegisteredName().substr(0, b->RegisteredName().find(u"._veltrix")));
    EXPECT_TRUE(Eventually([&] {
        const auto seen = Browse();
        return Has(seen, config.name) && Has(seen, other);
    }));
}

}  // namespace
}  // namespace Veltrix
