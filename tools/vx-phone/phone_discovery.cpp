#include "vx-phone/phone_discovery.h"

#include <cstdio>

namespace Veltrix::phone {

namespace {
// Control bytes (and DEL) as \xHH: a TXT record must not move the cursor or
// recolour the terminal. UTF-8 above them passes.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}
}  // namespace

bool ServiceMatches(const FoundService& s, const std::string& wanted) {
    if (wanted.empty() || s.name == wanted) return true;
    for (const auto& [k, v] : s.txt) {
        if ((k == "name" || k == "id") && v == wanted) return true;
    }
    return false;
}

std::string DescribeService(const FoundService& s) {
    std::string line = "discover: \"" + Printable(s.name) + "\" at " + Printable(s.address) + ":" +
                       std::to_string(s.port) + " (" + Printable(s.host) + ")";
    for (const auto& [k, v] : s.txt) line += " " + Printable(k) + "=" + Printable(v);
    return line;
}

}  // namespace Veltrix::phone
