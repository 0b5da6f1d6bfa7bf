// vx-phone: the reference receiver, playing the phone for the transmit plug-in.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "vx-phone/phone_discovery.h"
#include "vx-phone/phone_options.h"
#include "vx-phone/phone_session.h"

namespace {

std::atomic<bool> gStop{false};

extern "C" void OnInterrupt(int) { gStop.store(true); }

// Reads the code from stdin; a line of six digits (spaces ignored).
std::optional<std::string> PromptCode() {
    if (isatty(STDIN_FILENO)) std::cerr << "vx-phone: enter the pairing code shown on the computer: " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    std::string digits;
    for (char c : line) {
        if (c != ' ' && c != '\t' && c != '\r') digits += c;
    }
    return digits;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Veltrix::phone;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = ParsePhoneOptions(args, &error);
    if (!options) {
        std::cerr << "vx-phone: " << error << "\n";
        return 2;
    }
    if (options->help) {
        std::cout << PhoneUsageText();
        return 0;
    }
    // No SA_RESTART: Ctrl+C also ends a prompt that waits for the code.
    struct sigaction sa {};
    sa.sa_handler = &OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (options->discover) {
        std::ostream& list = options->json ? std::cerr : std::cout;
        std::string why;
        const auto found = DiscoverServices(options->discoverTimeout, options->discoverName, &why);
        if (!why.empty()) {
            std::cerr << "vx-phone: --discover: " << why << "\n";
            return 1;
        }
        const FoundService* pick = nullptr;
        for (const auto& s : found) {
            list << DescribeService(s) << "\n";
            if (pick == nullptr && ServiceMatches(s, options->discoverName)) pick = &s;
        }
        if (pick == nullptr) {
            std::cerr << "vx-phone: --discover: no plug-in" << (options->discoverName.empty() ? "" : " named so")
                      << " answered within " << options->discoverTimeout << " s\n";
            return 1;
        }
        list << "discover: connecting to " << pick->address << ":" << pick->port << "\n" << std::flush;
        options->host = pick->address;
        options->port = pick->port;
    }
    PhoneSession::Io io;
    io.out = &std::cout;
    io.err = &std::cerr;
    io.statusOnTerminal = isatty(STDERR_FILENO) != 0;
    io.promptCode = &PromptCode;
    const int rc = RunPhone(*options, io, gStop);
    return rc;
}
