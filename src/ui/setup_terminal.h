// The controlling terminal as the setup view's terminal (POSIX only).
#pragma once

#include <memory>

#include "ui/terminal_setup_view.h"

namespace Veltrix {

// /dev/tty in raw mode, held under an exclusive flock so that another key reader
// of the process that takes the same lock (vx-host's) stays off it meanwhile.
// The mode and the lock are given back on destruction. None without a terminal,
// and none when wait is false and another view holds the lock.
std::unique_ptr<ISetupTerminal> OpenTtySetupTerminal(Clock& clock, bool wait = true);

// Takes the terminal lock without waiting: the lock's holder, or none while the
// setup view holds the terminal (or there is no terminal).
class TtyKeyLock {
public:
    TtyKeyLock();
    ~TtyKeyLock();
    TtyKeyLock(const TtyKeyLock&) = delete;
    TtyKeyLock& operator=(const TtyKeyLock&) = delete;
    bool Held() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace Veltrix
