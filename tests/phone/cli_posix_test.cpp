// The vx-phone executable itself: help, option errors and a refused connection
// give the documented exit statuses and name the problem.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "network/socket.h"

namespace {

struct Result {
    int status = -1;
    std::string output;
};

Result RunPhoneExe(const std::string& args) {
    Result r;
    const std::string cmd = std::string("'") + VX_PHONE_EXE + "' " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(PhoneCli, HelpErrorsAndRefusedConnection) {
    auto help = RunPhoneExe("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--send \"CMD ARGS\""), std::string::npos);
    auto bad = RunPhoneExe("--code 12ab56");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("vx-phone: --code: '12ab56' is not six digits"), std::string::npos) << bad.output;
    // A port nobody listens on: a free ephemeral port, closed again.
    Veltrix::NetInit();
    auto freePort = [] {
        const auto l = Veltrix::CreateTcpListener(0);
        const auto p = Veltrix::LocalPort(l);
        Veltrix::Close(l);
        return std::to_string(p);
    };
    const auto port = freePort();
    auto refused = RunPhoneExe("--port " + port + " --video-port " + freePort() + " --audio-port " + freePort() +
                               " --token-file /dev/null/x");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("cannot connect to 127.0.0.1:" + port), std::string::npos)
        << refused.output;
    Veltrix::NetShutdown();
}

}  // namespace
