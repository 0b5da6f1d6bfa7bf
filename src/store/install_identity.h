// The install's identity (a random id and a human-readable name) and its two
// user settings, kept in "install.json" in the application-support folder and
// shared by every host on the computer. Nothing is cached: every call reads the
// file again, so a change made by another host process is seen at the next call.
#pragma once

#include <filesystem>
#include <string>

namespace Veltrix {

struct InstallIdentity {
    std::string id;
    std::string name;
};

// AppSupportDir() / "install.json".
std::filesystem::path InstallIdentityPath();

// The identity, created and stored on first use (a new id when none is stored,
// the computer name when the stored name is empty).
InstallIdentity LoadOrCreateIdentity();

// True unless the stored value is exactly "false" (true without a file).
bool IsDiscoverable();
// True only when the stored value is exactly "true" (false without a file).
bool AsyncHwEncodersEnabled();

// Store one setting, keeping the identity and the other setting. True when
// the file was written (false: lock held elsewhere, unreadable file, write failed).
bool SetDiscoverable(bool value);
bool SetAsyncHwEncodersEnabled(bool value);

// Renames this install; does nothing when no identity is stored yet. True when written.
bool SetInstallName(const std::string& name);

}  // namespace Veltrix
