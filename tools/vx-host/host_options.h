// Command line of vx-host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/paths.h"
#include "testpattern/test_pattern.h"

namespace Veltrix::host {

// A frame rate as an exact fraction (29.97 is 30000/1001).
struct FrameRate {
    std::int64_t num = 30;
    std::int64_t den = 1;
    double value() const { return static_cast<double>(num) / static_cast<double>(den); }
};

enum class AudioMode { kPush, kPull, kNone };

struct HostOptions {
    int width = 1280;
    int height = 720;
    bool sizeGiven = false;  // --size was given (else a --source file keeps its own size)
    std::string source;      // --source: a video file instead of the pattern
    FrameRate fps;
    double seconds = 0;  // 0 = until interrupted
    double pauseAfter = 0;  // > 0: play this much timeline, then pause (0 = never)
    PatternKind pattern = PatternKind::kMoving;
    AudioMode audio = AudioMode::kPush;
    bool paused = false;
    std::optional<HostKind> as;  // pose as this host (re-executes under its name)
    std::string plugin;          // empty: the plug-in built next to vx-host
    double inPoint = 0;          // seconds
    double outPoint = -1;        // seconds; < 0: none (go to out goes to the end of the timeline)
    bool noCtrl = false;         // do not load the control surface
    std::string ctrl;            // empty: the control surface built next to vx-host
    bool quiet = false;          // no live status line
    bool help = false;
};

// Parses argv[1..]; on failure returns nothing and sets *error to a message
// that names the bad option.
std::optional<HostOptions> ParseHostOptions(const std::vector<std::string>& args, std::string* error);

// "29.97" -> 30000/1001, "23.976" -> 24000/1001, "59.94" -> 60000/1001,
// "30" -> 30/1, "30000/1001" as given, other decimals exactly. 1..240 fps.
std::optional<FrameRate> ParseFrameRate(const std::string& text);

const char* AudioModeName(AudioMode mode);
// The --as names: "premiere", "ae", "ame", "other".
const char* HostOptionName(HostKind kind);
// The executable name a host runs under: "Adobe Premiere Pro", "AfterFX",
// "Adobe Media Encoder", or "vx-host" for any other host.
const char* HostExecutableNameFor(HostKind kind);

std::string UsageText();

// The arguments for the copy that runs under a host's name (--as), which may
// run from another folder (on Windows it does): args plus the plug-in beside
// this executable when none was named, and the control surface beside it when
// none was named and one is there (its absence stays the fallback to keys).
std::vector<std::string> ArgsForHostCopy(std::vector<std::string> args, const HostOptions& options,
                                         const std::filesystem::path& selfDir, const char* pluginFileName,
                                         const char* ctrlFileName);

}  // namespace Veltrix::host
