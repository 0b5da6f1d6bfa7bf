// `vx-host setup`: the plug-in's setup view without a host session, and the
// setup key of a running vx-host.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Veltrix::host {

struct SetupCommand {
    std::string qrPng;                  // --qr-png FILE: write the pairing address's code and exit
    std::vector<std::string> hostArgs;  // what is left for the host options (--as)
};

// Recognises "setup" as the first argument; nothing when it is not there. On a
// bad option sets *error and returns a command with hostArgs holding "--help"-free rest.
std::optional<SetupCommand> ParseSetupCommand(const std::vector<std::string>& args, std::string* error);

// Runs the setup view on this terminal (or window), or writes the QR PNG. Exit status.
int RunSetupCommand(const SetupCommand& command, std::ostream& out, std::ostream& err);

// The key that opens the plug-in's setup view in a running vx-host.
inline constexpr char kSetupKey = 's';

// Reads keys of the terminal while vx-host runs (only when stdin is one) and calls
// openSetup for kSetupKey; steps aside while the setup view holds the terminal.
class SetupKeyReader {
public:
    explicit SetupKeyReader(std::function<void()> openSetup);
    ~SetupKeyReader();  // stops and joins
    SetupKeyReader(const SetupKeyReader&) = delete;
    SetupKeyReader& operator=(const SetupKeyReader&) = delete;
    // True while the setup view holds the terminal (vx-host's status line waits).
    bool ViewHoldsTerminal() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Veltrix::host
