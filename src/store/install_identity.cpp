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

std::optional<std::string> ReadText() { return ReadWholeFile(InstallIdentityPath()); }

StoredInstall Parse(const std::optional<std::string>& text) {
    StoredInstall s;
    if (!text) return s;
    s.identity.id = JsonGetString(*text, "id");
    s.identity.name = JsonGetString(*text, "name");
    s.discoverable = JsonGetString(*text, "discoverable") != "false";
    s.asyncHw = JsonGetString(*text, "enableAsyncHwEncoders") == "true";
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

void Write(const StoredInstall& s) {
    WriteFileAtomically(InstallIdentityPath(), Serialise(s), kLog, kMessages);
}

// Keeps the stored settings, replaces the identity.
void WriteIdentity(const InstallIdentity& identity) {
    EnsureAppSupportDir();
    StoredInstall s = Parse(ReadText());
    s.identity = identity;
    Write(s);
}

}  // namespace

std::filesystem::path InstallIdentityPath() { return AppSupportDir() / "install.json"; }

InstallIdentity LoadOrCreateIdentity() {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    // Two hosts starting together must not each create a different identity.
    EnsureAppSupportDir();
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    // Another process holding the lock too long: the identity is used, not stored.
    const bool mayWrite = !fileLock.timedOut();
    InstallIdentity identity = Parse(ReadText()).identity;
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
void ChangeSetting(Change change) {
    EnsureAppSupportDir();
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    if (fileLock.timedOut()) return;
    StoredInstall s = Parse(ReadText());
    if (s.identity.id.empty()) {
        s.identity.id = NewUuid();
        s.identity.name = ComputerName();
    }
    change(s);
    Write(s);
}

}  // namespace

void SetDiscoverable(bool value) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    ChangeSetting([value](StoredInstall& s) { s.discoverable = value; });
    Log(kLog, kLogInfo, "discoverable=%{public}s", value ? "true" : "false");
}

void SetAsyncHwEncodersEnabled(bool value) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    ChangeSetting([value](StoredInstall& s) { s.asyncHw = value; });
    Log(kLog, kLogInfo, "enableAsyncHwEncoders=%{public}s", value ? "true" : "false");
}

void SetInstallName(const std::string& name) {
    std::lock_guard<std::mutex> guard(IdentityMutex());
    StoreFileLock fileLock(InstallIdentityPath(), kLog);
    if (fileLock.timedOut()) return;
    InstallIdentity identity = Parse(ReadText()).identity;
    if (identity.id.empty()) return;
    identity.name = name;
    WriteIdentity(identity);
}

}  // namespace Veltrix
