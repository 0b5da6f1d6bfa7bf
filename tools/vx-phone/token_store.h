// The phone's memory between runs: its own identifier and, per plug-in
// address (host:port), the token it was issued, so the next run reconnects
// trusted. One small text file, owner-only, replaced whole on every write:
//   id <phone id>
//   token <host:port> <phone id> <token>
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Veltrix::phone {

class TokenStore {
public:
    explicit TokenStore(std::filesystem::path file);

    // The default file: $XDG_CONFIG_HOME/vx-phone/tokens (else ~/.config/...).
    static std::filesystem::path DefaultPath();

    // Reads the file (a missing file is an empty store); false when unreadable.
    bool Load(std::string* error);
    // Writes the whole store; false with *error set on failure.
    bool Save(std::string* error) const;

    // The stored phone id, made (and kept) on first use when none.
    const std::string& PhoneId();
    // The token issued for host:port to this phone id; empty when none.
    std::string TokenFor(const std::string& hostKey, const std::string& phoneId) const;
    void SetToken(const std::string& hostKey, const std::string& phoneId, const std::string& token);
    void ForgetToken(const std::string& hostKey, const std::string& phoneId);

    const std::filesystem::path& path() const { return file_; }

private:
    struct Entry {
        std::string host, id, token;
    };
    std::filesystem::path file_;
    std::string phoneId_;
    std::vector<Entry> entries_;
};

}  // namespace Veltrix::phone
