// Carries the phone's host-transport commands to the host: through the
// control-surface plug-in's bridge when it is loaded and connected, otherwise
// as the host's keyboard shortcuts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ctrl/bridge.h"
#include "support/clock.h"
#include "support/paths.h"
#include "transmit/key_sender.h"
#include "transmit/module_lookup.h"

namespace Veltrix {

// First and last control opcode of the host transport commands.
inline constexpr std::uint8_t kFirstTransportOpcode = 0x20;
inline constexpr std::uint8_t kLastTransportOpcode = 0x29;

// The module that carries the bridge for a host kind: "VeltrixAE.aex" for After
// Effects, "VeltrixCtrl.acsrf" for every other host.
std::u16string BridgeModuleName(HostKind kind);

class BridgeClient {
public:
    // The seams are not owned and must outlive the client.
    BridgeClient(ModuleLookup& lookup, KeySender& keys, Clock& clock, HostKind host);

    // Finds the bridge and dispatches op; true only when the dispatch returned 0.
    bool TryBridge(VXCtrlOpcode op);

    // For opcodes 0x20..0x29: the bridge, else the key of the opcode; returns
    // true (handled). Any other opcode returns false so the caller hands it on.
    bool HandleTransportOpcode(std::uint8_t opcode);

    // One key tap (down, up), with Shift held around it when asked.
    void SendKeyTap(std::uint16_t virtualKey, bool withShift);

    // Steps one frame forward and back with the host's keys, 60 ms apart.
    void KeyboardNudge();

private:
    void SendAndCheck(const KeyEvent* events, unsigned count);

    ModuleLookup& lookup_;
    KeySender& keys_;
    Clock& clock_;
    const HostKind host_;
    // The last export found; looked up again before every use so a module that
    // went away is never called.
    std::atomic<VXCtrlBridgeGetFn> accessor_{nullptr};
};

// The process-wide client over the platform seams and the detected host.
BridgeClient& ProcessBridgeClient();

bool TryBridge(VXCtrlOpcode op);
bool HandleTransportOpcode(std::uint8_t opcode);
void SendKeyTap(std::uint16_t virtualKey, bool withShift);
void KeyboardNudge();

}  // namespace Veltrix
