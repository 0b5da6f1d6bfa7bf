// Arbitrary names through the setup model: the percent-encoding of the pairing
// address decodes back to the id and the name, a saved name is cut to 255
// characters on a character boundary and reads back as it was cut, and every
// log line stays one well-formed line. The status rows are drawn from whatever
// settings the phone asked for and whatever its reports made of the statistics.
// Input: id, install name, adapter names and phone names, separated by 0x00; the
// last 64 bytes are also the status snapshot's numbers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/network/fuzz_env.h"
#include "fuzz/network/log_check.h"
#include "store/install_identity.h"
#include "store/trusted_peers.h"
#include "support/paths.h"
#include "ui/setup_model.h"

namespace {

using namespace Veltrix;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // the encoder writes upper case only
}

// The text back from its percent-encoding; traps on anything the encoder must not write.
std::string PercentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              c == '-' || c == '.' || c == '_' || c == '~';
            if (!kept) __builtin_trap();
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) __builtin_trap();
        const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) __builtin_trap();
        // A byte the encoder keeps must never be written as an escape.
        const char b = static_cast<char>(hi * 16 + lo);
        if (PercentEncode(std::string_view(&b, 1)).size() != 3) __builtin_trap();
        out.push_back(b);
        i += 2;
    }
    return out;
}

// Little-endian values from a fixed window of the input, zero past its end.
struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    template <typename T>
    T Take() {
        std::uint8_t raw[sizeof(T)] = {};
        for (std::size_t i = 0; i < sizeof(T); ++i, ++at) raw[i] = at < size ? data[at] : 0;
        T v;
        std::memcpy(&v, raw, sizeof v);
        return v;
    }
};

SetupStatusSnapshot SnapshotFrom(const std::uint8_t* data, std::size_t size, const std::vector<std::string>& fields) {
    const std::size_t window = std::min<std::size_t>(size, 64);
    Bytes b{data + size - window, window};
    SetupStatusSnapshot s;
    const auto flags = b.Take<std::uint8_t>();
    s.connected = flags & 1;
    s.active = flags & 2;
    s.hasSettings = flags & 4;
    s.encoderValid = flags & 8;
    s.isH264 = flags & 16;
    s.stats.valid = flags & 32;
    s.stats.gopAuto = flags & 64;
    s.peerAddress = fields[0];
    s.encoderDescription = fields[1];
    s.engineDescription = fields.back();
    s.stats.bitrateBps = b.Take<std::uint64_t>();
    s.stats.shortSide = b.Take<std::uint32_t>();
    s.stats.level = b.Take<std::int32_t>();
    s.stats.gopLength = b.Take<std::int8_t>();
    s.stats.fecParityTenths = b.Take<std::uint32_t>();
    s.stats.controller = b.Take<std::int8_t>() % 4;
    s.stats.lastReason = b.Take<std::int8_t>();
    s.stats.phase = b.Take<std::int8_t>() % 4;
    s.stats.lossPercent = b.Take<double>();
    s.stats.backlogFraction = b.Take<float>();
    s.stats.owdTrendUs = b.Take<std::int32_t>();
    s.codec = b.Take<std::int8_t>() % 3;
    s.maxShortSide = b.Take<std::int16_t>();
    s.gopSize = b.Take<std::int8_t>();
    s.encoderMode = b.Take<std::int8_t>() % 4;
    s.quality = b.Take<std::int8_t>();
    s.listeningPort = b.Take<std::uint16_t>();
    s.gopClass = b.Take<std::uint8_t>() % 4;
    return s;
}

std::size_t Utf8Characters(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 || i == 0;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::KeepFilesInTemp("setup_names");
        return EnsureAppSupportDir();
    }();
    (void)ready;
    std::vector<std::string> fields = fuzzing::SplitAtNul(data, size);
    fields.resize(std::max<std::size_t>(fields.size(), 2));

    const InstallIdentity identity{fields[0], fields[1]};
    const std::string address = PairingAddress(identity);
    const std::string_view head = "veltrix://pair?v=3&id=";
    if (address.compare(0, head.size(), head) != 0) __builtin_trap();
    const std::size_t split = address.find("&name=", head.size());
    if (split == std::string::npos) __builtin_trap();
    if (PercentDecode(std::string_view(address).substr(head.size(), split - head.size())) != identity.id) __builtin_trap();
    if (PercentDecode(std::string_view(address).substr(split + 6)) != identity.name) __builtin_trap();

    // The model itself, over the real store files: one input in four (files are slow).
    if (size % 4 != 0) return 0;
    std::vector<AdapterAddress> adapters;
    for (std::size_t i = 2; i < fields.size() && i < 6; ++i) adapters.push_back({fields[i], "192.0.2." + std::to_string(i)});
    std::vector<TrustedPeer> peers;
    for (std::size_t i = 6; i < fields.size() && i < 6 + kSetupMaxPeerRows + 2; ++i) peers.push_back({"phone-" + std::to_string(i), fields[i], "t", fields[i]});
    {
        // Written directly: one flushed write per peer would make this target crawl.
        std::ofstream out(TrustedFilePath(DetectHost()), std::ios::binary | std::ios::trunc);
        out << SerializeTrustedPeers(peers);
    }

    SetupModel::Sources sources;
    sources.adapters = [&] { return adapters; };
    sources.controlPort = 47130;
    SetupModel model(sources);
    model.RefreshIdentityAndNetwork();
    model.RefreshTrustedPeers();
    if (model.Peers().size() != std::min(peers.size(), kSetupMaxPeerRows)) __builtin_trap();
    for (std::size_t i = 0; i < model.Peers().size(); ++i) {
        const std::string& shown = model.Peers()[i].name;
        if (shown != (peers[i].name.empty() ? "(unnamed iPhone)" : peers[i].name)) __builtin_trap();
    }
    const std::string& name = fields[1];
    if (model.Save(name)) {
        const std::string& kept = model.Identity().name;
        if (name.compare(0, kept.size(), kept) != 0 || Utf8Characters(kept) > 255) __builtin_trap();
        if (kept.size() < name.size() && (Utf8Characters(kept) != 255 ||
                                          (static_cast<unsigned char>(name[kept.size()]) & 0xC0) == 0x80))
            __builtin_trap();
        if (model.Address() != PairingAddress(model.Identity())) __builtin_trap();
    } else if (!name.empty()) {
        __builtin_trap();
    }

    // The status rows, from any snapshot: every row the window lists has a text.
    const SetupStatusSnapshot status = SnapshotFrom(data, size, fields);
    sources.status = [&] { return status; };
    SetupModel live(sources);
    live.RefreshStatus();
    for (const auto& row : SetupModel::Rows()) {
        if (live.Text(row.id).empty()) __builtin_trap();
    }
    if (live.DotOn() != (status.connected && status.active)) __builtin_trap();
    // Forgetting the first phone takes away its row and no other.
    if (!model.Peers().empty()) {
        const std::string first = model.Peers().front().id;
        const std::size_t before = model.Peers().size();
        if (!model.Forget(first) || model.Forget(first)) __builtin_trap();
        const std::size_t rows = std::min(peers.size() - 1, kSetupMaxPeerRows);
        if (model.Peers().size() != rows || (before > 1 && model.Peers().front().id == first)) __builtin_trap();
    }
    // The two settings over the install file the model just wrote.
    const bool on = size & 8;
    if (!model.SetDiscoverable(on) || model.Discoverable() != on || IsDiscoverable() != on) __builtin_trap();
    if (!model.SetHwHevc(!on) || model.HwHevc() == on || AsyncHwEncodersEnabled() == on) __builtin_trap();
    fuzzing::CheckAndClearLog();
    return 0;
}
