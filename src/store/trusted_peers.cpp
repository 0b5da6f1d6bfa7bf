#include "store/trusted_peers.h"

#include <ctime>
#include <mutex>

#include "store/json_store.h"
#include "store/store_platform.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "trusted"};

constexpr StoreMessages kMessages{
    "write: open(%{public}s) failed",
    "write: write failed",
    "write: rename(%{public}s -> %{public}s) failed: %{public}s",
};

// Serialises every operation within the process; the file lock does the same
// across processes of the same host kind.
std::mutex& StoreMutex() {
    static std::mutex m;
    return m;
}

// The index of the "}" that closes the object opened at `open`, skipping
// quoted strings (a backslash inside one skips the next byte); npos when the
// text ends first.
std::size_t ObjectEnd(std::string_view text, std::size_t open) {
    bool inString = false;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '}') {
            return i;
        }
    }
    return std::string_view::npos;
}

std::string FieldOf(std::string_view object, std::string_view key) { return JsonGetString(object, key); }

// The peers of text; damaged is set when anything was dropped or the text is
// not the one array our writer makes (truncated, junk, another format).
std::vector<TrustedPeer> Parse(std::string_view text, bool& damaged) {
    std::vector<TrustedPeer> peers;
    std::size_t objects = 0;
    std::size_t pos = 0;
    damaged = false;
    for (;;) {
        const std::size_t open = text.find('{', pos);
        if (open == std::string_view::npos) break;
        const std::size_t close = ObjectEnd(text, open);
        if (close == std::string_view::npos) {
            damaged = true;  // an unterminated last object
            break;
        }
        ++objects;
        const std::string_view object = text.substr(open, close - open + 1);
        TrustedPeer peer;
        peer.id = FieldOf(object, "id");
        peer.name = FieldOf(object, "name");
        peer.token = FieldOf(object, "token");
        peer.firstPaired = FieldOf(object, "firstPaired");
        if (!peer.id.empty() && !peer.token.empty()) peers.push_back(std::move(peer));
        pos = close + 1;
    }
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    if (first == std::string_view::npos || text[first] != '[' || text[last] != ']' || objects != peers.size())
        damaged = true;
    return peers;
}

// Nothing when the file is there but could not be read whole: its phones are
// not known, so it must not be rewritten.
std::optional<std::vector<TrustedPeer>> LoadAll(const std::filesystem::path& path) {
    const StoreText read = ReadStoreText(path);
    if (read.status == StoreText::kUnreadable) {
        Log(kLog, kLogError, "read(%{public}s) failed", PathForLog(path).c_str());
        return std::nullopt;
    }
    if (read.status == StoreText::kAbsent) return std::vector<TrustedPeer>{};
    bool damaged = false;
    std::vector<TrustedPeer> peers = Parse(read.text, damaged);
    if (damaged) {
        // The user whose phones must pair again can see why.
        LogDamagedStore(kLog, path, read.text,
                        std::to_string(peers.size()) + (peers.size() == 1 ? " phone" : " phones"));
    }
    return peers;
}

bool WriteAll(const std::filesystem::path& path, const std::vector<TrustedPeer>& peers) {
    EnsureAppSupportDir();
    return WriteFileAtomically(path, SerializeTrustedPeers(peers), kLog, kMessages);
}

}  // namespace

std::string TrustedFileName(HostKind kind) {
    const std::string suffix = HostSuffix(kind);
    return suffix.empty() ? std::string("trusted.json") : "trusted-" + suffix + ".json";
}

std::filesystem::path TrustedFilePath(HostKind kind) { return AppSupportDir() / TrustedFileName(kind); }

std::vector<TrustedPeer> ParseTrustedPeers(std::string_view text) {
    bool damaged = false;
    return Parse(text, damaged);
}

std::string SerializeTrustedPeers(const std::vector<TrustedPeer>& peers) {
    std::string out = "[";
    bool first = true;
    for (const TrustedPeer& p : peers) {
        if (!first) out.push_back(',');
        first = false;
        out += "{\"id\":\"";
        out += JsonEscape(p.id);
        out += "\",\"name\":\"";
        out += JsonEscape(p.name);
        out += "\",\"token\":\"";
        out += JsonEscape(p.token);
        out += "\",\"firstPaired\":\"";
        out += JsonEscape(p.firstPaired);
        out += "\"}";
    }
    out += "]\n";
    return out;
}

std::string FormatPairingTime(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    if (!platform::StoreUtcTime(t, utc)) return {};
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

std::optional<TrustedPeer> FindPeer(HostKind kind, const std::string& id) {
    if (id.empty()) return std::nullopt;
    std::lock_guard<std::mutex> guard(StoreMutex());
    auto peers = LoadAll(TrustedFilePath(kind));
    if (!peers) return std::nullopt;
    for (TrustedPeer& p : *peers) {
        if (p.id == id) return std::move(p);
    }
    return std::nullopt;
}

std::vector<TrustedPeer> ListPeers(HostKind kind) {
    std::lock_guard<std::mutex> guard(StoreMutex());
    return LoadAll(TrustedFilePath(kind)).value_or(std::vector<TrustedPeer>{});
}

bool UpsertPeer(HostKind kind, const TrustedPeer& peer) {
    if (peer.id.empty() || peer.token.empty()) return false;
    std::lock_guard<std::mutex> guard(StoreMutex());
    const auto path = TrustedFilePath(kind);
    EnsureAppSupportDir();
    StoreFileLock fileLock(path, kLog);
    if (fileLock.timedOut()) return false;
    auto loaded = LoadAll(path);
    if (!loaded) return false;
    std::vector<TrustedPeer>& peers = *loaded;
    const char* action = "added";
    bool found = false;
    for (TrustedPeer& p : peers) {
        if (p.id == peer.id) {
            p = peer;
            found = true;
            action = "updated";
            break;
        }
    }
    if (!found) peers.push_back(peer);
    if (!WriteAll(path, peers)) return false;
    Log(kLog, kLogInfo, "%{public}s peer id=%{public}s name=%{public}s", action, peer.id.c_str(),
        peer.name.c_str());
    return true;
}

bool RemovePeer(HostKind kind, const std::string& id) {
    if (id.empty()) return false;
    std::lock_guard<std::mutex> guard(StoreMutex());
    const auto path = TrustedFilePath(kind);
    StoreFileLock fileLock(path, kLog);
    if (fileLock.timedOut()) return false;
    auto loaded = LoadAll(path);
    if (!loaded) return false;
    std::vector<TrustedPeer>& peers = *loaded;
    const auto before = peers.size();
    std::erase_if(peers, [&](const TrustedPeer& p) { return p.id == id; });
    if (peers.size() == before) return false;
    const bool written = WriteAll(path, peers);
    Log(kLog, kLogInfo, "removed peer id=%{public}s", id.c_str());
    return written;
}

std::optional<TrustedPeer> FindPeer(const std::string& id) { return FindPeer(DetectHost(), id); }
std::vector<TrustedPeer> ListPeers() { return ListPeers(DetectHost()); }
bool UpsertPeer(const TrustedPeer& peer) { return UpsertPeer(DetectHost(), peer); }
bool RemovePeer(const std::string& id) { return RemovePeer(DetectHost(), id); }

}  // namespace Veltrix
