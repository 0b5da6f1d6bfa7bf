// vx-host: the editing host, simulated, for the transmit plug-in.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "support/paths.h"
#include "vx-host/host_options.h"
#include "vx-host/host_session.h"
#include "vx-host/platform.h"
#include "vx-host/setup_command.h"
#include "vx-host/terminal.h"

namespace {

std::atomic<bool> gStop{false};
volatile std::sig_atomic_t gSignalled = 0;

extern "C" void OnInterrupt(int) {
    gSignalled = 1;
    gStop.store(true);
}

constexpr const char* kChildMarker = "VX_HOST_AS_CHILD";

}  // namespace

int main(int argc, char** argv) {
    using namespace Veltrix;
    using namespace Veltrix::host;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto setup = ParseSetupCommand(args, &error);
    if (setup && !error.empty()) {
        std::cerr << "vx-host: " << error << "\n";
        return 2;
    }
    auto options = ParseHostOptions(setup ? setup->hostArgs : args, &error);
    if (!options) {
        std::cerr << "vx-host: " << error << "\n";
        return 2;
    }
    if (!options->help && options->as && DetectHost() != *options->as) {
        const char* marker = std::getenv(kChildMarker);
        if (marker && *marker) {
            std::cerr << "vx-host: running as '" << HostExecutableNameFor(*options->as)
                      << "' still does not detect as " << HostName(*options->as) << "; going on as "
                      << HostName(DetectHost()) << "\n";
        } else {
            // The copy may run elsewhere: name the plug-ins beside this executable.
            args = ArgsForHostCopy(std::move(args), *options, SelfExecutablePath().parent_path(),
                                   DefaultPluginFileName(), DefaultCtrlFileName());
            SetEnvironmentMarker(kChildMarker);
            const int rc = ReexecAs(HostExecutableNameFor(*options->as), args, &error);
            if (rc < 0) {
                std::cerr << "vx-host: cannot run as " << HostExecutableNameFor(*options->as) << ": " << error << "\n";
                return 1;
            }
            return rc;
        }
    }
    if (setup) return RunSetupCommand(*setup, std::cout, std::cerr);
    std::signal(SIGINT, &OnInterrupt);
    std::signal(SIGTERM, &OnInterrupt);
    const int rc = HostMain(args, gStop, std::cout, std::cerr, StderrIsTerminal());
    if (gSignalled) std::cout << "vx-host: interrupted, stopped cleanly\n";
    return rc;
}
