// Builds without X11/XTest: there is no keyboard to synthesise on.
#include "support/log.h"
#include "transmit/key_sender.h"

namespace Veltrix {
namespace {

const LogChannel kKbdLog{kLogSubsystem, "kbd"};

class NoKeySender final : public KeySender {
public:
    KeySendResult Send(const KeyEvent*, unsigned count) override {
        Log(kKbdLog, kLogInfo, "no keyboard available (built without XTest) — %u key events not sent",
            count);
        return KeySendResult{false, 0, 0};
    }
};

}  // namespace

std::unique_ptr<KeySender> MakePlatformKeySender() { return std::make_unique<NoKeySender>(); }

}  // namespace Veltrix
