// vx-phone --discover: finds the plug-in's "_veltrix._tcp" service by mDNS.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Veltrix::phone {

struct FoundService {
    std::string name;     // service instance label
    std::string host;     // target host name
    std::string address;  // IPv4, dotted
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;  // in record order
};

// Browses (and resolves over IPv4) for up to `seconds`; stops early once every
// service seen is resolved and, when `wanted` is not empty, one matches it.
// Empty with *error set when the mDNS responder cannot be reached.
std::vector<FoundService> DiscoverServices(double seconds, const std::string& wanted, std::string* error);

// True when wanted is empty or equals the service name, the TXT "name" or the TXT "id".
bool ServiceMatches(const FoundService& s, const std::string& wanted);
// One line for the terminal; bytes from the network that could act on it are escaped.
std::string DescribeService(const FoundService& s);

}  // namespace Veltrix::phone
