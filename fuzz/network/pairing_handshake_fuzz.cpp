// The pairing exchange fed whatever a phone might send. The first byte picks how
// the collaborators answer; the rest arrives on the plug-in's side of a connected
// stream pair, followed by end-of-stream, so every read ends and nothing waits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "fuzz_env.h"
#include "log_check.h"
#include "network/network_transport.h"
#include "network/socket.h"

namespace {
using namespace Veltrix;

// Below every platform's stream buffer, so writing the whole input never blocks.
constexpr std::size_t kMaxPhoneBytes = 16 * 1024;
const std::string kTrustedId = "phone-1";
const std::string kTrustedToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kIssuedToken = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

enum Flags : std::uint8_t {
    kCancelAtOnce = 1,    // the user dismisses the dialog as soon as it shows
    kPeerStored = 2,      // the trusted store knows kTrustedId
    kNoDialog = 4,        // headless pairing
    kTokenFails = 8,      // no randomness: the new token is empty
    kCodeMalformed = 16,  // a code that is not six digits
};
std::uint8_t g_flags = 0;

// Nothing in the exchange should wait on time; if it does, it must not hang.
class NoWaitClock final : public Clock {
public:
    time_point Now() const override { return time_point(std::chrono::hours(1)); }
    void SleepUntil(time_point) override {}
    bool WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&, time_point,
                   const std::function<bool()>& pred) override {
        return pred();
    }
};

class FakeDialog final : public IPairingDialog {
public:
    void Show(const std::string&, const std::string&, std::function<void()> onCancel) override {
        if (g_flags & kCancelAtOnce) onCancel();
    }
    void Close() override {}
};

NetworkTransport& Transport() {
    static NoWaitClock clock;
    static NetworkTransport transport([] {
        NetworkTransport::Collaborators c;
        c.clock = &clock;
        c.advertise = false;
        c.createDialog = []() -> std::unique_ptr<IPairingDialog> {
            if (g_flags & kNoDialog) return nullptr;
            return std::make_unique<FakeDialog>();
        };
        c.findPeer = [](const std::string& id) -> std::optional<TrustedPeer> {
            if (!(g_flags & kPeerStored) || id != kTrustedId) return std::nullopt;
            return TrustedPeer{kTrustedId, "Phone", kTrustedToken, "2026-01-01T00:00:00Z"};
        };
        c.upsertPeer = [](const TrustedPeer& p) {
            if (p.token != kIssuedToken) std::abort();  // only a fresh token is ever stored
            return true;
        };
        c.newCode = [] { return std::string((g_flags & kCodeMalformed) ? "12345" : "123456"); };
        c.newToken = [] { return (g_flags & kTokenFails) ? std::string() : kIssuedToken; };
        return c;
    }());
    return transport;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (fuzzing::KeepFilesInTemp("pairing_handshake"), true);
    (void)ready;
    NetworkTransport& transport = Transport();
    g_flags = size > 0 ? data[0] : 0;
    const std::uint8_t* phoneBytes = size > 0 ? data + 1 : data;
    const std::size_t n = std::min(size > 0 ? size - 1 : 0, kMaxPhoneBytes);

    SocketHandle plugin = kInvalid, phone = kInvalid;
    if (!CreateStreamPair(plugin, phone)) return 0;
    if (n > 0 && !SendAll(phone, phoneBytes, n)) std::abort();
    ShutdownSend(phone);
    const std::string token = transport.DoPairingHandshake(plugin);
    // Admitted only with the stored token of a known phone, or with a freshly issued one.
    const bool trusted = (g_flags & kPeerStored) && token == kTrustedToken;
    const bool issued = !(g_flags & kTokenFails) && !(g_flags & kCodeMalformed) && token == kIssuedToken;
    if (!token.empty() && !trusted && !issued) std::abort();
    Close(plugin);
    Close(phone);
    fuzzing::CheckAndClearLog();
    return 0;
}
