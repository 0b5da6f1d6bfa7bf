// Terminal view of the pairing code: the controlling terminal when there is one,
// else stderr. Output only; nothing is read, so it needs no thread of its own.
#include "ui/pairing_dialog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "support/log.h"

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

std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    return out;
}

class TerminalPairingDialog final : public IPairingDialog {
public:
    ~TerminalPairingDialog() override { Close(); }

    void Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) override {
        (void)onCancel;  // the view has no input, so the user cannot cancel here
        std::lock_guard<std::mutex> lock(mutex_);
        shown_ = true;
        FILE* out = Open();
        const std::string name = deviceName.empty() ? std::string("iPhone") : Printable(deviceName);
        std::fprintf(out, "\nVeltrix: Enter this code on %s:\n\n", name.c_str());
        for (int row = 0; row < 5; ++row) {
            std::string line = "    ";
            for (char c : code) {
                line += (c >= '0' && c <= '9') ? kGlyphs[c - '0'][row] : "     ";
                line += "  ";
            }
            std::fprintf(out, "%s\n", line.c_str());
        }
        std::fprintf(out, "\n    code: %s\n\n", Printable(code).c_str());
        Done(out);
        Log(kLog, kLogInfo, "pairing code shown in terminal for %s", name.c_str());
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shown_ || closed_) return;
        closed_ = true;
        FILE* out = Open();
        std::fprintf(out, "Veltrix: pairing ended.\n");
        Done(out);
    }

private:
    FILE* Open() {
        FILE* tty = std::fopen("/dev/tty", "w");
        return tty != nullptr ? tty : stderr;
    }
    void Done(FILE* out) {
        std::fflush(out);
        if (out != stderr) std::fclose(out);
    }

    std::mutex mutex_;
    bool shown_ = false;
    bool closed_ = false;
};
}  // namespace

std::unique_ptr<IPairingDialog> CreatePairingDialog() { return std::make_unique<TerminalPairingDialog>(); }

}  // namespace Veltrix
