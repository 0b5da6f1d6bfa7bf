#include "vx-phone/phone_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "vx-phone/control_client.h"

namespace Veltrix::phone {
namespace {

bool ParseLong(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "0.05" or "5%": a share in [0, 1).
bool ParseShare(std::string s, double* out) {
    double scale = 1;
    if (!s.empty() && s.back() == '%') {
        s.pop_back();
        scale = 0.01;
    }
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end) * scale;
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v >= 1) return false;
    *out = v;
    return true;
}

bool ParseSeconds(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
    *out = v;
    return true;
}

}  // namespace

std::optional<PhoneOptions> ParsePhoneOptions(const std::vector<std::string>& args, std::string* error) {
    PhoneOptions o;
    auto fail = [&](const std::string& msg) -> std::optional<PhoneOptions> {
        if (error) *error = msg;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto need = [&](const char* what) -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) {
                if (error) *error = name + " needs " + what;
                return false;
            }
            value = args[++i];
            return true;
        };
        long n = 0;
        auto port = [&](std::uint16_t* out, bool allowZero) -> bool {
            if (!need("a port number")) return false;
            if (!allowZero && value == "0" && (name == "--video-port" || name == "--audio-port")) {
                // An ephemeral port is one the plug-in never sends to.
                if (error)
                    *error = name + " 0 would never receive anything: the plug-in always sends " +
                             (name == "--video-port" ? "video to port 47101" : "audio to port 47102");
                return false;
            }
            if (!ParseLong(value, allowZero ? 0 : 1, 65535, &n)) {
                if (error) *error = name + ": '" + value + "' is not a port 1..65535";
                return false;
            }
            *out = static_cast<std::uint16_t>(n);
            return true;
        };
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--quiet" || name == "-q") {
            o.quiet = true;
        } else if (name == "--forget-token") {
            o.forgetToken = true;
        } else if (name == "--no-auto-idr") {
            o.autoIdr = false;
        } else if (name == "--discover") {
            o.discover = true;
            // The name is optional: taken when given with "=" or when the next word is no option.
            if (hasValue) {
                o.discoverName = value;
            } else if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) {
                o.discoverName = args[++i];
            }
        } else if (name == "--discover-timeout") {
            if (!need("a number of seconds")) return std::nullopt;
            if (!ParseSeconds(value, &o.discoverTimeout) || o.discoverTimeout <= 0) {
                return fail("--discover-timeout: '" + value + "' is not a number > 0");
            }
        } else if (name == "--host") {
            if (!need("an address")) return std::nullopt;
            if (value.empty()) return fail("--host needs an address");
            o.host = value;
        } else if (name == "--port") {
            if (!port(&o.port, false)) return std::nullopt;
        } else if (name == "--bind") {
            if (!need("a local IPv4 address")) return std::nullopt;
            o.bind = value;
        } else if (name == "--video-port") {
            if (!port(&o.videoPort, false)) return std::nullopt;
        } else if (name == "--audio-port") {
            if (!port(&o.audioPort, false)) return std::nullopt;
        } else if (name == "--code") {
            if (!need("six digits")) return std::nullopt;
            if (!IsSixDigitCode(value)) return fail("--code: '" + value + "' is not six digits");
            o.code = value;
        } else if (name == "--token-file") {
            if (!need("a path")) return std::nullopt;
            if (value.empty()) return fail("--token-file needs a path");
            o.tokenFile = value;
        } else if (name == "--id") {
            if (!need("an identifier")) return std::nullopt;
            if (value.empty() || value.size() > 64) return fail("--id: 1..64 bytes");
            o.id = value;
        } else if (name == "--name") {
            if (!need("a display name")) return std::nullopt;
            if (value.size() > 128) return fail("--name: at most 128 bytes");
            o.name = value;
        } else if (name == "--seconds") {
            if (!need("a number of seconds")) return std::nullopt;
            if (!ParseSeconds(value, &o.seconds)) return fail("--seconds: '" + value + "' is not a number >= 0");
        } else if (name == "--pair-timeout") {
            if (!need("a number of seconds")) return std::nullopt;
            if (!ParseSeconds(value, &o.pairTimeout) || o.pairTimeout <= 0) {
                return fail("--pair-timeout: '" + value + "' is not a number > 0");
            }
        } else if (name == "--save-png") {
            if (!need("a folder")) return std::nullopt;
            if (value.empty()) return fail("--save-png needs a folder");
            o.savePngDir = value;
        } else if (name == "--png-every") {
            if (!need("a frame count")) return std::nullopt;
            if (!ParseLong(value, 1, 1000000, &n)) return fail("--png-every: '" + value + "' is not 1..1000000");
            o.pngEvery = static_cast<int>(n);
        } else if (name == "--save-annexb") {
            if (!need("a file")) return std::nullopt;
            if (value.empty()) return fail("--save-annexb needs a file");
            o.saveAnnexB = value;
        } else if (name == "--send") {
            if (!need("a command")) return std::nullopt;
            std::string why;
            if (!ParsePhoneCommand(value, &why)) return fail("--send '" + value + "': " + why);
            o.send.push_back(value);
        } else if (name == "--show") {
            o.show = true;
        } else if (name == "--sync") {
            o.sync = true;
        } else if (name == "--drop") {
            if (!need("a share such as 0.02 or 2%")) return std::nullopt;
            if (!ParseShare(value, &o.dropRate)) return fail("--drop: '" + value + "' is not a share from 0 to below 1 (0.02 or 2%)");
        } else if (name == "--drop-burst") {
            if (!need("a mean burst length")) return std::nullopt;
            if (!ParseSeconds(value, &o.dropBurst) || o.dropBurst < 1 || o.dropBurst > 1000) {
                return fail("--drop-burst: '" + value + "' is not a mean length from 1 to 1000 datagrams");
            }
        } else if (name == "--drop-seed") {
            if (!need("a number")) return std::nullopt;
            char* end = nullptr;
            errno = 0;
            const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0' || v == 0) return fail("--drop-seed: '" + value + "' is not a number > 0");
            o.dropSeed = v;
        } else if (name == "--warmup") {
            if (!need("a number of seconds")) return std::nullopt;
            if (!ParseSeconds(value, &o.warmup) || o.warmup < 0 || o.warmup > 3600) {
                return fail("--warmup: '" + value + "' is not a number of seconds from 0 to 3600");
            }
        } else if (name == "--silence-limit") {
            if (!need("a number of seconds")) return std::nullopt;
            if (!ParseSeconds(value, &o.silenceLimit) || o.silenceLimit < 0.1) {
                return fail("--silence-limit: '" + value + "' is not a number of seconds >= 0.1");
            }
        } else if (name == "--min-decoded") {
            if (!need("a picture count")) return std::nullopt;
            if (!ParseLong(value, 0, 100000000, &n)) return fail("--min-decoded: '" + value + "' is not a count");
            o.minDecoded = static_cast<int>(n);
        } else {
            return fail("unknown option '" + args[i] + "' (see --help)");
        }
    }
    return o;
}

std::string PhoneUsageText() {
    return
        "usage: vx-phone [options]\n"
        "\n"
        "Plays the phone for the Veltrix transmit plug-in: pairs over the control\n"
        "channel, receives the video and audio datagrams, rebuilds lost fragments\n"
        "from the parity, decodes the video and reports what arrived and how late.\n"
        "Ctrl+C stops and prints the summary.\n"
        "\n"
        "options:\n"
        "  --host ADDR          plug-in address (default 127.0.0.1)\n"
        "  --port N             control port: 47100 Premiere Pro, 47110 After Effects,\n"
        "                       47120 Media Encoder, 47130 other hosts (default 47100)\n"
        "  --discover [NAME]    find the plug-in by mDNS (\"_veltrix._tcp\"), list what answers\n"
        "                       and connect to the first, or to the one whose name, TXT name\n"
        "                       or TXT id is NAME; replaces --host and --port\n"
        "  --discover-timeout S how long to look (default 10)\n"
        "  --bind ADDR          local address for the media ports (default 127.0.0.1 for\n"
        "                       a loopback host, else 0.0.0.0)\n"
        "  --video-port N       UDP port for video (default 47101)\n"
        "  --audio-port N       UDP port for audio (default 47102)\n"
        "  --code NNNNNN        pairing code; without it the code is read from stdin\n"
        "                       when the plug-in asks for one\n"
        "  --token-file PATH    where the phone id and tokens are kept\n"
        "                       (default $XDG_CONFIG_HOME/vx-phone/tokens)\n"
        "  --forget-token       present no token: pair with a code again\n"
        "  --id ID              phone identifier (default: the stored one, made once)\n"
        "  --name NAME          phone display name (default \"vx-phone on <computer>\")\n"
        "  --seconds S          run S seconds after pairing, 0 = until Ctrl+C (default 0)\n"
        "  --json               JSON lines on stdout (events, status, summary)\n"
        "  --quiet, -q          no live status line\n"
        "  --save-png DIR       save every Nth decoded picture as DIR/frame-NNNNNN.png\n"
        "  --png-every N        N for --save-png (default 30)\n"
        "  --save-annexb FILE   write the received video stream as Annex-B\n"
        "  --send \"CMD ARGS\"    send a phone command after pairing (repeatable):\n" +
        PhoneCommandHelp() +
        "  --no-auto-idr        do not ask for a key frame after a lost frame\n"
        "  --min-decoded N      exit with status 3 when fewer than N pictures decoded\n"
        "  --show               a window with the decoded picture, scaled to fit, and the\n"
        "                       live figures; closing it stops like Ctrl+C\n"
        "  --drop RATE          drop that share of the received datagrams (0.02 or 2%)\n"
        "                       at random before reassembly, to simulate loss\n"
        "  --drop-burst N       with --drop: drops come in bursts of N datagrams on\n"
        "                       average (two-state model) instead of one by one\n"
        "  --drop-seed N        the same drops on every run (default: new each run)\n"
        "  --sync               with vx-host --pattern sync: the skew between each\n"
        "                       decoded flash and its click in the audio (p50, spread)\n"
        "  --warmup S           leave the first S seconds of frames out of the rates,\n"
        "                       latencies and loss figures (an encoder change settles)\n"
        "  --silence-limit S    a plug-in heard from neither by heartbeat nor by\n"
        "                       datagram for S seconds has gone silent (default 5)\n"
        "  --pair-timeout S     give up pairing after S seconds of silence (default 120)\n"
        "  --help               this text\n"
        "\n"
        "exit status: 0 ok, 1 connection or pairing failed, 2 bad options,\n"
        "3 fewer pictures than --min-decoded, 4 the plug-in went silent\n";
}

}  // namespace Veltrix::phone
