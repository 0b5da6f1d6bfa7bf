// Text from the phone or the disk made harmless for a terminal and a log line.
#include <cstdio>

#include "ui/terminal_pairing_view.h"

namespace Veltrix {

namespace {
void AppendEscaped(std::string& out, unsigned char c) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
}

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), 0 when there is none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    }
    return n;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = Utf8Length(text, i);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (n == 0 || c < 0x20 || c == 0x7f || c == '\\' || c1) {
            const std::size_t bad = c1 ? 2 : 1;
            for (std::size_t k = 0; k < bad; ++k) AppendEscaped(out, static_cast<unsigned char>(text[i + k]));
            i += bad;
            continue;
        }
        out.append(text, i, n);
        i += n;
    }
    return out;
}

}  // namespace Veltrix
