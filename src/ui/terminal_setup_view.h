// The setup view drawn in a terminal: what it shows for a model and how keys
// act on it. The loop that reads keys and redraws every 500 ms takes a
// terminal seam so tests drive it with scripted keys and a manual clock.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/clock.h"
#include "ui/qr_code.h"
#include "ui/setup_model.h"

namespace Veltrix {

// The code in half-block characters, black on white (ANSI colours), two modules
// of quiet zone: one text line per two module rows.
std::vector<std::string> TerminalQrLines(const QrCode& code);

class TerminalSetupView {
public:
    explicit TerminalSetupView(SetupModel& model) : model_(model) {}

    // The whole screen, starting with a cursor-home and clear.
    std::string Render() const;
    // Acts on one key byte; false when the view is to close.
    bool HandleKey(unsigned char key);

private:
    enum class Mode { kNormal, kName, kForget, kConfirm };
    SetupModel& model_;
    Mode mode_ = Mode::kNormal;
    std::string input_;
    // The phone asked about, kept by id: the rows may be rebuilt before the answer.
    std::string forgetId_;
    std::string forgetName_;
    std::string message_;
};

// A terminal in raw mode: keys in, text out.
class ISetupTerminal {
public:
    virtual ~ISetupTerminal() = default;
    // The next key byte, or nothing when none came before the deadline (or the terminal is gone).
    virtual std::optional<unsigned char> ReadKey(Clock::time_point deadline) = 0;
    virtual void Write(const std::string& text) = 0;
    // True when the terminal can no longer be read (end of input).
    virtual bool Closed() const = 0;
};

// Refreshes identity once, then status and trusted phones every 500 ms, redrawing
// each time, until 'q', the end of input or *stop.
void RunTerminalSetup(SetupModel& model, ISetupTerminal& terminal, Clock& clock, const std::atomic<bool>& stop);

}  // namespace Veltrix
