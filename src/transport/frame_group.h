// A complete frame's datagrams, built by the packetizer and owned by the pacer
// until sent or dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/clock.h"

namespace Veltrix {

enum class StreamKind : uint8_t { kVideo = 1, kAudio = 2 };

struct FrameGroup {
    StreamKind kind = StreamKind::kVideo;
    std::size_t totalBytes = 0;                       // sum of the datagram sizes
    std::vector<std::vector<uint8_t>> datagrams;      // in sending order
    Clock::time_point queuedAt{};                     // set by the pacer
};

}  // namespace Veltrix
