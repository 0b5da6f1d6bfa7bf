// The setup view in the controlling terminal, on a thread of its own.
#include <atomic>
#include <mutex>
#include <thread>

#include "support/log.h"
#include "support/threads.h"
#include "ui/setup_dialog.h"
#include "ui/setup_terminal.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "setup_dialog"};

struct DialogState {
    std::mutex openMutex;
    std::thread thread;
    std::atomic<bool> open{false};
    std::atomic<bool> stop{false};
};

DialogState& State() {
    static DialogState* state = new DialogState;  // outlives every caller, including late shut-downs
    return *state;
}

void RunView(SetupModel::Sources sources) {
    SetCurrentThreadName("vx-setup");
    DialogState& s = State();
    auto terminal = OpenTtySetupTerminal(Clock::Real());
    if (!terminal) {
        Log(kLog, kLogInfo, "setup: no terminal for the setup view");
    } else {
        SetupModel model(std::move(sources));
        RunTerminalSetup(model, *terminal, Clock::Real(), s.stop);
    }
    s.open.store(false);
}
}  // namespace

void OpenSetupDialog(void*, SetupModel::Sources sources) {
    DialogState& s = State();
    std::lock_guard<std::mutex> lock(s.openMutex);
    if (s.open.load()) return;  // already on the terminal; it redraws itself
    if (s.thread.joinable()) s.thread.join();
    s.stop.store(false);
    s.open.store(true);
    try {
        s.thread = std::thread(RunView, std::move(sources));
    } catch (...) {
        s.open.store(false);
        throw;
    }
}

void CloseSetupDialog() {
    DialogState& s = State();
    std::lock_guard<std::mutex> lock(s.openMutex);
    s.stop.store(true);
    if (s.thread.joinable()) s.thread.join();
}

bool SetupDialogOpen() { return State().open.load(); }

}  // namespace Veltrix
