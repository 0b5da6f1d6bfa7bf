#include "store/json_store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "store/store_platform.h"
#include "support/paths.h"
#include "support/utf16.h"

namespace Veltrix {
namespace {

constexpr int kReadAttempts = 5;
constexpr auto kReadRetryDelay = std::chrono::milliseconds(5);
constexpr int kCreateAttempts = 4;
constexpr auto kLockPoll = std::chrono::milliseconds(10);

std::atomic<StoreRenameHook> gRenameHook{nullptr};
std::atomic<Clock*> gStoreClock{nullptr};

Clock& StoreClock() {
    Clock* c = gStoreClock.load();
    return c ? *c : Clock::Real();
}

// "trusted.json.tmp" (the fixed name older builds used) and
// "trusted.json.<hex>.tmp" beside the store. Only called with the store's lock
// held, when no live writer of ours can own one. Removing a link removes the
// link alone.
void RemoveStaleTemporaries(const std::filesystem::path& storePath) {
    using Name = std::filesystem::path::string_type;  // compared natively: no conversion can fail
    const Name prefix = storePath.filename().native() + Name(1, '.');
    const Name suffix = std::filesystem::path(".tmp").native();
    std::error_code ec;
    std::filesystem::directory_iterator it(storePath.parent_path().empty() ? "." : storePath.parent_path(), ec);
    for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const Name name = it->path().filename().native();
        if (name.size() >= prefix.size() + suffix.size() - 1 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            platform::StoreRemove(it->path());
    }
}

// The four hexadecimal digits at text[at..at+3], if they are that.
std::optional<std::uint32_t> Hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t k = at; k < at + 4; ++k) {
        const char c = text[k];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

// Steps 3 to 5 of the lookup: the quoted string starting at the first quote at
// or after position.
std::optional<std::pair<std::string, std::size_t>> ParseQuoted(std::string_view text,
                                                                std::size_t position) {
    const std::size_t open = text.find('"', position);
    if (open == std::string_view::npos) return std::nullopt;
    std::string value;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') return std::make_pair(std::move(value), i + 1);
        if (c != '\\') {
            value.push_back(c);
            continue;
        }
        if (++i >= text.size()) break;
        switch (const char e = text[i]) {
            case 'b': value.push_back('\b'); break;
            case 'f': value.push_back('\f'); break;
            case 'n': value.push_back('\n'); break;
            case 'r': value.push_back('\r'); break;
            case 't': value.push_back('\t'); break;
            case 'u': {
                // JsonEscape writes other control bytes as \u00XX: read them back as the
                // bytes they were, or a saved name would change on every load. A run of
                // \u escapes is one piece of UTF-16, so surrogate pairs join.
                std::u16string units;
                while (const auto unit = Hex4(text, i + 1)) {
                    units.push_back(static_cast<char16_t>(*unit));
                    i += 4;
                    if (i + 2 >= text.size() || text[i + 1] != '\\' || text[i + 2] != 'u' || !Hex4(text, i + 3)) break;
                    i += 2;
                }
                if (units.empty())
                    value.push_back(e);  // not an escape after all: the letter stays
                else
                    value += Utf16ToUtf8(units);
                break;
            }
            default: value.push_back(e); break;  // quote, backslash, slash, anything
        }
    }
    return std::nullopt;
}

}  // namespace

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        switch (b) {
            case 0x22: out += "\\\""; break;
            case 0x5C: out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0D: out += "\\r"; break;
            case 0x09: out += "\\t"; break;
            default:
                if (b < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", b);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out;
}

static bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the value of key starts (just after its colon) when key appears as a
// key: a whole quoted string followed by a colon, found by stepping over every
// string from the start, so text inside a value (a phone named x"token) never
// passes for a key. npos when the text never has it as a key.
static std::size_t KeyValueStart(std::string_view text, std::string_view key) {
    for (std::size_t pos = 0;;) {
        const std::size_t open = text.find('"', pos);
        if (open == std::string_view::npos) return open;
        std::size_t close = open + 1;
        while (close < text.size() && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
        if (close >= text.size()) return std::string_view::npos;
        std::size_t after = close + 1;
        while (after < text.size() && IsJsonSpace(text[after])) ++after;
        if (after < text.size() && text[after] == ':' && text.substr(open + 1, close - open - 1) == key)
            return after + 1;
        pos = close + 1;
    }
}

std::string JsonGetString(std::string_view text, std::string_view key) {
    if (const std::size_t start = KeyValueStart(text, key); start != std::string_view::npos) {
        auto parsed = ParseQuoted(text, start);
        return parsed ? std::move(parsed->first) : std::string();
    }
    // A damaged file (a stray quote puts every string out of step): the first
    // occurrence anywhere, as forgiving as before.
    std::string needle;
    needle.reserve(key.size() + 2);
    needle.push_back('"');
    needle.append(key);
    needle.push_back('"');
    const std::size_t at = text.find(needle);
    if (at == std::string_view::npos) return {};
    const std::size_t colon = text.find(':', at + needle.size());
    if (colon == std::string_view::npos) return {};
    auto parsed = ParseQuoted(text, colon + 1);
    return parsed ? std::move(parsed->first) : std::string();
}

std::optional<std::pair<std::string, std::size_t>> JsonParseString(std::string_view text,
                                                                    std::size_t position) {
    if (position >= text.size()) return std::nullopt;
    return ParseQuoted(text, position);
}

StoreText ReadStoreText(const std::filesystem::path& path, Clock& clock) {
    StoreText result;
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
        switch (platform::StoreReadFile(path, result.text)) {
            case platform::StoreReadResult::kOk: break;
            case platform::StoreReadResult::kCannotOpen: result.text.clear(); return result;
            case platform::StoreReadResult::kReadFailed:
                result.text.clear();
                result.status = StoreText::kUnreadable;
                return result;
        }
        if (!result.text.empty()) {
            result.status = StoreText::kRead;
            return result;
        }
        // A file that reads empty may be caught between another writer's
        // truncate and write; give it a moment.
        if (attempt < kReadAttempts) clock.SleepFor(kReadRetryDelay);
    }
    return result;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, Clock& clock) {
    StoreText read = ReadStoreText(path, clock);
    if (read.status != StoreText::kRead) return std::nullopt;
    return std::move(read.text);
}

void LogDamagedStore(const LogChannel& channel, const std::filesystem::path& path, std::string_view content,
                     const std::string& kept) {
    // Every reader of a store rereads it; one line per damaged content is enough.
    static std::mutex mutex;
    static std::set<std::pair<std::string, std::size_t>> reported;
    const std::string where = PathForLog(path);
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!reported.emplace(where, std::hash<std::string_view>{}(content)).second) return;
    }
    Log(channel, kLogError, "read(%{public}s): damaged (%zu bytes) — kept %{public}s, the rest is ignored",
        where.c_str(), content.size(), kept.c_str());
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         const LogChannel& channel, const StoreMessages& messages) {
    // A fresh name each time, created exclusively: whatever already sits at
    // some name (a planted file or link) is never opened, truncated or followed.
    std::filesystem::path tmp;
    int error = 0;
    std::intptr_t handle = -1;
    for (int attempt = 0; attempt < kCreateAttempts && handle == -1; ++attempt) {
        std::string unique = ".";
        unique += RandomHex(8);
        unique += ".tmp";
        tmp = path;
        tmp += unique;
        handle = platform::StoreCreateExclusive(tmp, error);
        if (handle == -1 && !platform::StoreAlreadyExists(error)) break;
    }
    if (handle == -1) {
        Log(channel, kLogError, messages.open, PathForLog(tmp).c_str());
        return false;
    }
    // Flushing before the rename makes sure a crash never leaves the target
    // name pointing at a file whose data has not reached the disk yet.
    if (!platform::StoreWriteAll(handle, content.data(), content.size(), error) ||
        !platform::StoreFlushToDisk(handle, error)) {
        Log(channel, kLogError, messages.write);
        platform::StoreClose(handle);
        // A partial temporary file is of no use to anyone and may hold a secret.
        platform::StoreRemove(tmp);
        return false;
    }
    platform::StoreClose(handle);

    const StoreRenameHook hook = gRenameHook.load();
    const int renameError = hook ? hook(tmp, path) : platform::StoreRename(tmp, path);
    if (renameError == 0) {
        platform::StoreFlushFolder(path.parent_path());
        return true;
    }
    Log(channel, kLogError, messages.rename, PathForLog(tmp).c_str(), PathForLog(path).c_str(),
        platform::SystemErrorText(renameError).c_str());
    platform::StoreRemove(tmp);
    return false;
}

StoreFileLock::StoreFileLock(const std::filesystem::path& storePath, const LogChannel& channel)
    : StoreFileLock(storePath, channel, StoreClock()) {}

StoreFileLock::StoreFileLock(const std::filesystem::path& storePath, const LogChannel& channel, Clock& clock) {
    std::filesystem::path lockPath = storePath;
    lockPath += ".lock";
    const std::intptr_t handle = platform::StoreOpenLockFile(lockPath);
    if (handle == kNoHandle) return;
    // A process that hangs holding the lock must not hang this one with it.
    const auto start = clock.Now();
    for (;;) {
        const platform::StoreLockResult r = platform::StoreTryLock(handle);
        if (r == platform::StoreLockResult::kLocked) {
            handle_ = handle;
            RemoveStaleTemporaries(storePath);
            return;
        }
        if (r == platform::StoreLockResult::kFailed) break;
        const auto waited = clock.Now() - start;
        if (waited >= kStoreLockWait) {
            Log(channel, kLogError, "lock(%{public}s): still held elsewhere after %lld ms — not written",
                PathForLog(lockPath).c_str(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
            timedOut_ = true;
            break;
        }
        clock.SleepFor(kLockPoll);
    }
    platform::StoreClose(handle);
}

StoreFileLock::~StoreFileLock() {
    if (handle_ != kNoHandle) platform::StoreUnlock(handle_);
}

void OverrideStoreRenameForTesting(StoreRenameHook hook) { gRenameHook.store(hook); }
void OverrideStoreClockForTesting(Clock* clock) { gStoreClock.store(clock); }

}  // namespace Veltrix
