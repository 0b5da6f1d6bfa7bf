// Reads the fields of one media datagram back for checks.
#pragma once

#include <cstdint>
#include <vector>

namespace Veltrix::testing {

struct Parsed {
    uint8_t type, flags;
    uint16_t frame, index, count, length;
    uint32_t seq, time;
    std::vector<uint8_t> bytes;
    const uint8_t* payload() const { return bytes.data() + 22; }
};

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline Parsed Parse(const std::vector<uint8_t>& d) {
    Parsed r{};
    r.bytes = d;
    r.type = d[4];
    r.flags = d[5];
    r.frame = Get16(&d[6]);
    r.seq = Get32(&d[8]);
    r.time = Get32(&d[12]);
    r.index = Get16(&d[16]);
    r.count = Get16(&d[18]);
    r.length = Get16(&d[20]);
    return r;
}

}  // namespace Veltrix::testing
