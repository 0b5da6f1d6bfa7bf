// The plug-in's one network endpoint: the phone's TCP control connection (one
// phone at a time, a newer one replaces the older), pairing, the inbound reader,
// heartbeats, the transmit-state poller and the UDP media sender.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "discovery/service_advertiser.h"
#include "network/pairing_throttle.h"
#include "network/socket.h"
#include "store/trusted_peers.h"
#include "support/clock.h"
#include "ui/pairing_dialog.h"

namespace Veltrix {

class NetworkTransport {
public:
    // Collaborators, each replaceable for tests; defaults are the production ones.
    struct Collaborators {
        Clock* clock = nullptr;  // Clock::Real() when null
        std::function<std::unique_ptr<IPairingDialog>()> createDialog;     // CreatePairingDialog
        std::function<std::optional<TrustedPeer>(const std::string&)> findPeer;  // trusted store
        std::function<bool(const TrustedPeer&)> upsertPeer;                       // trusted store
        std::function<std::string()> newCode;   // SixDigitCode
        std::function<std::string()> newToken;  // RandomHex(32)
        bool advertise = true;                  // read "discoverable" and try the advertiser
        std::function<std::unique_ptr<IServiceAdvertiser>()> createAdvertiser;  // CreateServiceAdvertiser
    };

    NetworkTransport();
    explicit NetworkTransport(Collaborators collaborators);
    ~NetworkTransport();
    NetworkTransport(const NetworkTransport&) = delete;
    NetworkTransport& operator=(const NetworkTransport&) = delete;

    // Slots filled by the shared transport before StartListening.
    std::function<void(std::uint8_t, const std::uint8_t*, std::size_t)> onControlMessage;
    std::function<void()> onClientReady;
    std::function<void()> onUdpFailures;
    std::function<bool()> anyInstanceActive;  // empty: no instance is active

    // Starts the UDP sender, accept thread and poller; nothing when already running.
    // Port 0 listens on an ephemeral port (see ListeningPort).
    void StartListening(std::uint16_t port);
    // Stops and joins everything; wakes every waiter at once. Safe to repeat.
    void Stop();
    // The bound control port once listening (0 before or on failure).
    std::uint16_t ListeningPort() const { return boundPort_.load(); }

    // One UDP datagram to the paired phone; false before pairing or on failure.
    bool SendDatagram(const void* data, std::size_t length, std::uint16_t port);
    // One control frame to the current connection, honouring the pre-pairing whitelist.
    bool SendControl(std::uint8_t opcode, const void* payload, std::size_t length);
    // One control frame on a given socket, whole under sendMutex.
    bool SendControlTo(SocketHandle socket, std::uint8_t opcode, const void* payload, std::size_t length);
    // The pairing exchange; the admitted token or empty to drop the connection.
    // After wrong codes the challenge waits (PairingThrottle), counted for source
    // (the phone's IPv4 address) and in total.
    std::string DoPairingHandshake(SocketHandle socket, std::uint32_t source = 0);
    // Reads post-pairing messages from socket until it fails (used by the reader and fuzzing).
    void ReadCommands(SocketHandle socket);
    // Dotted address of the paired phone, empty when none.
    std::string PeerAddress();
    // True while the current connection is the one that completed pairing.
    bool PeerKnown() const;

private:
    void AcceptLoop(std::uint16_t port);
    void ControlReadLoop(SocketHandle socket, std::uint32_t source);
    // Waits until the throttle allows a challenge; false when the connection or the transport ended first.
    bool WaitForChallengeSlot(SocketHandle socket, std::uint32_t source);
    void HeartbeatLoop(SocketHandle socket);
    void TransmitStatePollLoop();
    bool AnyActive();
    bool IsPaired(SocketHandle socket) const;
    void SendTransmitState(std::uint8_t value);
    void WakeWaiters();
    void JoinConnectionThreads();
    void StartAdvertising(std::uint16_t port);

    Collaborators c_;
    Clock& clock_;
    std::thread acceptThread_, controlThread_, heartbeatThread_, pollThread_;
    std::atomic<bool> running_{false};
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    std::atomic<SocketHandle> listenerSocket_{kInvalid}, clientSocket_{kInvalid}, udpSocket_{kInvalid};
    std::atomic<SocketHandle> endedSocket_{kInvalid};  // ended by its reader, closed at the join
    std::atomic<bool> peerKnown_{false};
    std::atomic<SocketHandle> pairedSocket_{kInvalid};  // the connection that peerKnown describes
    std::mutex peerMutex_;
    std::uint32_t peerIp_ = 0;
    std::uint16_t peerPort_ = 0;
    std::mutex sendMutex_;
    std::atomic<std::uint32_t> udpFailureCount_{0};
    std::atomic<std::uint8_t> discoverable_{1};
    std::atomic<std::uint16_t> controlPort_{47100};
    std::atomic<std::uint16_t> boundPort_{0};
    std::atomic<std::uint8_t> lastTransmitState_{0};
    std::atomic<std::int32_t> inactiveTicks_{0};
    PairingThrottle throttle_;
    std::thread advertiseThread_;                     // runs StartAdvertising once per start
    std::unique_ptr<IServiceAdvertiser> advertiser_;  // set by advertiseThread_, used by Stop after the join
};

}  // namespace Veltrix
