// Arbitrary bytes as a store file: the forgiving key lookup, the \u decoding
// and the trusted-peer reader must never crash, and whatever our own writer
// produces must read back exactly as it was written.
// Input: the whole input is one store file's text; it is also cut at 0x00 bytes
// into fields, four to a peer, that go through the writer and back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/network/fuzz_env.h"
#include "store/install_identity.h"
#include "store/json_store.h"
#include "store/trusted_peers.h"
#include "support/paths.h"

namespace {

using namespace Veltrix;

void WriteRaw(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool SamePeers(const std::vector<TrustedPeer>& a, const std::vector<TrustedPeer>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].name != b[i].name || a[i].token != b[i].token ||
            a[i].firstPaired != b[i].firstPaired)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::KeepFilesInTemp("store");
        return EnsureAppSupportDir();
    }();
    (void)ready;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Reading anything: the lookups install.json's loader makes, and the peers.
    for (const char* key : {"id", "name", "discoverable", "enableAsyncHwEncoders"}) (void)JsonGetString(text, key);
    for (std::size_t at = 0; at < text.size(); at += 1 + text.size() / 8) (void)JsonParseString(text, at);
    const std::vector<TrustedPeer> parsed = ParseTrustedPeers(text);
    for (const TrustedPeer& p : parsed) {
        if (p.id.empty() || p.token.empty()) __builtin_trap();
    }

    // Any bytes, escaped and looked up again, come back unchanged.
    const std::string value(text);
    if (JsonGetString("{\"k\":\"" + JsonEscape(value) + "\"}", "k") != value) __builtin_trap();

    // Peers made of the input's fields survive the writer and the reader.
    std::vector<std::string> fields(1);
    for (const char c : text) {
        if (c == '\0')
            fields.emplace_back();
        else
            fields.back().push_back(c);
    }
    std::vector<TrustedPeer> written;
    for (std::size_t i = 0; i + 3 < fields.size(); i += 4) {
        TrustedPeer p{fields[i], fields[i + 1], fields[i + 2], fields[i + 3]};
        if (!p.id.empty() && !p.token.empty()) written.push_back(std::move(p));
    }
    if (!SamePeers(ParseTrustedPeers(SerializeTrustedPeers(written)), written)) __builtin_trap();

    // The same text as the real files, read by the stores themselves, for one
    // input in eight (files are slow). An empty file is retried for 25 ms;
    // that is the unit tests' job.
    if (!text.empty() && size % 8 == 0) {
        WriteRaw(TrustedFilePath(HostKind::kPremiere), text);
        if (!SamePeers(ListPeers(HostKind::kPremiere), parsed)) __builtin_trap();
        // A pairing and an unpairing over whatever the file held (this process's own
        // host kind): every phone that could be read is kept, the new one replaced
        // or added, and a removal takes away exactly its id.
        const std::filesystem::path own = TrustedFilePath(DetectHost());
        WriteRaw(own, text);
        if (ReadWholeFile(own) != text) __builtin_trap();
        // A temporary left by a writer that died; the next writer clears it.
        std::filesystem::path stale = own;
        stale += ".0badc0de.tmp";
        WriteRaw(stale, text);
        const TrustedPeer ours{"fuzz-phone", "Fuzz \u00e9", std::string(64, 'a'), "2026-01-01T00:00:00Z"};
        std::vector<TrustedPeer> expected = parsed;
        const auto same = std::find_if(expected.begin(), expected.end(), [&](const TrustedPeer& p) { return p.id == ours.id; });
        if (same == expected.end())
            expected.push_back(ours);
        else
            *same = ours;
        if (!parsed.empty()) {
            const std::optional<TrustedPeer> found = FindPeer(parsed.front().id);
            if (!found || !SamePeers({*found}, {parsed.front()})) __builtin_trap();
        }
        if (!UpsertPeer(ours) || !SamePeers(ListPeers(), expected) || std::filesystem::exists(stale)) __builtin_trap();
        std::erase_if(expected, [&](const TrustedPeer& p) { return p.id == ours.id; });
        if (!RemovePeer(ours.id) || !SamePeers(ListPeers(), expected) || FindPeer(ours.id)) __builtin_trap();
        std::filesystem::remove(own);
        if (!ListPeers().empty() || RemovePeer(ours.id)) __builtin_trap();
        WriteRaw(InstallIdentityPath(), text);
        if (IsDiscoverable() != (JsonGetString(text, "discoverable") != "false")) __builtin_trap();
        if (AsyncHwEncodersEnabled() != (JsonGetString(text, "enableAsyncHwEncoders") == "true")) __builtin_trap();
        // The identity over whatever install.json held: a stored id is kept (a missing
        // one made), and neither a rename nor a setting loses the other fields.
        const bool discoverable = IsDiscoverable(), asyncHw = AsyncHwEncodersEnabled();
        const std::string storedId = JsonGetString(text, "id");
        const InstallIdentity identity = LoadOrCreateIdentity();
        if (identity.id.empty() || identity.name.empty() || (!storedId.empty() && identity.id != storedId))
            __builtin_trap();
        if (!SetInstallName("Fuzz \u00e9") || !SetDiscoverable(!discoverable) || !SetAsyncHwEncodersEnabled(asyncHw))
            __builtin_trap();
        const InstallIdentity renamed = LoadOrCreateIdentity();
        if (renamed.id != identity.id || renamed.name != "Fuzz \u00e9" || IsDiscoverable() == discoverable ||
            AsyncHwEncodersEnabled() != asyncHw)
            __builtin_trap();
    }
    return 0;
}
