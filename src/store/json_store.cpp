#include "store/json_store.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "store/store_platform.h"
#include "support/paths.h"

namespace Veltrix {
namespace {

constexpr int kReadAttempts = 5;
constexpr auto kReadRetryDelay = std::chrono::milliseconds(5);

std::atomic<StoreRenameHook> gRenameHook{nullptr};

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
            default: value.push_back(e); break;  // quote, backslash, slash, 'u', anything
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

std::string JsonGetString(std::string_view text, std::string_view key) {
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

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, Clock& clock) {
    std::string text;
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
        if (platform::StoreReadFile(path, text) != platform::StoreReadResult::kOk) {
            return std::nullopt;
        }
        if (!text.empty()) return text;
        // A file that reads empty may be caught between another writer's
        // truncate and write; give it a moment.
        if (attempt < kReadAttempts) clock.SleepFor(kReadRetryDelay);
    }
    return std::nullopt;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         const LogChannel& channel, const StoreMessages& messages) {
    std::filesystem::path tmp = path;
    tmp += ".tmp";

    int error = 0;
    const std::intptr_t handle = platform::StoreOpenForWrite(tmp, error);
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

StoreFileLock::StoreFileLock(const std::filesystem::path& storePath) {
    std::filesystem::path lockPath = storePath;
    lockPath += ".lock";
    handle_ = platform::StoreLock(lockPath);
}

StoreFileLock::~StoreFileLock() {
    if (handle_ != kNoHandle) platform::StoreUnlock(handle_);
}

void OverrideStoreRenameForTesting(StoreRenameHook hook) { gRenameHook.store(hook); }

}  // namespace Veltrix
