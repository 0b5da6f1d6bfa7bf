#include "network/network_transport.h"

#include <cstring>
#include <utility>

#include "network/control_protocol.h"
#include "store/install_identity.h"
#include "support/log.h"
#include "support/paths.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "network"};
constexpr std::uint16_t kVideoPort = 47101;
constexpr std::uint16_t kAudioPort = 47102;
constexpr auto kTick = std::chrono::seconds(1);
constexpr int kInactiveTicksForEdge = 3;
constexpr std::uint32_t kUdpFailuresForIdr = 5;

long long Ll(SocketHandle s) { return static_cast<long long>(s); }

// Same length and bytes, without an early exit on the first difference.
bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool SendFrameUnlocked(SocketHandle socket, std::uint8_t opcode, const void* payload, std::size_t length) {
    if (!SendAll(socket, &opcode, 1)) {
        Log(kLog, kLogInfo, "SendControl opcode=0x%02x fd=%lld header send failed: %s", opcode, Ll(socket),
            LastSocketErrorText().c_str());
        return false;
    }
    if (payload != nullptr && length > 0 && !SendAll(socket, payload, length)) {
        Log(kLog, kLogInfo, "SendControl opcode=0x%02x payload send failed: %s", opcode,
            LastSocketErrorText().c_str());
        return false;
    }
    return true;
}
}  // namespace

NetworkTransport::NetworkTransport() : NetworkTransport(Collaborators{}) {}

NetworkTransport::NetworkTransport(Collaborators collaborators)
    : c_(std::move(collaborators)), clock_(c_.clock != nullptr ? *c_.clock : Clock::Real()) {
    if (!c_.createDialog) c_.createDialog = [] { return CreatePairingDialog(); };
    if (!c_.findPeer) c_.findPeer = [](const std::string& id) { return FindPeer(id); };
    if (!c_.upsertPeer) c_.upsertPeer = [](const TrustedPeer& p) { return UpsertPeer(p); };
    if (!c_.newCode) c_.newCode = [] { return SixDigitCode(); };
    if (!c_.newToken) c_.newToken = [] { return RandomHex(32); };
    if (!c_.createAdvertiser) c_.createAdvertiser = [] { return CreateServiceAdvertiser(); };
    NetInit();
}

NetworkTransport::~NetworkTransport() {
    Stop();
    NetShutdown();
    onControlMessage = nullptr;
    onClientReady = nullptr;
    onUdpFailures = nullptr;
}

bool NetworkTransport::AnyActive() { return anyInstanceActive ? anyInstanceActive() : false; }

void NetworkTransport::WakeWaiters() {
    { std::lock_guard<std::mutex> lock(stopMutex_); }
    stopSignal_.notify_all();
}

void NetworkTransport::StartListening(std::uint16_t port) {
    if (running_.exchange(true)) return;
    Log(kLog, kLogInfo, "StartListening control=:%u video=:%u audio=:%u", port, kVideoPort, kAudioPort);
    const SocketHandle udp = CreateUdpSender();
    if (udp != kInvalid) {
        udpSocket_.store(udp);
        Log(kLog, kLogInfo, "UDP sender socket fd=%lld", Ll(udp));
    } else {
        Log(kLog, kLogError, "UDP socket() failed: %s", LastSocketErrorText().c_str());
    }
    acceptThread_ = std::thread([this, port] { AcceptLoop(port); });
    controlPort_.store(port);
    if (c_.advertise) {
        discoverable_.store(IsDiscoverable() ? 1 : 0);
        if (discoverable_.load() == 0) {
            Log(kLog, kLogInfo, "discoverable=false — skipping mDNS advertisement");
        } else {
            // Registration waits for the responder (up to 5 s): not on the caller's
            // thread, which is the host's and must not hold up the instance it creates.
            advertiseThread_ = std::thread([this, port] { StartAdvertising(port); });
        }
    }
    pollThread_ = std::thread([this] { TransmitStatePollLoop(); });
}

void NetworkTransport::StartAdvertising(std::uint16_t port) {
    const InstallIdentity identity = LoadOrCreateIdentity();
    advertiser_ = c_.createAdvertiser();
    if (!advertiser_) {
        Log(kLog, kLogInfo, "ServiceAdvertiser factory returned null — mDNS skipped");
        return;
    }
    lastTransmitState_.store(AnyActive() ? 1 : 0);
    const HostKind host = DetectHost();
    AdvertiseConfig config;
    config.id = identity.id;
    if (host != HostKind::kPremiere) config.id += std::string("-") + HostSuffix(host);
    config.name = identity.name + " \xE2\x80\x94 " + HostName(host);  // " — "
    config.transmit = lastTransmitState_.load() != 0;
    if (!advertiser_->Start(port, config)) {
        Log(kLog, kLogError, "ServiceAdvertiser::Start failed — Bonjour discovery disabled");
        advertiser_.reset();
    }
}

void NetworkTransport::AcceptLoop(std::uint16_t port) {
    const SocketHandle listener = CreateTcpListener(port);
    if (listener == kInvalid) {
        Log(kLog, kLogError, "CreateTcpListener(:%u) failed: %s", port, LastSocketErrorText().c_str());
        return;
    }
    listenerSocket_.store(listener);
    boundPort_.store(LocalPort(listener));
    Log(kLog, kLogInfo, "Listening on :%u", port);
    while (running_.load()) {
        if (!WaitReadable(listener, 100)) continue;
        std::uint32_t ip = 0;
        std::uint16_t peerPort = 0;
        const SocketHandle s = AcceptClient(listener, ip, peerPort);
        if (s == kInvalid) continue;
        if (!running_.load()) {
            Close(s);
            break;
        }
        TuneClientSocket(s, 10, 5, 3);
        Log(kLog, kLogInfo, "Client connected fd=%lld ip=%{public}s — awaiting ClientHello", Ll(s),
            IpToString(ip).c_str());
        peerKnown_.store(false);
        {
            std::lock_guard<std::mutex> lock(peerMutex_);
            peerIp_ = ip;
            peerPort_ = peerPort;
        }
        const SocketHandle old = clientSocket_.exchange(s);
        if (old != kInvalid) {
            Log(kLog, kLogInfo, "Replaced old client fd=%lld", Ll(old));
            // Wake the old reader (and a dialog wait) now; the number is released
            // only once no thread of the old connection can still use it.
            ShutdownBoth(old);
        }
        WakeWaiters();
        JoinConnectionThreads();
        // A reader of the old connection may have finished its handshake during the
        // join; the new connection starts unpaired whatever it did.
        pairedSocket_.store(kInvalid);
        peerKnown_.store(false);
        if (old != kInvalid) {
            std::lock_guard<std::mutex> lock(sendMutex_);
            Close(old);
        }
        controlThread_ = std::thread([this, s, ip] { ControlReadLoop(s, ip); });
        heartbeatThread_ = std::thread([this, s] { HeartbeatLoop(s); });
    }
    // Stop may have run before the listener was published; then it is ours to close.
    const SocketHandle mine = listenerSocket_.exchange(kInvalid);
    Close(mine);
}

void NetworkTransport::JoinConnectionThreads() {
    if (controlThread_.joinable()) controlThread_.join();
    if (heartbeatThread_.joinable()) heartbeatThread_.join();
    const SocketHandle ended = endedSocket_.exchange(kInvalid);
    if (ended != kInvalid) {
        std::lock_guard<std::mutex> lock(sendMutex_);
        Close(ended);
    }
}

void NetworkTransport::ControlReadLoop(SocketHandle socket, std::uint32_t source) {
    const std::string token = DoPairingHandshake(socket, source);
    if (token.empty()) {
        Log(kLog, kLogInfo, "control: pair handshake failed fd=%lld — dropping", Ll(socket));
    } else if (clientSocket_.load() == socket) {
        // Pairing belongs to this socket: a replacement that was accepted meanwhile
        // is not paired by it (see IsPaired).
        pairedSocket_.store(socket);
        peerKnown_.store(true);
        if (onClientReady) onClientReady();
        const std::uint8_t state = AnyActive() ? 1 : 0;
        lastTransmitState_.store(state);
        inactiveTicks_.store(0);
        {
            // On this connection only: a replacement that arrived meanwhile must not
            // get this frame ahead of its own pairing reply.
            std::lock_guard<std::mutex> lock(sendMutex_);
            if (IsPaired(socket)) SendFrameUnlocked(socket, kTransmitState, &state, 1);
        }
        ReadCommands(socket);
    }
    SocketHandle expected = socket;
    if (clientSocket_.compare_exchange_strong(expected, kInvalid)) {
        peerKnown_.store(false);
        pairedSocket_.store(kInvalid);
        // The heartbeat may still hold this number: shut it down now and leave the
        // close to whoever joins this connection, so the number cannot be reused early.
        ShutdownBoth(socket);
        endedSocket_.store(socket);
        WakeWaiters();
        Log(kLog, kLogInfo, "control read loop exit fd=%lld — closed + peer cleared", Ll(socket));
    } else {
        Log(kLog, kLogInfo, "control read loop exit fd=%lld — stale (current=%lld), already handed off", Ll(socket),
            Ll(expected));
    }
}

void NetworkTransport::ReadCommands(SocketHandle socket) {
    const RecvFunction recv = [socket](void* buf, std::size_t n) { return RecvAll(socket, buf, n); };
    InboundMessage msg;
    while (running_.load()) {
        if (ReadInboundMessage(recv, msg) != ReadResult::kMessage) return;
        if (onControlMessage) onControlMessage(msg.opcode, msg.payload.data(), msg.payload.size());
    }
}

void NetworkTransport::HeartbeatLoop(SocketHandle socket) {
    Log(kLog, kLogInfo, "HeartbeatLoop: START fd=%lld", Ll(socket));
    auto deadline = clock_.Now() + kTick;
    int tick = 0;
    while (running_.load()) {
        {
            std::unique_lock<std::mutex> lock(stopMutex_);
            // Stop and a replacement wake the wait at once instead of after the tick.
            clock_.WaitUntil(stopSignal_, lock, deadline,
                             [&] { return !running_.load() || clientSocket_.load() != socket; });
        }
        if (!running_.load()) break;
        const SocketHandle current = clientSocket_.load();
        if (current != socket) {
            Log(kLog, kLogInfo, "HeartbeatLoop: EXIT fd=%lld — replaced by fd=%lld (tick=%d)", Ll(socket),
                Ll(current), tick + 1);
            break;
        }
        if (clock_.Now() < deadline) continue;
        deadline += kTick;
        ++tick;
        bool ok;
        {
            // Checked under sendMutex: the number cannot be closed and reused meanwhile.
            std::lock_guard<std::mutex> lock(sendMutex_);
            if (clientSocket_.load() != socket) continue;
            ok = SendFrameUnlocked(socket, kHeartbeat, nullptr, 0);
        }
        Log(kLog, kLogDebug, "HeartbeatLoop: tick=%d fd=%lld send=%{public}s", tick, Ll(socket), ok ? "ok" : "FAIL");
        if (!ok) break;
    }
    Log(kLog, kLogInfo, "HeartbeatLoop: END fd=%lld after %d ticks", Ll(socket), tick);
}

void NetworkTransport::SendTransmitState(std::uint8_t value) { SendControl(kTransmitState, &value, 1); }

void NetworkTransport::TransmitStatePollLoop() {
    Log(kLog, kLogInfo, "TransmitStatePollLoop: START");
    while (running_.load()) {
        {
            std::unique_lock<std::mutex> lock(stopMutex_);
            clock_.WaitUntil(stopSignal_, lock, clock_.Now() + kTick, [&] { return !running_.load(); });
        }
        if (!running_.load()) break;
        const bool active = AnyActive();
        if (active) {
            inactiveTicks_.store(0);
            if (lastTransmitState_.load() == 0) {
                Log(kLog, kLogInfo, "transmit: edge inactive → active");
                lastTransmitState_.store(1);
                SendTransmitState(1);
            }
        } else if (lastTransmitState_.load() == 1) {
            const int ticks = inactiveTicks_.fetch_add(1) + 1;
            if (ticks >= kInactiveTicksForEdge) {
                Log(kLog, kLogInfo, "transmit: edge active → inactive after %d ticks", ticks);
                lastTransmitState_.store(0);
                inactiveTicks_.store(0);
                SendTransmitState(0);
            }
        }
    }
    Log(kLog, kLogInfo, "TransmitStatePollLoop: END");
}

bool NetworkTransport::IsPaired(SocketHandle socket) const {
    return socket != kInvalid && peerKnown_.load() && pairedSocket_.load() == socket && clientSocket_.load() == socket;
}

bool NetworkTransport::PeerKnown() const { return IsPaired(clientSocket_.load()); }

bool NetworkTransport::SendDatagram(const void* data, std::size_t length, std::uint16_t port) {
    const SocketHandle udp = udpSocket_.load();
    if (!PeerKnown() || udp == kInvalid) return false;
    std::uint32_t ip;
    {
        std::lock_guard<std::mutex> lock(peerMutex_);
        ip = peerIp_;
    }
    const int r = SendTo(udp, data, length, ip, port);
    if (r >= 0) {
        udpFailureCount_.store(0);
        return true;
    }
    if (r == -2) {
        Log(kLog, kLogDebug, "UDP drop — kernel buffer full");
    } else {
        Log(kLog, kLogError, "sendto port=%u failed: %s", port, LastSocketErrorText().c_str());
    }
    const std::uint32_t count = udpFailureCount_.fetch_add(1) + 1;
    if (count == kUdpFailuresForIdr && onUdpFailures) {
        Log(kLog, kLogInfo, "UDP: %d consecutive send failures — requesting IDR", static_cast<int>(count));
        onUdpFailures();
    }
    return false;
}

bool NetworkTransport::SendControl(std::uint8_t opcode, const void* payload, std::size_t length) {
    if (!peerKnown_.load() && !AllowedBeforePairing(opcode)) {
        Log(kLog, kLogDebug, "SendControl opcode=0x%02x: SKIP — peer not known", opcode);
        return false;
    }
    // clientSocket is read under sendMutex so a closed number is never written to.
    std::lock_guard<std::mutex> lock(sendMutex_);
    const SocketHandle s = clientSocket_.load();
    if (s == kInvalid) {
        Log(kLog, kLogDebug, "SendControl opcode=0x%02x: SKIP — fd invalid", opcode);
        return false;
    }
    // peerKnown may still describe the connection this one just replaced.
    if (!AllowedBeforePairing(opcode) && !IsPaired(s)) {
        Log(kLog, kLogDebug, "SendControl opcode=0x%02x: SKIP — peer not known", opcode);
        return false;
    }
    return SendFrameUnlocked(s, opcode, payload, length);
}

bool NetworkTransport::SendControlTo(SocketHandle socket, std::uint8_t opcode, const void* payload,
                                     std::size_t length) {
    if (socket == kInvalid) {
        Log(kLog, kLogDebug, "SendControl opcode=0x%02x: SKIP — fd invalid", opcode);
        return false;
    }
    std::lock_guard<std::mutex> lock(sendMutex_);
    return SendFrameUnlocked(socket, opcode, payload, length);
}

bool NetworkTransport::WaitForChallengeSlot(SocketHandle socket, std::uint32_t source) {
    const auto at = throttle_.NextChallengeAt(source, clock_.Now());
    if (at <= clock_.Now()) return true;
    Log(kLog, kLogInfo, "pair: %d wrong codes — attempts are being slowed, next challenge in %lld ms",
        throttle_.TotalFailures(),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(at - clock_.Now()).count()));
    // Stop and a replacement connection end the wait; the deadline belongs to
    // the throttle, so a new connection waits for the same moment.
    std::unique_lock<std::mutex> lock(stopMutex_);
    const bool ended =
        clock_.WaitUntil(stopSignal_, lock, at, [&] { return !running_.load() || clientSocket_.load() != socket; });
    return !ended;
}

std::string NetworkTransport::DoPairingHandshake(SocketHandle socket, std::uint32_t source) {
    std::uint8_t op = 0;
    if (!RecvAll(socket, &op, 1)) {
        Log(kLog, kLogInfo, "pair: client disconnected before Hello");
        return {};
    }
    if (op != kClientHello) {
        Log(kLog, kLogInfo, "pair: expected ClientHello, got 0x%02x — dropping", op);
        return {};
    }
    std::string fields[3];
    const std::size_t limits[3] = {64, 128, 128};
    for (int i = 0; i < 3; ++i) {
        std::uint8_t n = 0;
        if (!RecvAll(socket, &n, 1) || n > limits[i]) {
            Log(kLog, kLogInfo, "pair: malformed ClientHello");
            return {};
        }
        fields[i].resize(n);
        if (n > 0 && !RecvAll(socket, fields[i].data(), n)) {
            Log(kLog, kLogInfo, "pair: malformed ClientHello");
            return {};
        }
    }
    const std::string& id = fields[0];
    const std::string& name = fields[1];
    const std::string& presented = fields[2];
    if (id.empty()) {
        Log(kLog, kLogInfo, "pair: empty iPhone UUID");
        return {};
    }
    // The phone's strings may hold any byte, NUL included: whole strings go to
    // the log, which escapes them.
    LogText(kLog, kLogInfo,
            "pair: Hello from id=" + id + " name=" + name + " token=" + (presented.empty() ? "<none>" : "<present>"));

    if (!presented.empty()) {
        const std::optional<TrustedPeer> peer = c_.findPeer(id);
        if (peer && ConstantTimeEqual(peer->token, presented)) {
            LogText(kLog, kLogInfo, "pair: trusted reconnect id=" + id);
            const auto payload = BuildShortString(presented);
            // A phone that never got the acceptance is not paired.
            if (!SendControlTo(socket, kPairAccepted, payload.data(), payload.size())) return {};
            return presented;
        }
        Log(kLog, kLogInfo, "pair: token present but not trusted — challenging");
    }

    const bool slowed = throttle_.NextChallengeAt(source, clock_.Now()) > clock_.Now();
    if (slowed && !WaitForChallengeSlot(socket, source)) {
        Log(kLog, kLogInfo, "pair: connection ended while attempts were slowed");
        return {};
    }
    const std::string code = c_.newCode();
    LogText(kLog, kLogInfo, "pair: challenge=" + code + " for " + name);
    std::unique_ptr<IPairingDialog> dialog = c_.createDialog();
    if (dialog) {
        if (slowed) dialog->SetNote("Wrong codes were entered: attempts are being slowed.");
        dialog->Show(code, name, [socket] { ShutdownReceive(socket); });
    } else {
        Log(kLog, kLogInfo, "pair: IPairingDialog factory null — headless pairing");
    }
    std::string result;
    SendControlTo(socket, kPairChallenge, nullptr, 0);
    if (!RecvAll(socket, &op, 1)) {
        Log(kLog, kLogInfo, "pair: disconnected while awaiting code");
    } else if (op != kPairingCode) {
        Log(kLog, kLogInfo, "pair: expected PairingCode, got 0x%02x — dropping", op);
        SendControlTo(socket, kPairRejected, nullptr, 0);
    } else {
        char submitted[7] = {};
        if (!RecvAll(socket, submitted, 6)) {
            Log(kLog, kLogInfo, "pair: truncated PairingCode");
        } else if (code.size() != 6 || std::memcmp(submitted, code.data(), 6) != 0) {
            LogText(kLog, kLogInfo, "pair: code mismatch submitted=" + std::string(submitted, 6) + " expected=" + code);
            throttle_.RecordFailure(source, clock_.Now());
            SendControlTo(socket, kPairRejected, nullptr, 0);
        } else {
            throttle_.RecordSuccess();
            const std::string token = c_.newToken();
            TrustedPeer peer{id, name, token, FormatPairingTime(std::chrono::system_clock::now())};
            if (!token.empty()) c_.upsertPeer(peer);
            LogText(kLog, kLogInfo, "pair: OK id=" + id + " name=" + name);
            const auto payload = BuildShortString(token);
            if (SendControlTo(socket, kPairAccepted, payload.data(), payload.size())) result = token;
        }
    }
    dialog.reset();
    return result;
}

std::string NetworkTransport::PeerAddress() {
    if (!PeerKnown()) return {};
    std::lock_guard<std::mutex> lock(peerMutex_);
    return IpToString(peerIp_);
}

void NetworkTransport::Stop() {
    if (!running_.exchange(false)) return;
    Log(kLog, kLogInfo, "Stop");
    WakeWaiters();
    peerKnown_.store(false);
    // Shut down to wake the threads; the numbers are closed only after the joins.
    const SocketHandle client = clientSocket_.exchange(kInvalid);
    ShutdownBoth(client);
    const SocketHandle listener = listenerSocket_.exchange(kInvalid);
    ShutdownBoth(listener);
    const SocketHandle udp = udpSocket_.exchange(kInvalid);
    if (acceptThread_.joinable()) acceptThread_.join();
    // An accept that raced with the exchange above may have published one more connection.
    const SocketHandle late = clientSocket_.exchange(kInvalid);
    ShutdownBoth(late);
    JoinConnectionThreads();
    if (pollThread_.joinable()) pollThread_.join();
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        Close(client);
        Close(late);
    }
    Close(listener);
    Close(udp);
    boundPort_.store(0);
    if (advertiseThread_.joinable()) advertiseThread_.join();
    if (advertiser_) {
        advertiser_->Stop();
        advertiser_.reset();
    }
}

}  // namespace Veltrix
