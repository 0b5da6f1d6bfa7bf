// Builds without a DNS-SD service: no advertiser, the plug-in runs undiscovered.
#include "discovery/dns_sd.h"

namespace Veltrix {

std::shared_ptr<IDnsSd> CreateDnsSd() { return nullptr; }

}  // namespace Veltrix
