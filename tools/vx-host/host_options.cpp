#include "vx-host/host_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace Veltrix::host {
namespace {

bool ParseInt64(const std::string& s, std::int64_t* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

std::optional<HostKind> ParseHostKind(const std::string& s) {
    if (s == "premiere") return HostKind::kPremiere;
    if (s == "ae") return HostKind::kAfterEffects;
    if (s == "ame") return HostKind::kMediaEncoder;
    if (s == "other") return HostKind::kOther;
    return std::nullopt;
}

}  // namespace

std::optional<FrameRate> ParseFrameRate(const std::string& text) {
    FrameRate r;
    const auto slash = text.find('/');
    if (slash != std::string::npos) {
        if (!ParseInt64(text.substr(0, slash), &r.num) || !ParseInt64(text.substr(slash + 1), &r.den) ||
            r.num <= 0 || r.den <= 0) {
            return std::nullopt;
        }
    } else if (text == "23.976" || text == "23.98") {
        r = {24000, 1001};
    } else if (text == "29.97") {
        r = {30000, 1001};
    } else if (text == "59.94") {
        r = {60000, 1001};
    } else if (text == "119.88") {
        r = {120000, 1001};
    } else {
        // A plain decimal, exactly: "12.5" -> 125/10.
        const auto dot = text.find('.');
        std::string digits = text;
        std::int64_t den = 1;
        if (dot != std::string::npos) {
            const std::string frac = text.substr(dot + 1);
            if (frac.empty() || frac.size() > 6 || frac.find_first_not_of("0123456789") != std::string::npos) {
                return std::nullopt;
            }
            digits = text.substr(0, dot) + frac;
            for (std::size_t i = 0; i < frac.size(); ++i) den *= 10;
        }
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        if (!ParseInt64(digits, &r.num)) return std::nullopt;
        r.den = den;
    }
    const std::int64_t g = std::gcd(r.num, r.den);
    if (g > 1) {
        r.num /= g;
        r.den /= g;
    }
    if (r.num <= 0 || r.value() < 1.0 || r.value() > 240.0) return std::nullopt;
    return r;
}

std::optional<HostOptions> ParseHostOptions(const std::vector<std::string>& args, std::string* error) {
    HostOptions o;
    auto fail = [&](const std::string& msg) {
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
        auto need = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--paused") {
            o.paused = true;
        } else if (name == "--quiet" || name == "-q") {
            o.quiet = true;
        } else if (name == "--size") {
            if (!need()) return fail("--size needs a value such as 1280x720");
            const auto x = value.find('x');
            std::int64_t w = 0, h = 0;
            if (x == std::string::npos || !ParseInt64(value.substr(0, x), &w) ||
                !ParseInt64(value.substr(x + 1), &h) || w < 1 || h < 1 || w > 16384 || h > 16384) {
                return fail("--size: '" + value + "' is not WIDTHxHEIGHT with sides 1..16384");
            }
            o.width = static_cast<int>(w);
            o.height = static_cast<int>(h);
            o.sizeGiven = true;
        } else if (name == "--source") {
            if (!need() || value.empty()) return fail("--source needs the path of a video file");
            o.source = value;
        } else if (name == "--fps") {
            if (!need()) return fail("--fps needs a value such as 30 or 29.97");
            auto r = ParseFrameRate(value);
            if (!r) return fail("--fps: '" + value + "' is not a frame rate from 1 to 240 (e.g. 25, 29.97, 30000/1001)");
            o.fps = *r;
        } else if (name == "--pause-after") {
            if (!need()) return fail("--pause-after needs a number of seconds");
            if (!ParseDouble(value, &o.pauseAfter) || o.pauseAfter <= 0) {
                return fail("--pause-after: '" + value + "' is not a number of seconds > 0");
            }
        } else if (name == "--seconds") {
            if (!need()) return fail("--seconds needs a value (0 = until interrupted)");
            if (!ParseDouble(value, &o.seconds) || o.seconds < 0) {
                return fail("--seconds: '" + value + "' is not a number of seconds >= 0");
            }
        } else if (name == "--pattern") {
            if (!need()) return fail("--pattern needs a value: moving, static, noise or sync");
            auto k = ParsePatternKind(value);
            if (!k) return fail("--pattern: unknown pattern '" + value + "' (moving, static, noise, sync)");
            o.pattern = *k;
        } else if (name == "--audio") {
            if (!need()) return fail("--audio needs a value: push, pull or none");
            if (value == "push") o.audio = AudioMode::kPush;
            else if (value == "pull") o.audio = AudioMode::kPull;
            else if (value == "none") o.audio = AudioMode::kNone;
            else return fail("--audio: '" + value + "' is not push, pull or none");
        } else if (name == "--as") {
            if (!need()) return fail("--as needs a value: premiere, ae, ame or other");
            auto k = ParseHostKind(value);
            if (!k) return fail("--as: '" + value + "' is not premiere, ae, ame or other");
            o.as = *k;
        } else if (name == "--plugin") {
            if (!need() || value.empty()) return fail("--plugin needs the path of the plug-in");
            o.plugin = value;
        } else if (name == "--in" || name == "--out") {
            double& point = name == "--in" ? o.inPoint : o.outPoint;
            if (!need()) return fail(name + " needs a number of seconds");
            if (!ParseDouble(value, &point) || point < 0) return fail(name + ": '" + value + "' is not a number of seconds >= 0");
        } else if (name == "--no-ctrl") {
            o.noCtrl = true;
        } else if (name == "--ctrl") {
            if (!need() || value.empty()) return fail("--ctrl needs the path of the control surface");
            o.ctrl = value;
        } else {
            return fail("unknown option '" + args[i] + "' (see --help)");
        }
    }
    if (o.outPoint >= 0 && o.outPoint < o.inPoint) return fail("--out must not be before --in");
    return o;
}

const char* AudioModeName(AudioMode mode) {
    switch (mode) {
        case AudioMode::kPush: return "push";
        case AudioMode::kPull: return "pull";
        default: return "none";
    }
}

const char* HostOptionName(HostKind kind) {
    switch (kind) {
        case HostKind::kPremiere: return "premiere";
        case HostKind::kAfterEffects: return "ae";
        case HostKind::kMediaEncoder: return "ame";
        default: return "other";
    }
}

const char* HostExecutableNameFor(HostKind kind) {
    switch (kind) {
        case HostKind::kPremiere: return "Adobe Premiere Pro";
        case HostKind::kAfterEffects: return "AfterFX";
        case HostKind::kMediaEncoder: return "Adobe Media Encoder";
        default: return "vx-host";
    }
}

std::string UsageText() {
    return
        "usage: vx-host [options]\n"
        "\n"
        "Loads the Veltrix transmit plug-in and plays a timeline into it as the\n"
        "editing host does: start-up, instance, activation, playback clock, video\n"
        "frames and audio, then stop, dispose and shut-down. Ctrl+C stops cleanly.\n"
        "\n"
        "options:\n"
        "  --size WxH          picture size (default 1280x720; with --source the file's)\n"
        "  --fps F             frame rate, 1..240: 25, 29.97, 59.94, 30000/1001 (default 30)\n"
        "  --seconds S         play S seconds of timeline, 0 = until interrupted (default 0);\n"
        "                      with --paused or --pause-after, S seconds of wall time in all\n"
        "  --pause-after S     play S seconds of timeline, then pause (clock and audio stop,\n"
        "                      the last picture stays)\n"
        "  --pattern NAME      moving: moving bars with the push time stamped in the picture\n"
        "                      static: one still picture (default moving)\n"
        "                      noise: new random pixels every frame (does not compress)\n"
        "                      sync: moving, with a white flash once a second and a click\n"
        "                      in the tone at the same timeline instant\n"
        "  --source FILE       play a video file instead (any format FFmpeg reads), looping,\n"
        "                      scaled to --size; its audio, if any, replaces the tone.\n"
        "                      The push time is stamped into every picture\n"
        "  --audio MODE        push: host pushes a tone; pull: the plug-in pulls it;\n"
        "                      none: no audio (default push)\n"
        "  --paused            host is paused: one frame, no clock, no audio\n"
        "  --as HOST           pose as premiere, ae, ame or other (re-runs under the host's\n"
        "                      executable name, so port, log and state files follow)\n"
        "  --plugin PATH       the plug-in to load (default: the one next to vx-host)\n"
        "  --ctrl PATH         the control surface to load first (default: the one next to\n"
        "                      vx-host); it lets the phone drive the timeline\n"
        "  --no-ctrl           no control surface: phone transport falls back to keys\n"
        "  --in S, --out S     the timeline's in and out points in seconds (default in 0,\n"
        "                      out the end of the timeline)\n"
        "  --quiet, -q         no live status line\n"
        "  --help, -h          this text\n"
        "\n"
        "In a terminal, the key s opens the plug-in's setup view (as the host's Setup\n"
        "button does). vx-host setup [--qr-png FILE] shows it without playing.\n"
        "At the end vx-host reports the frames and audio it played and its CPU time\n"
        "and peak memory.\n"
        "\n"
        "exit status: 0 ok, 1 the plug-in failed to load or start, 2 bad options or a\n"
        "--source file that cannot be opened or decoded,\n"
        "3 the plug-in broke the host's rules (e.g. a frame disposed twice or never)\n";
}

std::vector<std::string> ArgsForHostCopy(std::vector<std::string> args, const HostOptions& options,
                                         const std::filesystem::path& selfDir, const char* pluginFileName,
                                         const char* ctrlFileName) {
    if (options.plugin.empty()) {
        args.push_back("--plugin");
        args.push_back((selfDir / pluginFileName).string());
    }
    std::error_code ec;
    if (!options.noCtrl && options.ctrl.empty() && std::filesystem::exists(selfDir / ctrlFileName, ec)) {
        args.push_back("--ctrl");
        args.push_back((selfDir / ctrlFileName).string());
    }
    return args;
}

}  // namespace Veltrix::host
