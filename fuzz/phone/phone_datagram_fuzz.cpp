// Arbitrary bytes as a run of datagrams into the phone's reassembler (and the
// control-event reader and the --send command parser): nothing may crash, hang
// or read out of bounds.
// Input: repeated [u16 length][bytes], each chunk one datagram at a time that
// advances by the chunk's first byte in milliseconds; the whole input is also
// read as a control stream, as the plug-in's side of a pairing, and its lines as
// commands typed for --send; its fields go through the plug-in's message builders
// to the phone's reader.
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/network/fuzz_env.h"
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
        if (n != 0) std::memcpy(out, data + pos, n);  // an empty input has no data pointer
        pos += n;
        return true;
    };
    ControlEvent e;
    while (ReadControlEvent(recv, e) == EventRead::kEvent) DescribeEvent(e);
    // The plug-in's own messages, built from the input's fields, read back by the
    // phone as they were built (each string cut to its limit, the list to 255 bytes).
    {
        const std::vector<std::string> fields = fuzzing::SplitAtNul(data, size);
        std::vector<EngineEntry> engines;
        for (std::size_t i = 0; i + 2 < fields.size(); i += 3) engines.push_back({fields[i], fields[i + 1], fields[i + 2]});
        std::uint32_t n[4] = {};
        if (size != 0) std::memcpy(n, data, std::min(size, sizeof n));
        float fps;
        std::memcpy(&fps, &n[2], sizeof fps);
        std::size_t fullSize = 0;
        std::vector<std::uint8_t> sent;
        const auto put = [&](std::uint8_t op, const std::vector<std::uint8_t>& payload) {
            sent.push_back(op);
            sent.insert(sent.end(), payload.begin(), payload.end());
        };
        put(kEncoderEngineList, BuildEncoderEngineList(engines, &fullSize));
        put(kEncoderInfo, BuildEncoderInfo(fields[0]));
        put(kSourceChanged, BuildSourceChanged(n[0], n[1], fps));
        put(kStreamInfo, BuildStreamInfo(n[0], n[1], n[2], n[3]));
        std::size_t at = 0;
        const RecvFunction back = [&](void* out, std::size_t k) {
            if (sent.size() - at < k) return false;
            std::memcpy(out, sent.data() + at, k);
            at += k;
            return true;
        };
        const auto cut = [](const std::string& t, std::size_t limit) { return t.substr(0, limit); };
        ControlEvent m;
        if (ReadControlEvent(back, m) != EventRead::kEvent || m.listCut != (fullSize > 255) ||
            m.engines.size() > std::min<std::size_t>(engines.size(), 255) ||
            (!m.listCut && m.engines.size() != std::min<std::size_t>(engines.size(), 255)))
            __builtin_trap();
        for (std::size_t i = 0; i < m.engines.size(); ++i) {
            if (m.engines[i].id != cut(engines[i].id, 255) || m.engines[i].label != cut(engines[i].label, 255) ||
                m.engines[i].detail != cut(engines[i].detail, 255))
                __builtin_trap();
        }
        if (ReadControlEvent(back, m) != EventRead::kEvent || m.text != cut(fields[0], 200)) __builtin_trap();
        if (ReadControlEvent(back, m) != EventRead::kEvent) __builtin_trap();
        std::uint32_t bits;  // the rate's bits as sent, NaN included
        std::memcpy(&bits, &m.fpsExact, sizeof bits);
        if (m.width != std::min(n[0], 65535u) || m.height != std::min(n[1], 65535u) || bits != n[2]) __builtin_trap();
        if (ReadControlEvent(back, m) != EventRead::kEvent || m.width != std::min(n[0], 65535u) ||
            m.height != std::min(n[1], 65535u) || m.fps != std::min(n[2], 65535u) || m.frameSizeCap != n[3] ||
            at != sent.size())
            __builtin_trap();
    }
    // The whole input as the plug-in's answers to a pairing, then the events after
    // it: acceptance carries a token, every other end a reason, and the reader
    // thread ends with the stream.
    SocketHandle plugin = kInvalid, phone = kInvalid;
    if (size <= 16 * 1024 && CreateStreamPair(plugin, phone)) {  // below any stream buffer
        if (size > 0 && !SendAll(plugin, data, size)) __builtin_trap();
        ShutdownSend(plugin);
        ControlClient client(phone);
        const std::atomic<bool> stop{false};
        const PairResult r = client.Pair("phone-id", "Fuzz", size % 2 ? "token" : "", [&]() -> std::optional<std::string> {
            if (size % 3 == 0) return std::nullopt;
            return size % 3 == 1 ? "123456" : "12 456";
        }, 2000, stop);
        if (!PairOutcomeName(r.outcome) || (r.outcome == PairResult::kAccepted) == r.token.empty() ||
            (r.outcome != PairResult::kAccepted && r.detail.empty()))
            __builtin_trap();
        if (r.outcome == PairResult::kAccepted) {
            std::promise<std::string> ended;
            client.Start([](const ControlEvent& event) { DescribeEvent(event); },
                         [&](const std::string& reason) { ended.set_value(reason); });
            if (ended.get_future().get().empty()) __builtin_trap();
        }
        client.Stop();
        Close(plugin);
    }
    // Each line as a command typed for --send: a command or the reason, never both.
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (std::size_t line = 0; line < text.size();) {
        const std::size_t end = std::min(text.find('\n', line), text.size());
        std::string error;
        const auto command = ParsePhoneCommand(text.substr(line, end - line), &error);
        if (command.has_value() == !error.empty()) __builtin_trap();
        line = end + 1;
    }
    return 0;
}
