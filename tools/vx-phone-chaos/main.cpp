// vx-phone-chaos: a hostile phone for the soak. From a seed it draws a schedule of
// actions against the plug-in's control port (pairings with a code and with a
// token, every phone command with good and bad payloads, clean and abrupt
// disconnects, half-open sockets, malformed frames, stalls mid-frame, floods of
// connections, UDP garbage) and prints each action as it runs, so a failing
// seed can be replayed. At the end it prints one line:
//   chaos: seed=N actions=N replacements=N pairings=N rejected=N sessions=N commands=N floods=N udp=N failures=N paired=ID,ID
// and exits 1 when a pairing with the right secret was refused, a wrong token
// passed, or a replaced connection stayed open.
//
//   vx-phone-chaos --port P --log PLUGIN_LOG --seed N --seconds S [--udp-port P]... [--ids A,B]
// The soak's checks, with the same readers as the plug-in and the tests:
//   vx-phone-chaos --probe ID --port P --log PLUGIN_LOG   a fresh pairing with a code; prints the
//                                                    milliseconds to the challenge and to acceptance
//   vx-phone-chaos --check-log FILE                  every line well formed (exit 1 names the first bad one)
//   vx-phone-chaos --check-store TRUSTED INSTALL --expect A,B   the trusted list holds exactly these ids
//                                                    and the install identity reads back
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/json_store.h"
#include "store/trusted_peers.h"
#include "tests/testing/log_lines.h"
#include "vx-phone/control_client.h"
#include "vx-phone/phone_net.h"

namespace {

using namespace Veltrix;
using namespace Veltrix::phone;
using Steady = std::chrono::steady_clock;

struct Options {
    std::uint16_t port = 47130;
    std::string log;
    std::uint64_t seed = 1;
    int seconds = 20;
    std::vector<std::uint16_t> udpPorts;
    std::vector<std::string> ids{"chaos-phone-a", "chaos-phone-b"};
};

struct Tally {
    int actions = 0, replacements = 0, pairings = 0, rejected = 0, sessions = 0, commands = 0, floods = 0, udp = 0, failures = 0;
    std::set<std::string> paired;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The newest pairing code the plug-in logged after `offset`, waiting up to 5 s.
std::optional<std::string> CodeFromLog(const std::string& log, std::size_t offset) {
    static const std::regex code("challenge=([0-9]{6})");
    for (int i = 0; i < 100; ++i) {
        const std::string text = ReadAll(log);
        if (text.size() > offset) {
            std::string found;
            const std::string tail = text.substr(offset);
            for (auto it = std::sregex_iterator(tail.begin(), tail.end(), code); it != std::sregex_iterator(); ++it)
                found = (*it)[1];
            if (!found.empty()) return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

std::size_t LogSize(const std::string& log) { return ReadAll(log).size(); }

int RawConnect(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        // A host that is gone must not turn the schedule into a busy loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return -1;
    }
    return s;
}

// Closing with a zero linger sends RST instead of FIN.
void Reset(int s) {
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(s);
}

void SendBytes(int s, const std::vector<std::uint8_t>& b) {
    if (!b.empty()) (void)::send(s, b.data(), b.size(), MSG_NOSIGNAL);
}

class Chaos {
public:
    explicit Chaos(Options o) : o_(std::move(o)), rng_(o_.seed) {}

    int Run() {
        std::printf("chaos: seed=%llu seconds=%d port=%u\n", static_cast<unsigned long long>(o_.seed), o_.seconds,
                    unsigned(o_.port));
        const auto end = Steady::now() + std::chrono::seconds(o_.seconds);
        while (Steady::now() < end && t_.actions < 100000) {
            ++t_.actions;
            switch (Pick(12)) {
                case 0: case 1: PairAndDrive(/*withCode=*/true); break;
                case 2: case 3: case 4: PairAndDrive(/*withCode=*/false); break;
                case 5: WrongSecrets(); break;
                case 6: MalformedFrames(); break;
                case 7: StallMidFrame(); break;
                case 8: Flood(); break;
                case 9: UdpGarbage(); break;
                case 10: HalfOpen(); break;
                default: ReplaceWithSecondIdentity(); break;
            }
            std::fflush(stdout);
        }
        std::string paired;
        for (const auto& id : t_.paired) paired += (paired.empty() ? "" : ",") + id;
        std::printf("chaos: seed=%llu actions=%d replacements=%d pairings=%d rejected=%d sessions=%d commands=%d floods=%d udp=%d "
                    "failures=%d paired=%s\n",
                    static_cast<unsigned long long>(o_.seed), t_.actions, t_.replacements, t_.pairings, t_.rejected, t_.sessions,
                    t_.commands, t_.floods, t_.udp, t_.failures, paired.c_str());
        return t_.failures == 0 ? 0 : 1;
    }

private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    std::vector<std::uint8_t> RandomBytes(std::size_t n) {
        std::vector<std::uint8_t> b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
        return b;
    }
    const std::string& AnyId() { return o_.ids[static_cast<std::size_t>(Pick(static_cast<int>(o_.ids.size())))]; }

    // Pairs one identity (with a code, or with its token when it has one) and,
    // when accepted, sends commands and leaves in one of the ways a phone leaves.
    void PairAndDrive(bool withCode) { PairAndDrive(withCode, AnyId()); }
    void PairAndDrive(bool withCode, const std::string id) {
        const bool hasToken = tokens_.count(id) != 0;
        if (!withCode && !hasToken) withCode = true;
        std::printf("action %d: pair %s with %s\n", t_.actions, id.c_str(), withCode ? "a code" : "its token");
        std::string error;
        const SocketHandle s = ConnectTcp("127.0.0.1", o_.port, 2000, &error);
        if (s == kInvalid) {
            std::printf("  connect failed: %s\n", error.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return;  // a flood's leftovers can fill the backlog for a moment
        }
        auto client = std::make_unique<ControlClient>(s);
        const std::size_t offset = LogSize(o_.log);
        std::atomic<bool> stop{false};
        const std::string name = Pick(4) == 0 ? "Chaos \"phone\"\r\n\x1b[2J\\x41 \xff" : "Chaos phone";
        const PairResult r = client->Pair(id, name, withCode ? "" : tokens_[id],
                                          [&] { return CodeFromLog(o_.log, offset); }, 8000, stop);
        std::printf("  pairing: %s%s\n", PairOutcomeName(r.outcome), r.challenged ? " (challenged)" : "");
        if (r.outcome != PairResult::kAccepted) {
            // A connection that a later action replaced is not a failure of the plug-in.
            if (r.outcome == PairResult::kRejected) ++t_.failures;
            client->Stop();
            return;
        }
        ++t_.pairings;
        tokens_[id] = r.token;
        t_.paired.insert(id);
        std::mutex m;
        std::vector<std::string> engines;
        client->Start(
            [&](const ControlEvent& e) {
                std::lock_guard<std::mutex> lock(m);
                for (const auto& en : e.engines) engines.push_back(en.id);
            },
            [](const std::string&) {});
        ++t_.sessions;
        const int count = 1 + Pick(25);
        for (int i = 0; i < count; ++i) {
            std::string engine = "no-such-engine";
            {
                std::lock_guard<std::mutex> lock(m);
                if (!engines.empty() && Pick(2)) engine = engines[static_cast<std::size_t>(Pick(static_cast<int>(engines.size())))];
            }
            SendCommand(*client, engine);
            if (Pick(3) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(Pick(200)));
        }
        Leave(std::move(client), s);
    }

    void SendCommand(ControlClient& client, const std::string& engine) {
        static const char* kGood[] = {
            "idr", "codec h264", "codec hevc", "gop all-intra", "gop short", "gop auto", "gop long", "gop 7",
            "maxres 0", "maxres 360", "maxres 720", "maxres 1080", "maxres 99999", "mode bitrate", "mode quality 0",
            "mode quality 100", "mode vbr 55", "engine", "play-pause", "step-forward", "step-back", "step-forward-5",
            "step-back-5", "goto-in", "goto-out", "play-reverse", "stop", "play-forward", "marker chaos",
            "snapshot 720 h264 long quality", "snapshot 0 hevc all-intra bitrate", "SetBitrate 255 255 255 255",
        };
        std::string text;
        switch (Pick(4)) {
            case 0: text = "engine " + engine; break;
            case 1: text = "snapshot " + std::to_string(Pick(3000)) + (Pick(2) ? " h264 short vbr " : " hevc long quality ") + engine; break;
            case 2: {
                // Any opcode of the phone's range with a payload of any length.
                std::ostringstream raw;
                raw << "raw 0x" << std::hex << (0x01 + Pick(0x2a));
                for (const auto b : RandomBytes(static_cast<std::size_t>(Pick(12)))) raw << ' ' << std::hex << int(b);
                text = raw.str();
                break;
            }
            default: text = kGood[Pick(static_cast<int>(sizeof kGood / sizeof kGood[0]))]; break;
        }
        std::string error;
        if (const auto cmd = ParsePhoneCommand(text, &error)) {
            ++t_.commands;
            std::printf("  send %s\n", text.c_str());
            client.Send(cmd->opcode, cmd->payload);
        }
    }

    // Clean stop, abrupt reset, or a socket left open without a word.
    void Leave(std::unique_ptr<ControlClient> client, SocketHandle s) {
        switch (Pick(3)) {
            case 0:
                std::printf("  leave: clean\n");
                client->Stop();
                break;
            case 1: {
                std::printf("  leave: reset\n");
                linger l{1, 0};
                ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
                client->Stop();
                break;
            }
            default:
                std::printf("  leave: silent for a while, then reset\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(500 + Pick(2500)));
                linger l{1, 0};
                ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
                client->Stop();
                break;
        }
    }

    void WrongSecrets() {
        const std::string id = AnyId();
        const bool code = Pick(2) == 0;
        std::printf("action %d: wrong %s for %s\n", t_.actions, code ? "code" : "token", id.c_str());
        std::string error;
        const SocketHandle s = ConnectTcp("127.0.0.1", o_.port, 2000, &error);
        if (s == kInvalid) return;
        ControlClient client(s);
        std::atomic<bool> stop{false};
        const std::string token(64, 'f');
        const PairResult r = client.Pair(id, "Chaos liar", code ? "" : token,
                                         [] { return std::optional<std::string>("000000"); }, 8000, stop);
        std::printf("  pairing: %s\n", PairOutcomeName(r.outcome));
        // One chance in a million that a random code is right; a wrong token must never pass.
        if (r.outcome == PairResult::kAccepted && !code) ++t_.failures;
        if (r.outcome == PairResult::kRejected) ++t_.rejected;
        client.Stop();
    }

    // Bytes no phone would send, before pairing or after a hello.
    void MalformedFrames() {
        std::printf("action %d: malformed frames\n", t_.actions);
        const int s = RawConnect(o_.port);
        if (s < 0) return;
        std::vector<std::uint8_t> b;
        switch (Pick(4)) {
            case 0: b = RandomBytes(static_cast<std::size_t>(1 + Pick(600))); break;
            case 1: b = {kClientHello, 200, 'x'}; break;  // a length beyond the frame
            case 2: b = BuildClientHello(AnyId(), std::string(300, 'n'), std::string(300, 't')); b.resize(b.size() / 2); break;
            default:
                b = BuildClientHello("", "", "");
                for (const auto x : RandomBytes(64)) b.push_back(x);
                break;
        }
        SendBytes(s, b);
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(300)));
        Pick(2) ? Reset(s) : (void)::close(s);
    }

    void StallMidFrame() {
        std::printf("action %d: stall mid-frame\n", t_.actions);
        const int s = RawConnect(o_.port);
        if (s < 0) return;
        auto hello = BuildClientHello(AnyId(), "Chaos staller", "");
        hello.resize(1 + static_cast<std::size_t>(Pick(static_cast<int>(hello.size()) - 1)));
        SendBytes(s, hello);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 + Pick(3000)));
        Pick(2) ? Reset(s) : (void)::close(s);
    }

    void Flood() {
        const int n = 20 + Pick(60);
        std::printf("action %d: flood of %d connections\n", t_.actions, n);
        ++t_.floods;
        std::vector<int> open;
        for (int i = 0; i < n; ++i) {
            const int s = RawConnect(o_.port);
            if (s >= 0) open.push_back(s);
        }
        for (const int s : open) Pick(2) ? Reset(s) : (void)::close(s);
    }

    void HalfOpen() {
        std::printf("action %d: half-open after a hello\n", t_.actions);
        const int s = RawConnect(o_.port);
        if (s < 0) return;
        SendBytes(s, BuildClientHello(AnyId(), "Chaos half-open", ""));
        ::shutdown(s, SHUT_WR);
        std::this_thread::sleep_for(std::chrono::milliseconds(500 + Pick(2000)));
        Reset(s);
    }

    void UdpGarbage() {
        std::printf("action %d: udp garbage\n", t_.actions);
        ++t_.udp;
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) return;
        std::vector<std::uint16_t> ports = o_.udpPorts;
        ports.push_back(o_.port);
        for (int i = 0; i < 50; ++i) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(ports[static_cast<std::size_t>(Pick(static_cast<int>(ports.size())))]);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const auto b = RandomBytes(static_cast<std::size_t>(Pick(1500)));
            (void)::sendto(s, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        ::close(s);
    }

    // A paired session of one identity stays open while another identity
    // connects and pairs: the plug-in must drop the first connection.
    void ReplaceWithSecondIdentity() {
        std::printf("action %d: second identity replaces the first\n", t_.actions);
        const std::string first = o_.ids.front();
        std::string error;
        const SocketHandle s = ConnectTcp("127.0.0.1", o_.port, 2000, &error);
        if (s == kInvalid) return;
        auto client = std::make_unique<ControlClient>(s);
        const std::size_t offset = LogSize(o_.log);
        std::atomic<bool> stop{false};
        const bool token = tokens_.count(first) != 0;
        const PairResult r = client->Pair(first, "Chaos first", token ? tokens_[first] : "",
                                          [&] { return CodeFromLog(o_.log, offset); }, 8000, stop);
        std::printf("  first pairing: %s\n", PairOutcomeName(r.outcome));
        if (r.outcome != PairResult::kAccepted) {
            if (r.outcome == PairResult::kRejected) ++t_.failures;
            client->Stop();
            return;
        }
        ++t_.pairings;
        tokens_[first] = r.token;
        t_.paired.insert(first);
        std::atomic<bool> ended{false};
        client->Start([](const ControlEvent&) {}, [&](const std::string&) { ended = true; });
        PairAndDrive(Pick(2) == 0, o_.ids.back());
        for (int i = 0; i < 100 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::printf("  first connection %s\n", ended ? "was closed by the plug-in" : "is still open");
        if (!ended && o_.ids.size() > 1) ++t_.failures;
        ++t_.replacements;
        client->Stop();
    }

    Options o_;
    std::mt19937_64 rng_;
    Tally t_;
    std::map<std::string, std::string> tokens_;
};

int Probe(const Options& o, const std::string& id) {
    std::string error;
    const auto start = Steady::now();
    const SocketHandle s = ConnectTcp("127.0.0.1", o.port, 2000, &error);
    if (s == kInvalid) {
        std::printf("probe: connect failed: %s\n", error.c_str());
        return 1;
    }
    ControlClient client(s);
    const std::size_t offset = LogSize(o.log);
    std::atomic<bool> stop{false};
    long long challengeMs = -1;
    const PairResult r = client.Pair(id, "Soak probe", "", [&] {
        challengeMs = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
        return CodeFromLog(o.log, offset);
    }, 8000, stop);
    const long long totalMs = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
    std::printf("probe: %s challenge_ms=%lld accepted_ms=%lld\n", PairOutcomeName(r.outcome), challengeMs, totalMs);
    client.Stop();
    return r.outcome == PairResult::kAccepted ? 0 : 1;
}

int CheckLog(const std::string& path) {
    const std::string text = ReadAll(path);
    std::string bad;
    const auto lines = testing::WellFormedLogLines(text, &bad);
    if (!text.empty() && lines.empty()) {
        std::printf("check-log: %s: malformed line: %s\n", path.c_str(), testing::PrintableUtf8(bad) ? bad.c_str() : "(unprintable)");
        return 1;
    }
    std::printf("check-log: %s: %zu lines, all well formed\n", path.c_str(), lines.size());
    return 0;
}

int CheckStore(const std::string& trusted, const std::string& install, const std::vector<std::string>& expect) {
    std::set<std::string> want(expect.begin(), expect.end()), have;
    int failures = 0;
    for (const TrustedPeer& p : ParseTrustedPeers(ReadAll(trusted))) {
        if (!have.insert(p.id).second) {
            std::printf("check-store: %s listed twice\n", p.id.c_str());
            ++failures;
        }
        if (p.token.size() != 64) {
            std::printf("check-store: %s has a token of %zu characters\n", p.id.c_str(), p.token.size());
            ++failures;
        }
    }
    if (have != want) {
        std::string h, w;
        for (const auto& x : have) h += x + " ";
        for (const auto& x : want) w += x + " ";
        std::printf("check-store: trusted list holds [%s], the phones that paired are [%s]\n", h.c_str(), w.c_str());
        ++failures;
    }
    const std::string text = ReadAll(install);
    if (JsonGetString(text, "id").size() != 36 || JsonGetString(text, "name").empty()) {
        std::printf("check-store: install identity does not read back: %s\n", text.c_str());
        ++failures;
    }
    std::printf("check-store: %zu trusted phones, install id %s, %d problems\n", have.size(), JsonGetString(text, "id").c_str(), failures);
    return failures == 0 ? 0 : 1;
}

std::vector<std::string> SplitIds(const std::string& text) {
    std::vector<std::string> ids;
    std::stringstream ss(text);
    for (std::string id; std::getline(ss, id, ',');) if (!id.empty()) ids.push_back(id);
    return ids;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string probe, trusted, install;
    std::vector<std::string> expect;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vx-phone-chaos: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") o.port = static_cast<std::uint16_t>(std::stoi(next()));
        else if (a == "--log") o.log = next();
        else if (a == "--seed") o.seed = std::stoull(next());
        else if (a == "--seconds") o.seconds = std::stoi(next());
        else if (a == "--udp-port") o.udpPorts.push_back(static_cast<std::uint16_t>(std::stoi(next())));
        else if (a == "--ids") o.ids = SplitIds(next());
        else if (a == "--probe") probe = next();
        else if (a == "--check-log") return CheckLog(next());
        else if (a == "--check-store") {
            trusted = next();
            install = next();
        } else if (a == "--expect") expect = SplitIds(next());
        else {
            std::fprintf(stderr, "usage: vx-phone-chaos --port P --log PLUGIN_LOG --seed N --seconds S [--udp-port P]... [--ids A,B]\n");
            return 2;
        }
    }
    if (!trusted.empty()) return CheckStore(trusted, install, expect);
    if (!probe.empty() && !o.log.empty()) return Probe(o, probe);
    if (o.log.empty() || o.ids.empty()) {
        std::fprintf(stderr, "vx-phone-chaos: --log and at least one id are needed\n");
        return 2;
    }
    return Chaos(std::move(o)).Run();
}
