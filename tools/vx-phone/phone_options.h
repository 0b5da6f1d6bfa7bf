// Command line of vx-phone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Veltrix::phone {

struct PhoneOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 47100;
    std::string bind;                 // empty: 127.0.0.1 for a loopback host, else 0.0.0.0
    std::uint16_t videoPort = 47101;
    std::uint16_t audioPort = 47102;
    std::string code;                 // empty: ask on stdin when challenged
    std::string tokenFile;            // empty: TokenStore::DefaultPath()
    bool forgetToken = false;         // present no token (forces a challenge)
    std::string id;                   // empty: the stored phone id
    std::string name;                 // empty: "vx-phone on <computer>"
    double seconds = 0;               // 0 = until interrupted
    bool json = false;
    bool quiet = false;
    std::string savePngDir;
    int pngEvery = 30;
    std::string saveAnnexB;
    std::vector<std::string> send;    // commands, in order, right after pairing
    int minDecoded = 0;               // exit 3 with fewer decoded pictures
    double pairTimeout = 120;         // seconds of silence while pairing
    bool autoIdr = true;              // ask for a key frame after a loss
    bool show = false;                // a window with the picture and the live figures
    double dropRate = 0;              // share of received datagrams dropped on purpose
    double dropBurst = 0;             // mean burst length (0: independent drops)
    std::uint64_t dropSeed = 0;       // 0: a fresh seed each run
    bool sync = false;                // measure flash/click skew of the sync pattern
    double warmup = 0;                // seconds of frames left out of the figures
    double silenceLimit = 5;          // seconds without heartbeat or datagram: the plug-in is gone
    bool discover = false;            // find the plug-in by mDNS instead of --host/--port
    std::string discoverName;         // the service (name, TXT name or id) to pick; empty: the first
    double discoverTimeout = 10;      // seconds to look for it
    bool help = false;
};

// Parses argv[1..]; nothing with *error naming the bad option.
std::optional<PhoneOptions> ParsePhoneOptions(const std::vector<std::string>& args, std::string* error);
std::string PhoneUsageText();

}  // namespace Veltrix::phone
