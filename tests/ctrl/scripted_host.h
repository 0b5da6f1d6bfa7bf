// A control-surface host the tests script: the basic, string and suite-list
// suites, and host/transport/command suites that record every call. One host
// per process at a time (the basic and string suites carry no context).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sdk/control_surface_sdk.h"

namespace Veltrix::testing {

class ScriptedHost {
public:
    ScriptedHost();
    ~ScriptedHost();

    CsSPBasicSuite* basic() const;
    CsHostRef hostRef(int n = 1) const { return reinterpret_cast<CsHostRef>(static_cast<std::intptr_t>(n)); }

    // --- script ---
    std::set<std::string> failAcquire;  // suite names whose acquisition fails
    std::uint32_t commandCount = 3;
    std::uint8_t playState = 0;
    CsError transportResult = kCsErrNone;  // of stop/play/jog
    CsError commandResult = kCsErrNone;    // of ExecuteCommand
    // Runs inside every host call that is recorded, on the caller's thread.
    void During(std::function<void(const std::string& call)> hook);

    // --- record ---
    std::vector<std::string> Calls();  // "stop@1", "jog +1@1", "cmd program.monitor/cmd.goto.in@1"...
    void ClearCalls();
    int Held(const std::string& suite);  // acquisitions not yet released
    int LiveStrings();
    std::map<std::string, const void*> added;  // "name vN" -> procs, from AddSuite
    int listsLive = 0;
    int badListArguments = 0;  // AllocateSuiteList or AddSuite given what the SDK's callers pass as null
    int badDisposes = 0;       // strings disposed that were not live host strings

    // --- suite bodies ---
    CsError Acquire(const char* name, std::int32_t version, const void** out);
    CsError Release(const char* name, std::int32_t version);
    void Record(const std::string& call);

    std::mutex mutex;
    std::map<std::string, int> held;
    std::vector<std::string> calls;
    std::function<void(const std::string&)> during;
    int liveStrings = 0;
};

// A host string's text (for recording): the record's first word points at it.
std::string HostStringText(const CsString& s);

}  // namespace Veltrix::testing
