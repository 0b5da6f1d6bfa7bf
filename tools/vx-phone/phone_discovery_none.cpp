#include "vx-phone/phone_discovery.h"

namespace Veltrix::phone {

std::vector<FoundService> DiscoverServices(double, const std::string&, std::string* error) {
    *error = "this vx-phone was built without Avahi: --discover is not available";
    return {};
}

}  // namespace Veltrix::phone
