// Terminal view of the pairing code. While shown, a thread of its own reads the
// terminal's keys so that the user can refuse the phone.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "support/log.h"
#include "ui/pairing_dialog.h"
#include "support/threads.h"
#include "ui/setup_terminal.h"
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
    TerminalPairingDialog(TerminalSink sink, TerminalKeysOpener keys) : sink_(std::move(sink)), openKeys_(std::move(keys)) {}
    ~TerminalPairingDialog() override {
        Close();
        if (reader_.joinable()) reader_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        onCancel_ = nullptr;
    }

    void Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) override {
        std::unique_ptr<ISetupTerminal> keys = openKeys_ ? openKeys_() : nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (shown_) return;  // one Show per view; the handshake makes a new one per attempt
        shown_ = true;
        onCancel_ = std::move(onCancel);
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
        if (!note_.empty()) text += "    " + EscapeForTerminal(note_) + "\n\n";
        if (keys) text += "    Press c to refuse this phone.\n\n";
        sink_(text);
        // The log escapes the raw name itself; the terminal's escaping is for the terminal.
        LogText(kLog, kLogInfo,
                "pairing code shown in terminal for " + (deviceName.empty() ? std::string("iPhone") : deviceName));
        if (keys) reader_ = std::thread([this, k = std::move(keys)]() mutable { ReadKeys(std::move(k)); });
    }

    void SetNote(const std::string& note) override {
        std::lock_guard<std::mutex> lock(mutex_);
        note_ = note;
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_.store(true);
        if (!shown_ || closed_) return;
        closed_ = true;
        sink_("Veltrix: pairing ended.\n");
    }

private:
    void ReadKeys(std::unique_ptr<ISetupTerminal> keys) {
        SetCurrentThreadName("vx-pair-keys");
        while (!closing_.load() && !keys->Closed()) {
            const auto key = keys->ReadKey(Clock::Real().Now() + std::chrono::milliseconds(100));
            if (!key || (*key != kPairingCancelKey && *key != 'C' && *key != 0x1b)) continue;
            std::function<void()> cancel;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (closing_.load()) break;  // Close() came first: it never calls back
                closing_.store(true);
                closed_ = true;
                cancel = std::move(onCancel_);
                sink_("Veltrix: pairing refused.\n");
            }
            Log(kLog, kLogInfo, "pairing refused from the terminal");
            if (cancel) cancel();
            break;
        }
    }

    TerminalSink sink_;
    TerminalKeysOpener openKeys_;
    std::mutex mutex_;
    std::function<void()> onCancel_;
    std::atomic<bool> closing_{false};
    bool shown_ = false;
    std::string note_;
    bool closed_ = false;
    std::thread reader_;
};
}  // namespace

std::unique_ptr<IPairingDialog> CreateTerminalPairingDialog(TerminalSink sink, TerminalKeysOpener keys) {
    return std::make_unique<TerminalPairingDialog>(sink ? std::move(sink) : TerminalSink(WriteToTerminal),
                                                   std::move(keys));
}

std::unique_ptr<IPairingDialog> CreatePairingDialog() {
    // Without waiting: a setup view on the terminal keeps its keys, and pairing goes on without a cancel key.
    return CreateTerminalPairingDialog(WriteToTerminal, [] { return OpenTtySetupTerminal(Clock::Real(), false); });
}

}  // namespace Veltrix
