#include "network/network_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include "network/control_protocol.h"
#include "support/log.h"
#include "tests/testing/log_lines.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/recording_dialog.h"
#include "tests/testing/test_env.h"
#include "process_census.h"
#include "test_phone.h"

namespace Veltrix {
namespace {

using testing::TestPhone;

using testing::DialogRecord;
using testing::Eventually;
using testing::RecordingDialog;

class NetworkTransportTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    void TearDown() override { net_->Stop(); }

    void Start() {
        NetworkTransport::Collaborators c;
        c.clock = &clock_;
        c.createDialog = [this] { return std::make_unique<RecordingDialog>(dialog_); };
        c.advertise = false;
        net_ = std::make_unique<NetworkTransport>(c);
        net_->anyInstanceActive = [this] {
            ++polls_;
            return active_.load();
        };
        net_->onClientReady = [this] { ++ready_; };
        net_->onControlMessage = [this](std::uint8_t op, const std::uint8_t* p, std::size_t n) {
            std::lock_guard<std::mutex> l(msgMutex_);
            messages_.push_back({op, std::vector<std::uint8_t>(p, p + n)});
        };
        net_->StartListening(0);
        ASSERT_TRUE(Eventually([&] { return net_->ListeningPort() != 0; }));
    }

    std::string WaitCode() { return testing::TakeCode(dialog_); }

    // First pairing; returns the issued token.
    std::string Pair(TestPhone& phone, const std::string& id = "phone-1") {
        EXPECT_TRUE(phone.Hello(id, "Test iPhone", ""));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        EXPECT_TRUE(phone.Code(WaitCode()));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x33);
        return phone.ShortString();
    }

    std::string LogText() { return testing::ReadFileText(LogFilePath()); }

    testing::ScopedTestDirs dirs_;
    testing::ManualClock clock_;
    DialogRecord dialog_;
    std::atomic<bool> active_{false};
    std::atomic<int> polls_{0};  // the poller asks once per tick
    std::atomic<int> ready_{0};
    std::mutex msgMutex_;
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> messages_;
    std::unique_ptr<NetworkTransport> net_;
};

TEST_F(NetworkTransportTest, FirstPairingThenTrustedReconnect) {
    std::string token;
    {
        TestPhone phone(net_->ListeningPort());
        token = Pair(phone);
        ASSERT_EQ(token.size(), 64u);
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x35);  // transmit state right after pairing
        EXPECT_EQ(phone.NextByte(), 0);
        EXPECT_TRUE(Eventually([&] { return net_->PeerKnown(); }));
        EXPECT_EQ(net_->PeerAddress(), "127.0.0.1");
        EXPECT_EQ(ready_.load(), 1);
        auto stored = FindPeer("phone-1");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->token, token);
        EXPECT_EQ(stored->name, "Test iPhone");
    }
    EXPECT_TRUE(Eventually([&] { return !net_->PeerKnown(); }));
    TestPhone again(net_->ListeningPort());
    ASSERT_TRUE(again.Hello("phone-1", "Test iPhone", token));
    EXPECT_EQ(again.NextNonHeartbeat(), 0x33);
    EXPECT_EQ(again.ShortString(), token);
    EXPECT_TRUE(Eventually([&] { return ready_.load() == 2; }));
    EXPECT_EQ(dialog_.shown, 1);
    EXPECT_NE(LogText().find("pair: trusted reconnect id=phone-1"), std::string::npos);
    EXPECT_EQ(LogText().find(token), std::string::npos);  // tokens never reach the log
}

TEST_F(NetworkTransportTest, WrongTokenIsChallengedAndReplaced) {
    std::string token;
    {
        TestPhone phone(net_->ListeningPort());
        token = Pair(phone);
    }
    std::string other = token;
    other[0] = other[0] == 'a' ? 'b' : 'a';
    TestPhone phone(net_->ListeningPort());
    ASSERT_TRUE(phone.Hello("phone-1", "Test iPhone", other));
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
    ASSERT_TRUE(phone.Code(WaitCode()));
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x33);
    const std::string fresh = phone.ShortString();
    EXPECT_NE(fresh, token);
    EXPECT_EQ(FindPeer("phone-1")->token, fresh);
    EXPECT_EQ(ListPeers().size(), 1u);
}

TEST_F(NetworkTransportTest, RejectionsAndMalformedHellos) {
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello("phone-2", "X", ""));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        std::string code = WaitCode();
        code[5] = code[5] == '0' ? '1' : '0';
        ASSERT_TRUE(phone.Code(code));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x34);
        EXPECT_TRUE(phone.WaitClosed());
    }
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello("phone-2", "X", ""));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        WaitCode();
        ASSERT_TRUE(phone.Send({0x01}));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x34);
        EXPECT_TRUE(phone.WaitClosed());
    }
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello("phone-2", "X", ""));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        WaitCode();
        ASSERT_TRUE(phone.Send({0x32, '1', '2', '3', '4', '5'}));
        ShutdownBoth(phone.socket());  // five digits, then the phone goes away
        EXPECT_TRUE(Eventually([&] { return LogText().find("pair: truncated PairingCode") != std::string::npos; }));
    }
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello(std::string(65, 'a'), "X", ""));
        EXPECT_TRUE(phone.WaitClosed());
    }
    {
        TestPhone phone(net_->ListeningPort());
        const std::string token = Pair(phone, std::string(64, 'b'));
        EXPECT_EQ(token.size(), 64u);
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("pair: code mismatch submitted="), std::string::npos);
    EXPECT_NE(log.find("pair: expected PairingCode, got 0x01 — dropping"), std::string::npos);
    EXPECT_NE(log.find("pair: malformed ClientHello"), std::string::npos);
    EXPECT_NE(log.find("control: pair handshake failed fd="), std::string::npos);
    EXPECT_NE(log.find("— closed + peer cleared"), std::string::npos);
    EXPECT_TRUE(Eventually([&] { return ready_.load() == 1; }));
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> l(dialog_.m);
        return dialog_.shown == dialog_.destroyed;
    }));
}

// A user who mistypes twice pairs at once on the third try; after three wrong
// codes the next challenge waits on the clock (the window and the log say why),
// and a pairing starts the count again.
TEST_F(NetworkTransportTest, WrongCodesSlowTheNextChallenge) {
    const auto wrong = [&] {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello("guesser", "X", ""));
        ASSERT_EQ(phone.NextNonHeartbeat(), 0x31);
        std::string code = WaitCode();
        code[0] = code[0] == '0' ? '1' : '0';
        ASSERT_TRUE(phone.Code(code));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x34);
        EXPECT_TRUE(phone.WaitClosed());
    };
    const auto shown = [&] {
        std::lock_guard<std::mutex> l(dialog_.m);
        return dialog_.shown;
    };
    wrong();
    wrong();
    {
        TestPhone phone(net_->ListeningPort());
        EXPECT_EQ(Pair(phone).size(), 64u);
    }
    for (int i = 0; i < 3; ++i) wrong();
    EXPECT_EQ(LogText().find("attempts are being slowed"), std::string::npos);
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello("phone-1", "Test iPhone", ""));
        ASSERT_TRUE(Eventually([&] {
            return LogText().find("pair: 3 wrong codes — attempts are being slowed, next challenge in 1000 ms") !=
                   std::string::npos;
        }));
        const int before = shown();
        ASSERT_TRUE(clock_.WaitForBlocked(3));  // poller, heartbeat and the handshake
        EXPECT_EQ(shown(), before);             // no code made before the wait is over
        clock_.Advance(std::chrono::seconds(1));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        EXPECT_TRUE(phone.Code(WaitCode()));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x33);
        std::lock_guard<std::mutex> l(dialog_.m);
        EXPECT_EQ(dialog_.note, "Wrong codes were entered: attempts are being slowed.");
        dialog_.note.clear();
    }
    wrong();  // the pairing reset the count: no wait
    std::lock_guard<std::mutex> l(dialog_.m);
    EXPECT_EQ(dialog_.note, "");
}

// A hostile phone's id, name and code reach the pairing lines escaped once,
// byte for byte as these lines always read, and no line can be forged.
TEST_F(NetworkTransportTest, PhoneStringsNeverForgeALogLine) {
    const std::string id = "ph\r\n[1999-09-09 09:09:09.999 c.v.p:network:INFO] FAKE\\";  // 64 bytes at most
    const std::string name = std::string("Na\tme\x1b[2J\0\xC2\x9B", 12);
    {
        TestPhone phone(net_->ListeningPort());
        ASSERT_TRUE(phone.Hello(id, name, ""));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
        WaitCode();
        ASSERT_TRUE(phone.Send({0x32, '1', 0, '\r', '\n', 0x85, '6'}));
        EXPECT_EQ(phone.NextNonHeartbeat(), 0x34);
    }
    TestPhone phone(net_->ListeningPort());
    ASSERT_TRUE(phone.Hello(id, name, ""));
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
    ASSERT_TRUE(phone.Code(WaitCode()));
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x33);
    ASSERT_TRUE(Eventually([&] { return LogText().find("pair: OK") != std::string::npos; }));

    const std::string log = LogText();
    std::string bad;
    const auto lines = testing::WellFormedLogLines(log, &bad);
    ASSERT_FALSE(lines.empty()) << "bad line: " << bad;
    for (const std::string& line : lines) EXPECT_NE(line.rfind("[1999", 0), 0u) << line;
    const std::string idLog = "ph\\x0d\\x0a[1999-09-09 09:09:09.999 c.v.p:network:INFO] FAKE\\x5c";
    const std::string nameLog = "Na\\x09me\\x1b[2J\\x00\\xc2\\x9b";
    EXPECT_NE(log.find("pair: Hello from id=" + idLog), std::string::npos) << log;
    EXPECT_NE(log.find(" name=" + nameLog + " token=<none>\r\n"), std::string::npos);
    EXPECT_NE(log.find("pair: code mismatch submitted=1\\x00\\x0d\\x0a\\x856 expected="), std::string::npos);
    EXPECT_NE(log.find(" for " + nameLog + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("pair: OK id=" + idLog), std::string::npos);
}

TEST_F(NetworkTransportTest, CancelWhileWaitingEndsTheConnection) {
    TestPhone phone(net_->ListeningPort());
    ASSERT_TRUE(phone.Hello("phone-3", "Y", ""));
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x31);
    WaitCode();
    std::function<void()> cancel;
    {
        std::lock_guard<std::mutex> l(dialog_.m);
        cancel = dialog_.onCancel;
    }
    ASSERT_TRUE(cancel);
    cancel();
    EXPECT_TRUE(phone.WaitClosed());
    EXPECT_TRUE(Eventually([&] { return LogText().find("pair: disconnected while awaiting code") != std::string::npos; }));
}

TEST_F(NetworkTransportTest, PrePairingWhitelistOnTheWire) {
    TestPhone phone(net_->ListeningPort());
    // The connection is logged before it is published to senders: retry until it is.
    ASSERT_TRUE(Eventually([&] { return net_->SendControl(kHeartbeat, nullptr, 0); }));
    const std::uint8_t info[10] = {};
    EXPECT_FALSE(net_->SendControl(kStreamInfo, info, sizeof info));
    EXPECT_EQ(phone.NextByte(), 0x09);
    EXPECT_EQ(phone.NextByte(200), -2);  // nothing else was written
    EXPECT_FALSE(net_->SendDatagram("x", 1, 47101));
}

TEST_F(NetworkTransportTest, HeartbeatsFollowTheClock) {
    TestPhone phone(net_->ListeningPort());
    ASSERT_TRUE(clock_.WaitForBlocked(2));  // poller and heartbeat
    for (int i = 0; i < 3; ++i) {
        clock_.Advance(std::chrono::seconds(1));
        EXPECT_EQ(phone.NextByte(), 0x09);
    }
    clock_.Advance(std::chrono::milliseconds(500));
    EXPECT_EQ(phone.NextByte(200), -2);
}

TEST_F(NetworkTransportTest, TransmitStateEdgesAreDebounced) {
    TestPhone phone(net_->ListeningPort());
    Pair(phone);
    ASSERT_EQ(phone.NextNonHeartbeat(), 0x35);
    ASSERT_EQ(phone.NextByte(), 0);
    // One poll per tick: the next tick starts once this one has read the state.
    auto tick = [&] {
        ASSERT_TRUE(clock_.WaitForBlocked(2));
        const int before = polls_.load();
        clock_.Advance(std::chrono::seconds(1));
        ASSERT_TRUE(Eventually([&] { return polls_.load() > before; }));
    };
    active_ = true;
    tick();
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x35);
    EXPECT_EQ(phone.NextByte(), 1);
    active_ = false;
    tick();
    tick();
    active_ = true;
    tick();
    active_ = false;
    tick();
    tick();
    tick();
    EXPECT_EQ(phone.NextNonHeartbeat(), 0x35);
    EXPECT_EQ(phone.NextByte(), 0);
    const std::string log = LogText();
    EXPECT_EQ(log.find("edge inactive → active"), log.rfind("edge inactive → active"));
    EXPECT_NE(log.find("transmit: edge active → inactive after 3 ticks"), std::string::npos);
}

TEST_F(NetworkTransportTest, ReaderHandsMessagesAndDropsUnknownOpcodes) {
    TestPhone phone(net_->ListeningPort());
    Pair(phone);
    ASSERT_TRUE(phone.Send({0x05, 0x01, 0x13, 0x02, 'h', 'w', 0x21, 0x18, 0x38, 0x04, 1, 3, 1, 0}));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> l(msgMutex_);
        return messages_.size() == 4;
    }));
    {
        std::lock_guard<std::mutex> l(msgMutex_);
        EXPECT_EQ(messages_[0].first, 0x05);
        EXPECT_EQ(messages_[0].second, std::vector<std::uint8_t>{1});
        EXPECT_EQ(messages_[1].second, (std::vector<std::uint8_t>{2, 'h', 'w'}));
        EXPECT_EQ(messages_[2].first, 0x21);
        EXPECT_TRUE(messages_[2].second.empty());
        EXPECT_EQ(messages_[3].second.size(), 6u);
    }
    ASSERT_TRUE(phone.Send({0x06}));
    EXPECT_TRUE(phone.WaitClosed());
    EXPECT_TRUE(Eventually([&] {
        return LogText().find("control: unknown opcode 0x06 — dropping client") != std::string::npos;
    }));
}

TEST_F(NetworkTransportTest, ReplacementKeepsTheNewPhone) {
    TestPhone first(net_->ListeningPort());
    Pair(first, "phone-a");
    ASSERT_TRUE(Eventually([&] { return net_->PeerKnown(); }));
    TestPhone second(net_->ListeningPort());
    EXPECT_TRUE(first.WaitClosed());
    Pair(second, "phone-b");
    ASSERT_TRUE(Eventually([&] { return net_->PeerKnown(); }));
    const std::string log = LogText();
    EXPECT_NE(log.find("Replaced old client fd="), std::string::npos);
    EXPECT_NE(log.find("already handed off"), std::string::npos);
    EXPECT_NE(log.find("HeartbeatLoop: EXIT fd="), std::string::npos);
    EXPECT_TRUE(net_->PeerKnown());
    EXPECT_TRUE(net_->SendControl(kPlaybackState, "\x01", 1));
    EXPECT_EQ(second.NextNonHeartbeat(), 0x35);
    second.NextByte();
    EXPECT_EQ(second.NextNonHeartbeat(), 0x1A);
}

TEST_F(NetworkTransportTest, UdpFailuresRequestOneKeyFramePerRun) {
    TestPhone phone(net_->ListeningPort());
    Pair(phone);
    ASSERT_TRUE(Eventually([&] { return net_->PeerKnown(); }));
    std::atomic<int> idr{0};
    net_->onUdpFailures = [&] { ++idr; };
    const SocketHandle rx = CreateUdpReceiver(0);
    const std::uint16_t okPort = LocalPort(rx);
    std::vector<std::uint8_t> huge(70000);  // above the datagram limit: sendto fails
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(net_->SendDatagram(huge.data(), huge.size(), okPort));
    EXPECT_TRUE(net_->SendDatagram("ok", 2, okPort));
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(net_->SendDatagram(huge.data(), huge.size(), okPort));
    EXPECT_EQ(idr.load(), 1);
    char buf[8];
    EXPECT_EQ(RecvWithTimeout(rx, buf, sizeof buf, 2000), 2);
    Close(rx);
    EXPECT_NE(LogText().find("UDP: 5 consecutive send failures — requesting IDR"), std::string::npos);
}

TEST_F(NetworkTransportTest, StopWakesWaitersAtOnce) {
    TestPhone phone(net_->ListeningPort());
    ASSERT_TRUE(clock_.WaitForBlocked(2));
    const auto t0 = std::chrono::steady_clock::now();
    net_->Stop();
    net_->Stop();
    // Time never moved, so any wait on a tick would hang here.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_TRUE(phone.WaitClosed());
    const std::string log = LogText();
    EXPECT_EQ(log.find("] Stop"), log.rfind("] Stop"));
    // Restartable.
    net_->StartListening(0);
    ASSERT_TRUE(Eventually([&] { return net_->ListeningPort() != 0; }));
    TestPhone again(net_->ListeningPort());
    EXPECT_TRUE(again.Hello("id", "n", ""));
    EXPECT_EQ(again.NextNonHeartbeat(), 0x31);
}

TEST_F(NetworkTransportTest, ListenerPortInUse) {
    const SocketHandle blocker = CreateTcpListener(0);
    const std::uint16_t port = LocalPort(blocker);
    NetworkTransport::Collaborators c;
    c.clock = &clock_;
    c.advertise = false;
    NetworkTransport other(c);
    other.StartListening(port);
    char expect[64];
    std::snprintf(expect, sizeof expect, "CreateTcpListener(:%u) failed: ", port);
    EXPECT_TRUE(Eventually([&] { return LogText().find(expect) != std::string::npos; }));
    other.Stop();
    Close(blocker);
}

TEST_F(NetworkTransportTest, AReplacedHandshakeNeverPairsItsSuccessor) {
    // The first phone's trusted reconnect is held inside the store lookup while a
    // second phone replaces it; when the lookup returns, the old reader must not
    // leave the new, unpaired connection marked as paired.
    const std::string token(64, 'c');
    // Opens the held lookup; also on the way out of a failed assertion, so the
    // transport's threads can always be joined.
    struct Gate {
        std::promise<void> p;
        std::shared_future<void> f = p.get_future().share();
        bool open = false;
        void Open() {
            if (!open) p.set_value();
            open = true;
        }
        ~Gate() { Open(); }
    } gate;
    std::atomic<int> lookups{0}, ready{0};
    NetworkTransport::Collaborators c;
    c.clock = &clock_;
    c.advertise = false;
    c.findPeer = [&](const std::string& id) -> std::optional<TrustedPeer> {
        if (++lookups == 1) gate.f.wait();
        return TrustedPeer{id, "n", token, "2026-01-01T00:00:00Z"};
    };
    NetworkTransport other(c);
    other.onClientReady = [&] { ++ready; };
    other.StartListening(0);
    [&] {
        ASSERT_TRUE(Eventually([&] { return other.ListeningPort() != 0; }));
        TestPhone first(other.ListeningPort());
        ASSERT_TRUE(first.Hello("phone-1", "A", token));
        ASSERT_TRUE(Eventually([&] { return lookups.load() == 1; }));
        TestPhone second(other.ListeningPort());
        ASSERT_TRUE(Eventually([&] { return LogText().find("Replaced old client fd=") != std::string::npos; }));
        gate.Open();
        ASSERT_TRUE(Eventually([&] { return LogText().find("— stale (current=") != std::string::npos; }));
        const std::uint8_t info[10] = {};
        EXPECT_FALSE(other.PeerKnown());
        EXPECT_FALSE(other.SendControl(kStreamInfo, info, sizeof info));
        EXPECT_FALSE(other.SendDatagram("x", 1, 47101));
        EXPECT_EQ(ready.load(), 0);
        EXPECT_EQ(second.NextByte(200), -2);  // nothing reached the unpaired phone
        ASSERT_TRUE(second.Hello("phone-1", "B", token));
        EXPECT_EQ(second.NextNonHeartbeat(), 0x33);
        EXPECT_EQ(second.ShortString(), token);
        EXPECT_TRUE(Eventually([&] { return other.PeerKnown() && ready.load() == 1; }));
    }();
    gate.Open();
    other.Stop();
}

// 500 unless VX_STRESS_CYCLES asks for fewer (the slow builds do).
int StressCycles() {
    const char* v = std::getenv("VX_STRESS_CYCLES");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : 500;
}

TEST_F(NetworkTransportTest, StressConnectPairDisconnectAndReplace) {
    const int cycles = StressCycles();
    std::string token;
    {
        TestPhone phone(net_->ListeningPort());
        token = Pair(phone);
        ASSERT_EQ(phone.NextNonHeartbeat(), 0x35);
    }
    // A trusted phone that got its acceptance and, after onClientReady, its transmit state. Each phone connects only once the
    // previous one was served: the listener's backlog is 1, and a connect beyond it
    // would wait for the kernel's SYN retransmission (1 s, then 3 s, ...).
    auto connect = [&](int i) -> std::unique_ptr<TestPhone> {
        auto phone = std::make_unique<TestPhone>(net_->ListeningPort());
        if (!phone->Hello("phone-1", "Test iPhone", token) || phone->NextNonHeartbeat() != 0x33 ||
            phone->ShortString() != token || phone->NextNonHeartbeat() != 0x35 || phone->NextByte() != 0) {
            ADD_FAILURE() << "cycle " << i;
            return nullptr;
        }
        return phone;
    };
    // The steady state to compare with: one paired phone, its reader and heartbeat
    // running, everything of earlier connections joined and closed.
    auto settled = [&] { return clock_.WaitForBlocked(2); };
    auto first = connect(-1);
    ASSERT_TRUE(first && settled());
    const int handles = testing::OpenHandleCount();
    const int threads = testing::ThreadCount();
    first.reset();

    for (int i = 0; i < cycles; ++i) ASSERT_TRUE(connect(i));  // connect, pair, disconnect

    auto current = connect(cycles);
    ASSERT_TRUE(current);
    for (int i = 0; i < cycles; ++i) {  // a new phone replaces a paired one
        auto next = std::make_unique<TestPhone>(net_->ListeningPort());
        ASSERT_TRUE(next->Hello("phone-1", "Test iPhone", token));
        ASSERT_TRUE(current->WaitClosed()) << i;
        ASSERT_EQ(next->NextNonHeartbeat(), 0x33) << i;
        ASSERT_EQ(next->ShortString(), token) << i;
        ASSERT_EQ(next->NextNonHeartbeat(), 0x35) << i;
        ASSERT_EQ(next->NextByte(), 0) << i;
        current = std::move(next);
    }
    ASSERT_TRUE(settled());
    EXPECT_TRUE(net_->PeerKnown());
    EXPECT_EQ(testing::OpenHandleCount(), handles);
    EXPECT_EQ(testing::ThreadCount(), threads);
    current.reset();

    auto last = connect(-2);  // still accepting
    ASSERT_TRUE(last);
    EXPECT_EQ(ready_.load(), 2 * cycles + 4);
}

}  // namespace
}  // namespace Veltrix
