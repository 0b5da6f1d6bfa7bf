// Terminal view of the pairing code. Output only; nothing is read, so it needs no
// thread of its own and the user cannot cancel from here.
#include <cstdio>
#include <mutex>

#include "support/log.h"
#include "ui/pairing_dialog.h"
#include "ui/terminal_pairing_view.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "pair_dialog"};

// Five-line block glyphs for the digits.
const char* const kGlyphs[10][5] = {
    {"#####", "#   #", "#   #", "#   #", "#####"}, {"  #  ", " ##  ", "  #  ", "  #  ", " ### "},
    {"#####", "    #", "#####", "#    ", "#####"}, {"#####", "    #", " ####", "    #", "#####"},
    {"#   #", "#   #", "#####", "    #", "    #"}, {"#####", "#    ", "#####", "    #", "#####"},
    {"#####", "#    ", "#####", "#   #", "#####"}, {"#####", "    #", "   # ", "  #  ", "  #  "},
    {"#####", "#   #", "#####", "#   #", "#####"}, {"#####", "#   #", "#####", "    #", "#####"},
};

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

void WriteToTerminal(const std::string& text) {
    FILE* tty = std::fopen("/dev/tty", "w");
    FILE* out = tty != nullptr ? tty : stderr;
    std::fputs(text.c_str(), out);
    std::fflush(out);
    if (tty != nullptr) std::fclose(tty);
}

class TerminalPairingDialog final : public IPairingDialog {
public:
    explicit TerminalPairingDialog(TerminalSink sink) : sink_(std::move(sink)) {}
    ~TerminalPairingDialog() override { Close(); }

    void Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) override {
        (void)onCancel;
        std::lock_guard<std::mutex> lock(mutex_);
        shown_ = true;
        closed_ = false;
        const std::string name = deviceName.empty() ? std::string("iPhone") : EscapeForTerminal(deviceName);
        std::string text = "\nVeltrix: Enter this code on " + name + ":\n\n";
        for (int row = 0; row < 5; ++row) {
            std::string line = "    ";
            for (char c : code) {
                line += (c >= '0' && c <= '9') ? kGlyphs[c - '0'][row] : "     ";
                line += "  ";
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            text += line + "\n";
        }
        text += "\n    code: " + EscapeForTerminal(code) + "\n\n";
        sink_(text);
        // The log escapes the raw name itself; the terminal's escaping is for the terminal.
        LogText(kLog, kLogInfo,
                "pairing code shown in terminal for " + (deviceName.empty() ? std::string("iPhone") : deviceName));
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shown_ || closed_) return;
        closed_ = true;
        sink_("Veltrix: pairing ended.\n");
    }

private:
    TerminalSink sink_;
    std::mutex mutex_;
    bool shown_ = false;
    bool closed_ = false;
};
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

std::unique_ptr<IPairingDialog> CreateTerminalPairingDialog(TerminalSink sink) {
    return std::make_unique<TerminalPairingDialog>(sink ? std::move(sink) : TerminalSink(WriteToTerminal));
}

std::unique_ptr<IPairingDialog> CreatePairingDialog() { return CreateTerminalPairingDialog(WriteToTerminal); }

}  // namespace Veltrix
