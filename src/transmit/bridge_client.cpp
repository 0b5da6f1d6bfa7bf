#include "transmit/bridge_client.h"

#include <atomic>
#include <chrono>

#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kKbdLog{kLogSubsystem, "kbd"};

struct TransportKey {
    std::uint16_t virtualKey;
    bool withShift;
};

// Phone opcode 0x20 + i -> the host's shortcut for the same action.
constexpr TransportKey kTransportKeys[] = {
    {kVkSpace, false},  // 0x20 play/pause
    {kVkRight, false},  // 0x21 step forward
    {kVkLeft, false},   // 0x22 step back
    {kVkRight, true},   // 0x23 step forward five
    {kVkLeft, true},    // 0x24 step back five
    {0x49, true},       // 0x25 go to in: Shift+I
    {0x4F, true},       // 0x26 go to out: Shift+O
    {0x4A, false},      // 0x27 play reverse: J
    {0x4B, false},      // 0x28 stop: K
    {0x4C, false},      // 0x29 play forward: L
};
static_assert(sizeof(kTransportKeys) / sizeof(kTransportKeys[0]) ==
              kLastTransportOpcode - kFirstTransportOpcode + 1);

}  // namespace

std::u16string BridgeModuleName(HostKind kind) {
    return kind == HostKind::kAfterEffects ? u"VeltrixAE.aex" : u"VeltrixCtrl.acsrf";
}

BridgeClient::BridgeClient(ModuleLookup& lookup, KeySender& keys, Clock& clock, HostKind host)
    : lookup_(lookup), keys_(keys), clock_(clock), host_(host) {}

bool BridgeClient::TryBridge(VXCtrlOpcode op) {
    auto* found = reinterpret_cast<VXCtrlBridgeGetFn>(
        lookup_.FindLoadedExport(BridgeModuleName(host_), kVXCtrlBridgeExport));
    if (!found) return false;
    accessor_.store(found, std::memory_order_release);
    const VXCtrlBridge* bridge = found();
    if (!bridge || bridge->version != kVXCtrlBridgeVersion) return false;
    // The control surface stores the field from its own threads (connect, disconnect).
    const VXCtrlDispatchFn dispatch =
        std::atomic_ref<VXCtrlDispatchFn>(const_cast<VXCtrlBridge*>(bridge)->dispatch).load(std::memory_order_acquire);
    if (!dispatch) return false;
    return dispatch(static_cast<std::int32_t>(op)) == 0;
}

bool BridgeClient::HandleTransportOpcode(std::uint8_t opcode) {
    if (opcode < kFirstTransportOpcode || opcode > kLastTransportOpcode) return false;
    const int index = opcode - kFirstTransportOpcode;
    if (!TryBridge(static_cast<VXCtrlOpcode>(index))) {
        SendKeyTap(kTransportKeys[index].virtualKey, kTransportKeys[index].withShift);
    }
    return true;
}

void BridgeClient::SendAndCheck(const KeyEvent* events, unsigned count) {
    const KeySendResult r = keys_.Send(events, count);
    if (r.keyboard && r.sent != count) {
        Log(kKbdLog, kLogInfo, "SendInput sent=%u expected=%d err=%lu", r.sent,
            static_cast<int>(count), r.error);
    }
}

void BridgeClient::SendKeyTap(std::uint16_t virtualKey, bool withShift) {
    if (withShift) {
        const KeyEvent events[4] = {
            {kVkShift, false}, {virtualKey, false}, {virtualKey, true}, {kVkShift, true}};
        SendAndCheck(events, 4);
    } else {
        const KeyEvent events[2] = {{virtualKey, false}, {virtualKey, true}};
        SendAndCheck(events, 2);
    }
}

void BridgeClient::KeyboardNudge() {
    const bool ae = host_ == HostKind::kAfterEffects;
    const std::uint16_t first = ae ? kVkPageDown : kVkRight;
    const std::uint16_t second = ae ? kVkPageUp : kVkLeft;
    Log(kKbdLog, kLogInfo, "nudge: %s", ae ? "PgDn/PgUp (AE)" : "→← (Premiere)");
    SendKeyTap(first, false);
    const auto deadline = clock_.Now() + std::chrono::milliseconds(60);
    while (clock_.Now() < deadline) clock_.SleepUntil(deadline);
    SendKeyTap(second, false);
}

BridgeClient& ProcessBridgeClient() {
    static const std::unique_ptr<ModuleLookup> lookup = MakePlatformModuleLookup();
    static const std::unique_ptr<KeySender> keys = MakePlatformKeySender();
    static BridgeClient client(*lookup, *keys, Clock::Real(), DetectHost());
    return client;
}

bool TryBridge(VXCtrlOpcode op) { return ProcessBridgeClient().TryBridge(op); }
bool HandleTransportOpcode(std::uint8_t opcode) {
    return ProcessBridgeClient().HandleTransportOpcode(opcode);
}
void SendKeyTap(std::uint16_t virtualKey, bool withShift) {
    ProcessBridgeClient().SendKeyTap(virtualKey, withShift);
}
void KeyboardNudge() { ProcessBridgeClient().KeyboardNudge(); }

}  // namespace Veltrix
