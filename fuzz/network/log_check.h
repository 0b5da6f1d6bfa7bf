// The log's promise as a fuzzing oracle: whatever a phone sent, every line the
// plug-in wrote is one well-formed line.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "support/log.h"
#include "tests/testing/log_lines.h"

namespace Veltrix::fuzzing {

// Aborts on a log line that is broken or not escaped, then starts the log afresh.
// Holds the writers' file lock throughout: a thread of the target still logging
// (work it posted earlier) would otherwise be read half-written, a line that is
// whole on disk a moment later, and a false finding that never replays.
inline void CheckAndClearLog() {
    const std::filesystem::path path = LogFilePath();
    const platform::LogFileLock writers(path);
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    std::string bad;
    if (!text.empty() && testing::WellFormedLogLines(text, &bad).empty()) {
        // The finding is the line: show it, with its bytes escaped, before the abort.
        std::fprintf(stderr, "log check: malformed line (%zu of %zu bytes):", bad.size(), text.size());
        for (const unsigned char c : bad) {
            if (c >= 0x20 && c < 0x7F) std::fputc(c, stderr);
            else std::fprintf(stderr, "\\x%02x", c);
        }
        std::fputc('\n', stderr);
        std::abort();
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace Veltrix::fuzzing
