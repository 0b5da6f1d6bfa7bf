#include "vx-host/setup_command.h"

namespace Veltrix::host {

std::optional<SetupCommand> ParseSetupCommand(const std::vector<std::string>& args, std::string* error) {
    if (args.empty() || args[0] != "setup") return std::nullopt;
    SetupCommand command;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--qr-png") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = "setup: --qr-png needs a file name";
                return command;
            }
            command.qrPng = args[++i];
        } else if ((args[i] == "--as" || args[i] == "--plugin") && i + 1 < args.size()) {
            command.hostArgs.push_back(args[i]);
            command.hostArgs.push_back(args[++i]);
        } else {
            *error = "setup: unknown option '" + args[i] + "' (setup takes --qr-png FILE and --as HOST)";
            return command;
        }
    }
    return command;
}

}  // namespace Veltrix::host
