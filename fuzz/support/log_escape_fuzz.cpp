// Arbitrary text through the log writer: every line it writes is one
// well-formed line, and unescaping the message gives back what was logged
// (all of it when it fits the line, else a prefix cut between whole pieces).
// Input: the text; its first byte also picks a %c argument.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/network/fuzz_env.h"
#include "support/log.h"
#include "tests/testing/log_lines.h"

namespace {

using namespace Veltrix;

constexpr std::size_t kLineBytes = 1279;  // CR LF included
const LogChannel kChannel{kLogSubsystem, "fuzz"};

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The bytes a message stands for: \xNN is one byte; with allEscaped, no other
// backslash may appear.
std::string Unescape(std::string_view s, bool allEscaped) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'x') {
            if (i + 3 >= s.size()) __builtin_trap();  // pieces are never cut
            const int hi = Hex(s[i + 2]), lo = Hex(s[i + 3]);
            if (hi < 0 || lo < 0) __builtin_trap();
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 3;
            continue;
        }
        if (s[i] == '\\' && allEscaped) __builtin_trap();
        out.push_back(s[i]);
    }
    return out;
}

// The one line the log holds (without CR LF), which must be well formed; the log is then removed.
std::string TakeOnlyLine() {
    std::string text;
    {
        std::ifstream in(LogFilePath(), std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    std::filesystem::remove(LogFilePath());
    std::string bad;
    const auto lines = testing::WellFormedLogLines(text, &bad);
    if (lines.size() != 1 || lines[0].size() + 2 > kLineBytes) __builtin_trap();
    return lines[0];
}

// The message of a line and the room a message had in it.
std::pair<std::string, std::size_t> MessageOf(const std::string& line) {
    const std::size_t head = line.find("] ") + 2;
    return {line.substr(head), kLineBytes - 2 - head};
}

// What was logged comes back whole when its escaped form had room; a cut one is
// a prefix that stops less than one piece (at most 8 escaped bytes) short of the room.
void CheckKept(std::string_view logged, const std::string& line, bool allEscaped) {
    const auto [message, room] = MessageOf(line);
    const std::string back = Unescape(message, allEscaped);
    if (logged.compare(0, back.size(), back) != 0) __builtin_trap();
    if (back.size() < logged.size() && message.size() + 8 <= room) __builtin_trap();
    if (allEscaped && EscapeLogText(logged).size() <= room && back != logged) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::KeepFilesInTemp("log_escape");
        std::filesystem::remove(LogFilePath());
        return true;
    }();
    (void)ready;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string escaped = EscapeLogText(text);
    if (!testing::PrintableUtf8(escaped) || Unescape(escaped, true) != text) __builtin_trap();

    // Text a phone sent, as a whole (every backslash escaped; at most 1023 bytes taken).
    LogText(kChannel, kLogInfo, text);
    CheckKept(text.substr(0, 1023), TakeOnlyLine(), true);

    // The same text as a formatted argument: up to its first NUL, at most 1023
    // bytes, backslashes escaped only before an x.
    const std::string arg(text.substr(0, text.find('\0')));
    Log(kChannel, kLogInfo, "%{public}s", arg.c_str());
    CheckKept(std::string_view(arg).substr(0, 1023), TakeOnlyLine(), false);

    // A %c of any byte, NUL included, is a byte like any other.
    const char c = size > 0 ? static_cast<char>(data[0]) : '\0';
    Log(kChannel, kLogInfo, "<%c>", c);
    if (Unescape(MessageOf(TakeOnlyLine()).first, false) != std::string("<") + c + ">") __builtin_trap();
    return 0;
}
