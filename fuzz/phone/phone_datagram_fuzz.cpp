// Arbitrary bytes as a run of datagrams into the phone's reassembler (and the
// control-event reader): nothing may crash, hang or read out of bounds.
// Input: repeated [u16 length][bytes], each chunk one datagram at a time that
// advances by the chunk's first byte in milliseconds; the whole input is also
// read as a control stream.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vx-phone/control_client.h"
#include "vx-phone/frame_reassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Veltrix;
    using namespace Veltrix::phone;
    ReassemblerOptions o;
    o.maxNewerFrames = 4;
    FrameReassembler video(o);
    o.streamType = 2;
    FrameReassembler audio(o);
    Clock::time_point now{};
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t n = std::min<std::size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
        at += 2;
        const std::uint8_t* d = data + at;
        if (n > 0) now += std::chrono::milliseconds(d[0]);
        video.Push(d, n, now);
        audio.Push(d, n, now);
        video.Expire(now);
        while (auto f = video.Pop()) {
            if (f->bytes.size() != 0 && f->bytes.size() > static_cast<std::size_t>(f->dataFragments) * 1440) __builtin_trap();
        }
        while (auto f = audio.Pop()) ParseAudioPayload(f->bytes.data(), f->bytes.size());
        video.TakeLost();
        at += n;
    }
    std::size_t pos = 0;
    const RecvFunction recv = [&](void* out, std::size_t n) {
        if (size - pos < n) return false;
        std::memcpy(out, data + pos, n);
        pos += n;
        return true;
    };
    ControlEvent e;
    while (ReadControlEvent(recv, e) == EventRead::kEvent) DescribeEvent(e);
    return 0;
}
