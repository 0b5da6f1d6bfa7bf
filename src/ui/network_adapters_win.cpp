// Adapter list from GetAdaptersAddresses: IPv4 unicast addresses of adapters that
// are up, software loopback left out, named by their friendly names.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <string>
#include <vector>

#include "ui/setup_model.h"

namespace Veltrix {

namespace {
std::string Utf8(const wchar_t* text) {
    if (text == nullptr || *text == 0) return "?";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return "?";
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}
}  // namespace

std::vector<AdapterAddress> ListAdapters() {
    std::vector<AdapterAddress> out;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 15360;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 2 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        rc = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                  &size);
    }
    if (rc != NO_ERROR) return out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
        if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->OperStatus != IfOperStatusUp) continue;
        const std::string name = Utf8(a->FriendlyName);
        for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const SOCKADDR* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
            out.push_back({name, text});
        }
    }
    return out;
}

}  // namespace Veltrix
