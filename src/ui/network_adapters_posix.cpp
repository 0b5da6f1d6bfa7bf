// Adapter list from getifaddrs: IPv4 addresses of interfaces that are up, loopback left out.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "ui/setup_model.h"

namespace Veltrix {

std::vector<AdapterAddress> ListAdapters() {
    std::vector<AdapterAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
        out.push_back({it->ifa_name != nullptr && *it->ifa_name ? it->ifa_name : "?", text});
    }
    freeifaddrs(list);
    return out;
}

}  // namespace Veltrix
