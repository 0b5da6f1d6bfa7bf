// The terminal setup view driven by scripted keys on a manual clock, against
// real store files.
#include "ui/terminal_setup_view.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>

#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

// Hands out the scripted keys one per read; with none left, lets time run to the
// deadline, and ends the input after `idleReads` such reads.
class ScriptedTerminal final : public ISetupTerminal {
public:
    ScriptedTerminal(testing::ManualClock& clock, std::string keys, int idleReads = 0)
        : clock_(clock), keys_(keys.begin(), keys.end()), idle_(idleReads) {}
    std::optional<unsigned char> ReadKey(Clock::time_point deadline) override {
        if (!keys_.empty()) {
            const unsigned char c = static_cast<unsigned char>(keys_.front());
            keys_.pop_front();
            return c;
        }
        if (idle_-- <= 0) closed_ = true;
        else clock_.AdvanceTo(deadline);
        return std::nullopt;
    }
    void Write(const std::string& text) override { screens.push_back(text); }
    bool Closed() const override { return closed_; }
    std::vector<std::string> screens;

private:
    testing::ManualClock& clock_;
    std::deque<char> keys_;
    int idle_;
    bool closed_ = false;
};

TEST(TerminalSetupView, KeysRenameToggleAndForgetWithConfirmation) {
    testing::ScopedTestDirs dirs;
    UpsertPeer({"p1", "Anna's iPhone", std::string(64, 'a'), "2026-11-30T09:00:00Z"});
    UpsertPeer({"p2", "Ben\xff", std::string(64, 'b'), ""});
    testing::ManualClock clock;
    SetupModel model({[] { return std::vector<AdapterAddress>{{"eth0", "10.0.0.2"}}; }, nullptr, 47100});
    // Rename (with a typo fixed), discoverable off, forget #1 but keep it at first, then forget it, quit.
    ScriptedTerminal terminal(clock, std::string("nStudioX\x7f 2\r") + "d" + "f1\rn" + "f1\ry" + "f9\r" + "q");
    std::atomic<bool> stop{false};
    RunTerminalSetup(model, terminal, clock, stop);

    EXPECT_EQ(LoadOrCreateIdentity().name, "Studio 2");
    EXPECT_FALSE(IsDiscoverable());
    const auto peers = ListPeers();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].id, "p2");
    ASSERT_FALSE(terminal.screens.empty());
    const std::string& first = terminal.screens.front();
    EXPECT_EQ(first.rfind("\x1b[H\x1b[2J", 0), 0u);
    EXPECT_NE(first.find("1. Anna's iPhone  (paired 2026-11-30)"), std::string::npos);
    EXPECT_NE(first.find("2. Ben\\xff\n"), std::string::npos);  // a phone's name cannot drive the terminal
    EXPECT_NE(first.find("veltrix://pair?v=3&id="), std::string::npos);
    bool asked = false, kept = false, missing = false;
    for (const auto& s : terminal.screens) {
        asked |= s.find("Forget paired iPhone: Anna's iPhone\nThe iPhone will need to re-pair") != std::string::npos;
        kept |= s.find("\nKept.\n") != std::string::npos;
        missing |= s.find("No iPhone with that number.") != std::string::npos;
    }
    EXPECT_TRUE(asked);
    EXPECT_TRUE(kept);
    EXPECT_TRUE(missing);
    EXPECT_NE(terminal.screens.back().find("  1. Ben"), std::string::npos);
}

// The question names a phone; the answer forgets that phone, even when
// another process changed the list (and the rows were rebuilt) meanwhile.
TEST(TerminalSetupView, ForgetActsOnThePhoneAskedAbout) {
    testing::ScopedTestDirs dirs;
    UpsertPeer({"p1", "Anna", std::string(64, 'a'), ""});
    UpsertPeer({"p2", "Ben", std::string(64, 'b'), ""});
    SetupModel model({[] { return std::vector<AdapterAddress>{}; }, nullptr, 47100});
    model.RefreshTrustedPeers();
    TerminalSetupView view(model);
    for (unsigned char k : std::string("f2\r")) view.HandleKey(k);
    RemovePeer("p1");  // another process
    model.RefreshTrustedPeers();
    EXPECT_NE(view.Render().find("Forget paired iPhone: Ben\n"), std::string::npos);
    view.HandleKey('y');
    EXPECT_NE(view.Render().find("iPhone forgotten."), std::string::npos);
    EXPECT_TRUE(ListPeers().empty());

    UpsertPeer({"p3", "Cleo", std::string(64, 'c'), ""});
    UpsertPeer({"p4", "Dan", std::string(64, 'd'), ""});
    model.RefreshTrustedPeers();
    for (unsigned char k : std::string("f1\r")) view.HandleKey(k);
    RemovePeer("p3");
    model.RefreshTrustedPeers();  // Dan is row 1 now
    view.HandleKey('y');
    EXPECT_NE(view.Render().find("That iPhone was already gone."), std::string::npos);
    ASSERT_EQ(ListPeers().size(), 1u);
    EXPECT_EQ(ListPeers()[0].id, "p4");
}

// Texts read from disk cannot drive the terminal either.
TEST(TerminalSetupView, InstanceIdAndPairedDateFromDiskAreEscaped) {
    testing::ScopedTestDirs dirs;
    EnsureAppSupportDir();
    {
        std::ofstream(InstallIdentityPath(), std::ios::binary)
            << R"({"id":"id\u001b[2Jx","name":"N","discoverable":"true","enableAsyncHwEncoders":"false"})";
        std::ofstream(TrustedFilePath(DetectHost()), std::ios::binary)
            << "[{\"id\":\"p\",\"name\":\"P\",\"token\":\"t\",\"firstPaired\":\"20\\u001b]0;x\\u0007ZZ\"}]\n";
    }
    SetupModel model({[] { return std::vector<AdapterAddress>{}; }, nullptr, 47100});
    model.RefreshIdentityAndNetwork();
    model.RefreshTrustedPeers();
    const std::string screen = TerminalSetupView(model).Render();
    EXPECT_NE(screen.find("Instance ID: id\\x1b[2Jx\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("(paired 20\\x1b]0;x\\x07ZZ)"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x07'), std::string::npos);
    EXPECT_EQ(screen.find("\x1b[2Jx"), std::string::npos);
}

TEST(TerminalSetupView, StatusRowsRefreshEvery500MsAndShowWhenExpanded) {
    testing::ScopedTestDirs dirs;
    testing::ManualClock clock;
    int snapshots = 0;
    SetupModel model({[] { return std::vector<AdapterAddress>{}; },
                      [&] {
                          SetupStatusSnapshot s;
                          s.active = ++snapshots > 1;
                          return s;
                      },
                      47100});
    const auto start = clock.Now();
    ScriptedTerminal terminal(clock, "a", 3);
    std::atomic<bool> stop{false};
    RunTerminalSetup(model, terminal, clock, stop);
    EXPECT_EQ(snapshots, 4);  // at opening and after each of the three 500 ms waits
    EXPECT_EQ(clock.Now() - start, std::chrono::milliseconds(1500));
    const std::string& last = terminal.screens.back();
    EXPECT_NE(last.find("○ Ready · waiting for iPhone"), std::string::npos);
    EXPECT_NE(last.find("\nLIVE STREAM\n  Status          Idle · waiting for iPhone\n"), std::string::npos);
    EXPECT_NE(last.find("  IP              (no network)\n"), std::string::npos);
    EXPECT_NE(last.find("No iPhones paired yet."), std::string::npos);
}

}  // namespace
}  // namespace Veltrix
