#include "ui/setup_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace Veltrix {

namespace {
class TtySetupTerminal final : public ISetupTerminal {
public:
    TtySetupTerminal(int fd, const termios& saved, Clock& clock) : fd_(fd), saved_(saved), clock_(clock) {}
    ~TtySetupTerminal() override {
        Write("\x1b[0m\n");
        tcsetattr(fd_, TCSANOW, &saved_);
        flock(fd_, LOCK_UN);
        close(fd_);
    }

    std::optional<unsigned char> ReadKey(Clock::time_point deadline) override {
        while (!closed_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_.Now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            const int rc = poll(&p, 1, static_cast<int>(left > 100 ? 100 : left));
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                closed_ = true;
                break;
            }
            if (rc == 0) continue;
            unsigned char c = 0;
            const ssize_t n = read(fd_, &c, 1);
            if (n == 1) return c;
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) closed_ = true;
        }
        return std::nullopt;
    }

    void Write(const std::string& text) override {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    bool Closed() const override { return closed_; }

private:
    int fd_;
    termios saved_;
    Clock& clock_;
    bool closed_ = false;
};
}  // namespace

std::unique_ptr<ISetupTerminal> OpenTtySetupTerminal(Clock& clock, bool wait) {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    termios saved{};
    if (tcgetattr(fd, &saved) != 0 || flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    return std::make_unique<TtySetupTerminal>(fd, saved, clock);
}

TtyKeyLock::TtyKeyLock() {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

TtyKeyLock::~TtyKeyLock() {
    if (fd_ < 0) return;
    flock(fd_, LOCK_UN);
    close(fd_);
}

}  // namespace Veltrix
