// `vx-host setup` opens the setup window; the setup key reads the console (Windows).
#include <conio.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>

#include "support/threads.h"
#include "ui/setup_dialog.h"
#include "vx-host/setup_command.h"

namespace Veltrix::host {

int RunSetupCommand(const SetupCommand& command, std::ostream& out, std::ostream& err) {
    if (!command.qrPng.empty()) {
        err << "vx-host: setup: --qr-png is only in the Linux build\n";
        return 2;
    }
    OpenSetupDialog(nullptr, {});
    while (SetupDialogOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CloseSetupDialog();
    return 0;
}

struct SetupKeyReader::Impl {
    std::function<void()> openSetup;
    std::atomic<bool> stop{false};
    std::thread thread;
};

SetupKeyReader::SetupKeyReader(std::function<void()> openSetup) : impl_(std::make_unique<Impl>()) {
    impl_->openSetup = std::move(openSetup);
    impl_->thread = std::thread([impl = impl_.get()] {
        SetCurrentThreadName("vx-setup-key");
        while (!impl->stop.load()) {
            if (_kbhit() && _getch() == kSetupKey) impl->openSetup();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

SetupKeyReader::~SetupKeyReader() {
    impl_->stop.store(true);
    if (impl_->thread.joinable()) impl_->thread.join();
}

// The setup window is a window of its own: the console's status line may go on.
bool SetupKeyReader::ViewHoldsTerminal() const { return false; }

}  // namespace Veltrix::host
