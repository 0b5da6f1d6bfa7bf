// Windows keys: one SendInput call per batch of keyboard records.
#include <windows.h>

#include <vector>

#include "transmit/key_sender.h"

namespace Veltrix {
namespace {

class WinKeySender final : public KeySender {
public:
    KeySendResult Send(const KeyEvent* events, unsigned count) override {
        std::vector<INPUT> inputs(count);
        for (unsigned i = 0; i < count; ++i) {
            INPUT in{};
            in.type = INPUT_KEYBOARD;
            in.ki.wVk = events[i].virtualKey;
            in.ki.wScan = 0;
            in.ki.dwFlags = events[i].keyUp ? KEYEVENTF_KEYUP : 0;
            in.ki.time = 0;
            in.ki.dwExtraInfo = 0;
            inputs[i] = in;
        }
        const UINT sent = SendInput(count, inputs.data(), sizeof(INPUT));
        const unsigned long error = sent != count ? GetLastError() : 0;
        return KeySendResult{true, sent, error};
    }
};

}  // namespace

std::unique_ptr<KeySender> MakePlatformKeySender() { return std::make_unique<WinKeySender>(); }

}  // namespace Veltrix
