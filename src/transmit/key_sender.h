// Synthesised keyboard input, as records of virtual-key presses.
#pragma once

#include <cstdint>
#include <memory>

namespace Veltrix {

inline constexpr std::uint16_t kVkShift = 0x10;
inline constexpr std::uint16_t kVkSpace = 0x20;
inline constexpr std::uint16_t kVkPageUp = 0x21;
inline constexpr std::uint16_t kVkPageDown = 0x22;
inline constexpr std::uint16_t kVkLeft = 0x25;
inline constexpr std::uint16_t kVkRight = 0x27;

struct KeyEvent {
    std::uint16_t virtualKey;  // Windows virtual-key code
    bool keyUp;
};

struct KeySendResult {
    bool keyboard;        // false: this machine has no keyboard to synthesise on
    unsigned sent;        // events the system reports as sent
    unsigned long error;  // the system's error code when short
};

class KeySender {
public:
    virtual ~KeySender() = default;
    // Sends the events in one system call (one SendInput on Windows).
    virtual KeySendResult Send(const KeyEvent* events, unsigned count) = 0;
};

// SendInput on Windows; XTest on Linux when a display can be opened, otherwise
// an INFO line that no keyboard is available.
std::unique_ptr<KeySender> MakePlatformKeySender();

}  // namespace Veltrix
