// Reads a log file's text back as the lines it must consist of, so a test can
// show that nothing a phone or a file sent ever broke or forged a line.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace Veltrix::testing {

// True when s is UTF-8 of printable characters: no byte below 0x20, no DEL, no
// C1 control (U+0080..U+009F), no malformed, overlong or surrogate sequence.
inline bool PrintableUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
        const unsigned c = b(i);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        }
        std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            if ((b(i + k) & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b(i + k) & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F) return false;
        i += n;
    }
    return true;
}

// The lines of a log (without their CR LF) when every one of them is
// "[YYYY-MM-DD hh:mm:ss.mmm subsystem:category:LEVEL] message" with a printable
// message and ends in CR LF (the last one included); otherwise nothing, with
// the first offending line in *bad.
inline std::vector<std::string> WellFormedLogLines(const std::string& text, std::string* bad) {
    static const std::regex head(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [^ :\]]+:[^ :\]]+:(DEBUG|INFO|ERROR|FAULT|LOG)\] )");
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::smatch m;
        if (end == std::string::npos || !std::regex_search(line, m, head) ||
            !PrintableUtf8(line.substr(static_cast<std::size_t>(m.length(0))))) {
            *bad = line;
            return {};
        }
        lines.push_back(line);
        at = end + 2;
    }
    return lines;
}

}  // namespace Veltrix::testing
