// Arbitrary names through the setup model: the percent-encoding of the pairing
// address decodes back to the id and the name, a saved name is cut to 255
// characters on a character boundary and reads back as it was cut, and every
// log line stays one well-formed line.
// Input: id, install name, adapter names and phone names, separated by 0x00.
#include <cstddef>
#include <cstdint>
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
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
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
    fuzzing::CheckAndClearLog();
    return 0;
}
