// Detailed per-subject trace files ("topics"), one file each in the local data
// folder, switched by VELTRIX_DEBUG_TOPICS. Tracing never reports errors.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

namespace Veltrix {

enum class DebugTopic : int {
    kTransitions = 0,
    kController = 1,
    kEncoder = 2,
    kTelemetry = 3,
    kFps = 4,
    kOwd = 5,
    kUiSync = 6,
    kUnknown = 7,  // never enabled, never written
};

inline constexpr int kDebugTopicCount = 7;

// False for kUnknown; otherwise the topic's switch (true until InitDebugTopics has run).
bool DebugTopicEnabled(DebugTopic topic);
// printf-style line into the topic's file when the topic is on.
void DebugTopicLog(DebugTopic topic, const char* format, ...);
// One-time set-up: parses the variable, makes the folder, rotates and opens the enabled files.
void InitDebugTopics();
// The debug folder joined with name (the folder itself for an empty or null name).
std::filesystem::path DebugFilePath(const char* name);

// --- pieces exposed for tests ---
const char* DebugTopicName(DebugTopic topic);       // "transitions", ..., "unknown"
const char* DebugTopicLineName(DebugTopic topic);   // "TRANSITIONS", ..., "UNKNOWN"
// The enabled set for a value of VELTRIX_DEBUG_TOPICS (null = unset).
std::set<DebugTopic> ParseDebugTopics(const char* value);
// "2026-03-14T09:26:53.589Z".
std::string DebugTimestamp(std::chrono::system_clock::time_point t);
// 64-bit FNV-1a of the thread id's four bytes, least significant first.
std::uint64_t ThreadIdHash(std::uint32_t threadId);
// Moves folder/debug_<name>.log aside under a time-stamped name and keeps the newest
// `keep` rotated files of that topic.
void RotateTopicFile(const std::filesystem::path& folder, const std::string& name,
                     std::chrono::system_clock::time_point now, std::size_t keep = 5);

}  // namespace Veltrix
