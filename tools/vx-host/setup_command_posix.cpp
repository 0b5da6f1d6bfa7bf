// `vx-host setup` in the terminal, the QR PNG, and the setup key (POSIX).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>

#include "support/clock.h"
#include "support/threads.h"
#include "ui/png_writer.h"
#include "ui/setup_model.h"
#include "ui/setup_terminal.h"
#include "vx-host/setup_command.h"

namespace Veltrix::host {

int RunSetupCommand(const SetupCommand& command, std::ostream& out, std::ostream& err) {
    SetupModel model;
    if (!command.qrPng.empty()) {
        model.RefreshIdentityAndNetwork();
        const QrCode& code = model.Qr();
        if (code.size == 0 || !WriteRgbaPng(command.qrPng, RenderQrToRgba(code, (code.size + 4) * 8))) {
            err << "vx-host: setup: cannot write the QR code to " << command.qrPng << "\n";
            return 1;
        }
        out << model.Address() << "\n";
        return 0;
    }
    auto terminal = OpenTtySetupTerminal(Clock::Real());
    if (!terminal) {
        err << "vx-host: setup: needs a terminal (or use --qr-png FILE)\n";
        return 1;
    }
    const std::atomic<bool> stop{false};
    RunTerminalSetup(model, *terminal, Clock::Real(), stop);
    return 0;
}

struct SetupKeyReader::Impl {
    std::function<void()> openSetup;
    std::atomic<bool> stop{false};
    std::atomic<bool> taken{false};
    std::thread thread;
    termios saved{};
    int savedFd = -1;

    void Loop() {
        SetCurrentThreadName("vx-setup-key");
        while (!stop.load()) {
            bool open = false;
            {
                TtyKeyLock lock;
                taken.store(!lock.Held());
                if (lock.Held()) {
                    pollfd p{lock.Fd(), POLLIN, 0};
                    unsigned char c = 0;
                    if (poll(&p, 1, 100) == 1 && (p.revents & POLLIN) && read(lock.Fd(), &c, 1) == 1) {
                        open = c == static_cast<unsigned char>(kSetupKey);
                    }
                }
            }
            if (open) openSetup();
            // Outside the lock for a moment, so that a setup view waiting for it gets it.
            std::this_thread::sleep_for(std::chrono::milliseconds(open ? 300 : 30));
        }
    }
};

SetupKeyReader::SetupKeyReader(std::function<void()> openSetup) : impl_(std::make_unique<Impl>()) {
    impl_->openSetup = std::move(openSetup);
    if (!isatty(STDIN_FILENO)) return;
    // Keys one at a time, unechoed; Ctrl-C still interrupts.
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (tcgetattr(fd, &impl_->saved) == 0) {
        termios raw = impl_->saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
        impl_->savedFd = fd;
    } else {
        close(fd);
        return;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->Loop(); });
}

bool SetupKeyReader::ViewHoldsTerminal() const { return impl_->taken.load(); }

SetupKeyReader::~SetupKeyReader() {
    impl_->stop.store(true);
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->savedFd >= 0) {
        tcsetattr(impl_->savedFd, TCSANOW, &impl_->saved);
        close(impl_->savedFd);
    }
}

}  // namespace Veltrix::host
