#include "store/install_identity.h"

#include <mutex>
#include <optional>

#include "store/json_store.h"
#include "support/log.h"
#include "support/paths.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "installid"};

constexpr StoreMessages kMessages{
    "write identity: open(%{public}s) failed",
    "write identity: write failed",
    "write identity: rename(%{public}s -> %{public}s) failed: %{public}s",
};

// Serialises every operation within the process; the file lock does the same
// across the hosts that share the file.
std::mutex& IdentityMutex() {
    static std::mutex m;
    return m;
}

struct StoredInstall {
    InstallIdentity identity;
    bool discoverable = true;
    bool asyncHw = false;
};

StoreText ReadText() {
    StoreText read = ReadStoreText(InstallIdentityPath());
    if (read.status == StoreText::kUnreadable)
        Log(kLog, kLogError, "read(%{public}s) failed", PathForLog(InstallIdentityPath()).c_str());
    return read;
}

StoredInstall Parse(const StoreText& read) {
    StoredInstall s;
    if (read.status != StoreText::kRead) return s;
    const std::string& text = read.text;
    s.identity.id = JsonGetString(text, "id");
    s.identity.name = JsonGetString(text, "name");
    s.discoverable = JsonGetString(text, "discoverable") != "false";
    s.asyncHw = JsonGetString(text, "enableAsyncHwEncoders") == "true";
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    if (first == std::string::npos || text[first] != '{' || text[last] != '}' || s.identity.id.empty()) {
        std::string kept;
        for (const char* key : {"id", "name", "discoverable", "enableAsyncHwEncoders"}) {
            if (JsonGetString(text, key).empty()) continue;
            if (!kept.empty()) kept += ", ";
            kept += key;
        }
        LogDamagedStore(kLog, InstallIdentityPath(), text, kept.empty() ? std::string("nothing") : kept);
    }
    return s;
}

std::string Serialise(const StoredInstall& s) {
    std::string out = "{\"id\":\"";
    out += JsonEscape(s.identity.id);
    out += "\",\"name\":\"";
    out += JsonEscape(s.identity.name);
    out += "\",\"discoverable\":\"";
    out += s.discoverable ? "true" : "false";
    out += "\",\"enableAsyncHwEncoders\":\"";
    out += s.asyncHw ? "true" : "false";
    out += "\"}\n";
    return out;
}

bool Write(const StoredInstall& s) {
    return WriteFileAtomically(InstallIdentityPath(), Serialise(s), kLog, kMessages);
}

// Keeps the stored settings, replaces the identity. A file that could not be
// read whole is left alone: its settings are not known.
bool WriteIdentity(const InstallIdentity& identity) {
    EnsureAppSupportDir();
    const StoreText read = ReadText();
    if (read.status == StoreText::kUnreadable) return false;
    StoredInstall s = Parse(read);
    s.identity = identity;
    return Write(s);
}

}  // namespace

std::filesystem::path InstallIdentityPath() { return AppSupportDir() / "install.json"; }

InstallIdentity LoadOrCreateIdentity() {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    // Two hosts starting together must not each create a different identity.
    EnsureAppSupportDir();
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    // Another process holding the lock too long: the identity is used, not stored.
    const StoreText read = ReadText();
    // A file that could not be read whole may hold an identity: never replace it.
    const bool mayWrite = !fileLock.timedOut() && read.status != StoreText::kUnreadable;
    InstallIdentity identity = Parse(read).identity;
    if (!identity.id.empty() && !identity.name.empty()) return identity;
    if (!identity.id.empty()) {
        identity.name = ComputerName();
        if (mayWrite) WriteIdentity(identity);
        return identity;
    }
    identity.id = NewUuid();
    identity.name = ComputerName();
    if (mayWrite) WriteIdentity(identity);
    Log(kLog, kLogInfo, "install identity created id=%{public}s name=%{public}s", identity.id.c_str(),
        identity.name.c_str());
    return identity;
}

bool IsDiscoverable() {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    return Parse(ReadText()).discoverable;
}

bool AsyncHwEncodersEnabled() {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    return Parse(ReadText()).asyncHw;
}

namespace {

template <typename Change>
bool ChangeSetting(Change change) {
    EnsureAppSupportDir();
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    if (fileLock.timedOut()) return false;
    const StoreText read = ReadText();
    if (read.status == StoreText::kUnreadable) return false;
    StoredInstall s = Parse(read);
    if (s.identity.id.empty()) {
        s.identity.id = NewUuid();
        s.identity.name = ComputerName();
    }
    change(s);
    return Write(s);
}

}  // namespace

bool SetDiscoverable(bool value) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    if (!ChangeSetting([value](StoredInstall& s) { s.discoverable = value; })) return false;
    Log(kLog, kLogInfo, "discoverable=%{public}s", value ? "true" : "false");
    return true;
}

bool SetAsyncHwEncodersEnabled(bool value) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    if (!ChangeSetting([value](StoredInstall& s) { s.asyncHw = value; })) return false;
    Log(kLog, kLogInfo, "enableAsyncHwEncoders=%{public}s", value ? "true" : "false");
    return true;
}

bool SetInstallName(const std::string& name) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    if (fileLock.timedOut()) return false;
    InstallIdentity identity = Parse(ReadText()).identity;
    if (identity.id.empty()) return false;
    identity.name = name;
    return WriteIdentity(identity);
}

}  // namespace Veltrix
