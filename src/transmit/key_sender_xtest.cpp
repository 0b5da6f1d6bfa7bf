// Linux keys through the XTest extension of the display in $DISPLAY. The
// display is opened per batch: taps are rare, and nothing is held between them.
// Keys reach whatever window has the focus, on a developer's desktop a terminal
// or an editor, so they are sent only when VX_KEYBOARD_NUDGE=1 asks for them.
// Otherwise, or without a display (or without XTest), there is no keyboard to
// type on; that is logged and nothing is sent.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <string_view>

#include "support/log.h"
#include "transmit/key_sender.h"

namespace Veltrix {
namespace {

const LogChannel kKbdLog{kLogSubsystem, "kbd"};

KeySym SymFor(std::uint16_t vk) {
    switch (vk) {
        case kVkShift: return XK_Shift_L;
        case kVkSpace: return XK_space;
        case kVkPageUp: return XK_Prior;
        case kVkPageDown: return XK_Next;
        case kVkLeft: return XK_Left;
        case kVkRight: return XK_Right;
        default: break;
    }
    if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
    if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
    return NoSymbol;
}

class XTestKeySender final : public KeySender {
public:
    KeySendResult Send(const KeyEvent* events, unsigned count) override {
        const char* wanted = std::getenv("VX_KEYBOARD_NUDGE");
        if (!wanted || std::string_view(wanted) != "1") {
            Log(kKbdLog, kLogInfo, "no keyboard available (VX_KEYBOARD_NUDGE is not 1) — %u key events not sent",
                count);
            return KeySendResult{false, 0, 0};
        }
        const char* name = std::getenv("DISPLAY");
        Display* display = (name && *name) ? XOpenDisplay(name) : nullptr;
        int ev = 0, err = 0, major = 0, minor = 0;
        if (display && !XTestQueryExtension(display, &ev, &err, &major, &minor)) {
            XCloseDisplay(display);
            display = nullptr;
        }
        if (!display) {
            Log(kKbdLog, kLogInfo, "no keyboard available (no X display with XTest) — %u key events not sent",
                count);
            return KeySendResult{false, 0, 0};
        }
        unsigned sent = 0;
        for (unsigned i = 0; i < count; ++i) {
            const KeySym sym = SymFor(events[i].virtualKey);
            const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
            if (code == 0) break;
            if (!XTestFakeKeyEvent(display, code, events[i].keyUp ? False : True, CurrentTime)) break;
            ++sent;
        }
        XFlush(display);
        XCloseDisplay(display);
        return KeySendResult{true, sent, sent == count ? 0ul : 1ul};
    }
};

}  // namespace

std::unique_ptr<KeySender> MakePlatformKeySender() { return std::make_unique<XTestKeySender>(); }

}  // namespace Veltrix
