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
        Log(kLog, kLogInfo, "pairing code shown in terminal for %s", name.c_str());
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

std::unique_ptr<IPairingDialog> CreateTerminalPairingDialog(TerminalSink sink) {
    return std::make_unique<TerminalPairingDialog>(sink ? std::move(sink) : TerminalSink(WriteToTerminal));
}

std::unique_ptr<IPairingDialog> CreatePairingDialog() { return CreateTerminalPairingDialog(WriteToTerminal); }

}  // namespace Veltrix
