// The phones that completed a pairing, with the token each was issued, so they
// can reconnect without a code. One file per host kind ("trusted.json",
// "trusted-ae.json", ...); every operation reads the file afresh.
// Tokens are secrets: the files are owner-only and tokens are never logged.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/paths.h"

namespace Veltrix {

struct TrustedPeer {
    std::string id;           // the phone's identifier, compared byte for byte
    std::string name;         // display name at the last pairing
    std::string token;        // 64 lowercase hex characters issued at the last pairing
    std::string firstPaired;  // UTC "%Y-%m-%dT%H:%M:%SZ" of the last pairing
};

// "trusted.json" for Premiere Pro, else "trusted-" + suffix + ".json".
std::string TrustedFileName(HostKind kind);
// AppSupportDir() / TrustedFileName(kind).
std::filesystem::path TrustedFilePath(HostKind kind);

// The operations on this process's host kind (DetectHost()).
// The first stored peer with this id; nothing for an empty id.
std::optional<TrustedPeer> FindPeer(const std::string& id);
// Every stored peer, in file order.
std::vector<TrustedPeer> ListPeers();
// Inserts or replaces (the first entry with the same id); ignored without id or
// token. True when the file was written.
bool UpsertPeer(const TrustedPeer& peer);
// Forgets every peer with this id. True when at least one was removed and the
// file was written.
bool RemovePeer(const std::string& id);

// The same on the list of an explicit host kind.
std::optional<TrustedPeer> FindPeer(HostKind kind, const std::string& id);
std::vector<TrustedPeer> ListPeers(HostKind kind);
bool UpsertPeer(HostKind kind, const TrustedPeer& peer);
bool RemovePeer(HostKind kind, const std::string& id);

// The firstPaired text of a moment: "%Y-%m-%dT%H:%M:%SZ" in UTC.
std::string FormatPairingTime(std::chrono::system_clock::time_point when);

// The file format, exposed for tests.
// Every complete object with an id and a token, in order; the rest is ignored.
std::vector<TrustedPeer> ParseTrustedPeers(std::string_view text);
// One line: a JSON array of objects with the keys id, name, token, firstPaired.
std::string SerializeTrustedPeers(const std::vector<TrustedPeer>& peers);

}  // namespace Veltrix
