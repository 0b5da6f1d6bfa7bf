#include "support/debug_topics.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <system_error>
#include <vector>

#include "support/paths.h"
#include "support/threads.h"

namespace Veltrix {
namespace {

struct TopicRecord {
    std::mutex mutex;
    std::ofstream out;
    bool enabled = true;
};

constexpr std::array<const char*, 8> kNames = {"transitions", "controller", "encoder", "telemetry",
                                               "fps",         "owd",        "ui_sync", "unknown"};
constexpr std::array<const char*, 8> kLineNames = {"TRANSITIONS", "CONTROLLER", "ENCODER", "TELEMETRY",
                                                   "FPS",         "OWD",        "UI_SYNC", "UNKNOWN"};

std::array<TopicRecord, kDebugTopicCount>& Topics() {
    static std::array<TopicRecord, kDebugTopicCount> topics;
    return topics;
}

std::once_flag gInitOnce;

bool IsRealTopic(DebugTopic t) {
    const int v = static_cast<int>(t);
    return v >= 0 && v < kDebugTopicCount;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

void RunSetup() {
    const std::set<DebugTopic> on = ParseDebugTopics(std::getenv("VELTRIX_DEBUG_TOPICS"));
    const std::filesystem::path folder = DebugFilePath(nullptr);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const auto now = std::chrono::system_clock::now();
    for (int i = 0; i < kDebugTopicCount; ++i) {
        auto& rec = Topics()[static_cast<std::size_t>(i)];
        std::lock_guard<std::mutex> lock(rec.mutex);
        rec.enabled = on.count(static_cast<DebugTopic>(i)) != 0;
        if (!rec.enabled) continue;
        try {
            RotateTopicFile(folder, kNames[static_cast<std::size_t>(i)], now);
            rec.out.open(folder / (std::string("debug_") + kNames[static_cast<std::size_t>(i)] + ".log"),
                         std::ios::out | std::ios::trunc | std::ios::binary);
        } catch (...) {
            // The topic then writes nothing.
        }
    }
}

}  // namespace

const char* DebugTopicName(DebugTopic topic) {
    return IsRealTopic(topic) ? kNames[static_cast<std::size_t>(topic)] : kNames[7];
}

const char* DebugTopicLineName(DebugTopic topic) {
    return IsRealTopic(topic) ? kLineNames[static_cast<std::size_t>(topic)] : kLineNames[7];
}

std::set<DebugTopic> ParseDebugTopics(const char* value) {
    std::set<DebugTopic> on;
    if (!value || !*value) {
        for (int i = 0; i < kDebugTopicCount; ++i) on.insert(static_cast<DebugTopic>(i));
        return on;
    }
    std::string lower(value);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = lower.find(',', start);
        const std::string piece =
            Trim(lower.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        for (int i = 0; i < kDebugTopicCount; ++i) {
            if (piece == kNames[static_cast<std::size_t>(i)]) on.insert(static_cast<DebugTopic>(i));
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return on;
}

std::string DebugTimestamp(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms < 0 ? ms + 1000 : ms);
    return buf;
}

std::uint64_t ThreadIdHash(std::uint32_t id) {
    std::uint64_t h = 14695981039346656037ull;
    for (int i = 0; i < 4; ++i) {
        h ^= static_cast<std::uint8_t>(id >> (8 * i));
        h *= 1099511628211ull;
    }
    return h;
}

void RotateTopicFile(const std::filesystem::path& folder, const std::string& name,
                     std::chrono::system_clock::time_point now, std::size_t keep) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path current = folder / ("debug_" + name + ".log");
    if (fs::exists(current, ec)) {
        std::string stamp = DebugTimestamp(now);
        std::replace(stamp.begin(), stamp.end(), ':', '-');
        fs::rename(current, folder / ("debug_" + name + "_" + stamp + ".log"), ec);
    }
    struct Entry {
        fs::file_time_type time;
        fs::path path;
    };
    std::vector<Entry> rotated;
    const std::string prefix = "debug_" + name;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() < prefix.size() + 4 || file.compare(0, prefix.size(), prefix) != 0 ||
            file.compare(file.size() - 4, 4, ".log") != 0) {
            continue;
        }
        std::error_code tec;
        rotated.push_back({fs::last_write_time(it->path(), tec), it->path()});
    }
    // Newest first; equal times (files rotated within the file system's resolution)
    // fall back to the name, whose time stamp orders them too.
    std::sort(rotated.begin(), rotated.end(), [](const Entry& a, const Entry& b) {
        if (a.time != b.time) return a.time > b.time;
        return a.path.filename() > b.path.filename();
    });
    for (std::size_t i = keep; i < rotated.size(); ++i) fs::remove(rotated[i].path, ec);
}

void InitDebugTopics() { std::call_once(gInitOnce, RunSetup); }

bool DebugTopicEnabled(DebugTopic topic) {
    if (!IsRealTopic(topic)) return false;
    auto& rec = Topics()[static_cast<std::size_t>(topic)];
    std::lock_guard<std::mutex> lock(rec.mutex);
    return rec.enabled;
}

void DebugTopicLog(DebugTopic topic, const char* format, ...) {
    if (!DebugTopicEnabled(topic)) return;
    InitDebugTopics();
    char message[1024] = {};
    if (format) {
        va_list args;
        va_start(args, format);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        const int n = std::vsnprintf(message, sizeof message, format, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
        va_end(args);
        if (n < 0) return;
    }
    const std::string stamp = DebugTimestamp(std::chrono::system_clock::now());
    const std::uint64_t hash = ThreadIdHash(CurrentThreadId());
    auto& rec = Topics()[static_cast<std::size_t>(topic)];
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (!rec.enabled || !rec.out.is_open()) return;
    rec.out << stamp << " | " << hash << " | " << kLineNames[static_cast<std::size_t>(topic)] << " | "
            << message << '\n';
    rec.out.flush();
}

std::filesystem::path DebugFilePath(const char* name) {
    const std::filesystem::path folder = LocalDataDir();
    if (!name || !*name) return folder;
    return folder / name;
}

}  // namespace Veltrix
