// The --show window: the latest decoded picture, scaled to fit, with a few
// lines of live figures over its lower left corner. The window runs its own
// thread; Present and SetFigures may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vx-phone/video_decoder.h"

namespace Veltrix::phone {

class PhoneWindow {
public:
    virtual ~PhoneWindow() = default;
    // Copies the picture; the window shows it at its next refresh.
    virtual void Present(const DecodedPicture& picture) = 0;
    // The overlay's lines (short ASCII; letters are shown in capitals).
    virtual void SetFigures(std::vector<std::string> lines) = 0;
    // The user closed the window.
    virtual bool closed() const = 0;
    // Pictures drawn into the window so far.
    virtual std::uint64_t shown() const = 0;
};

// Opens the window titled "vx-phone" (shown at once, at the first picture's
// size once one arrives), or nothing with *error set (no display).
std::unique_ptr<PhoneWindow> OpenPhoneWindow(std::string* error);

}  // namespace Veltrix::phone
