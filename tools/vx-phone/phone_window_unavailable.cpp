// Builds without SDL2 have no window: --show says so.
#include "vx-phone/phone_window.h"

namespace Veltrix::phone {

std::unique_ptr<PhoneWindow> OpenPhoneWindow(std::string* error) {
    if (error) *error = "this build of vx-phone has no window (it was built without SDL2)";
    return nullptr;
}

}  // namespace Veltrix::phone
