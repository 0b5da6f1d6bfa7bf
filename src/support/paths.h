// Host detection, per-user folders and identifiers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace Veltrix {

enum class HostKind : int {
    kPremiere = 0,
    kAfterEffects = 1,
    kMediaEncoder = 2,
    kOther = 3,
};

// "Premiere", "After Effects", "Media Encoder", "Unknown Host".
const char* HostName(HostKind kind);
// "" for Premiere Pro, else "ae", "ame", "x".
const char* HostSuffix(HostKind kind);

// The control port a host kind listens on (47100, 47110, 47120, 47130) unless
// VX_CONTROL_PORT holds another number (0 there: any free port, known only
// once listening).
std::uint16_t ConfiguredControlPort(HostKind kind);

// Lower-cased file name of the process's executable ("" when unknown).
std::string HostExecutableName();
// The detection table applied to one executable name (already lower-cased).
HostKind HostKindFromExecutableName(std::string_view lowerName);
// Computed once per process, thread-safe.
HostKind DetectHost();

// The roaming per-user application-support folder "Veltrix" (not created).
std::filesystem::path AppSupportDir();
// Creates the folder when missing; true when it exists as a directory.
bool EnsureAppSupportDir();
// Local (non-roaming) per-user data folder "Veltrix": logs, topic files, crash reports.
// Not cached, so each log line follows the environment as it is now.
std::filesystem::path LocalDataDir();

// The computer's host name in UTF-8, or "PC".
std::string ComputerName();
// A random UUID, 36 characters, lowercase; the nil UUID when no randomness is available.
std::string NewUuid();
// Six decimal digits from the system random generator; "731054" when it fails.
std::string SixDigitCode();
// byteCount random bytes as lowercase hex (2 characters each); "" on failure.
std::string RandomHex(std::size_t byteCount);

// Pure formatting halves of the above, shared by both platforms and the tests.
std::string FormatSixDigitCode(const std::uint8_t bytes[4]);
std::string FormatHex(const std::uint8_t* bytes, std::size_t count);
std::string FormatUuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, const std::uint8_t d4[8]);
inline constexpr const char* kNilUuid = "00000000-0000-0000-0000-000000000000";

// UTF-8 rendering of a path for log lines (with forward slashes on Windows).
std::string PathForLog(const std::filesystem::path& p);

// Tests only: replaces the application-support base folder (the parent of
// "Veltrix") for this process. An empty path restores the platform's rule.
void OverrideAppSupportBaseForTesting(const std::filesystem::path& base);

namespace platform {
// The platform halves of the functions above; each platform file implements these.
std::string ExecutablePath();
std::filesystem::path RoamingBase();   // parent of "Veltrix" for AppSupportDir
std::filesystem::path LocalBase();     // parent of "Veltrix" for logs and diagnostics
std::string HostNameUtf8();            // "" on failure
bool RandomBytes(void* out, std::size_t count);
// 16 bytes of a fresh UUID split as the platform's UUID record; false on failure.
bool CreateUuid(std::uint32_t& d1, std::uint16_t& d2, std::uint16_t& d3, std::uint8_t d4[8]);
std::string SystemErrorText(int code);
}  // namespace platform

}  // namespace Veltrix
