// The names and the TXT record built for one registration.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "discovery/dns_sd.h"
#include "discovery/service_advertiser.h"
#include "support/utf16.h"

namespace Veltrix {

inline constexpr const char16_t* kServiceType = u"_veltrix._tcp.local";
inline constexpr std::size_t kLabelMaxBytes = 40;

// Equal after folding ASCII letters.
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

// The name's first 40 bytes (cut back to a whole character), or "Lumenfold" when empty.
std::u16string InstanceLabel(const std::string& name);
// label + "." + "_veltrix._tcp.local".
std::u16string ServiceInstanceName(const std::string& name);
// The DNS host name lowercased + ".local"; "localhost.local" without one.
std::u16string ServiceHostName(std::u16string dnsHostName);
// "ver"="4", "id", "name" (whole), "transmit"="1"/"0", in this order.
std::vector<DnsSdTxtEntry> TxtRecord(const AdvertiseConfig& config);

}  // namespace Veltrix
