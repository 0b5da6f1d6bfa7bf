// POSIX crash handler: sigaction on an alternate stack for the fatal signals.
// Everything inside the handler is async-signal-safe: paths and the time zone
// offset are prepared at installation, lines are formatted by hand, and
// output goes through open/write/close.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "support/crash_handler.h"
#include "support/log.h"

namespace Veltrix {
namespace {

const LogChannel kCrashLog{kLogSubsystem, "crash"};

constexpr int kSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::atomic<bool> gInstalled{false};
struct sigaction gPrevious[kSignalCount];
char gLogPath[4096];
char gCrashDir[4096];
long gUtcOffsetSeconds = 0;
bool gCopyToStderr = false;  // getenv is not async-signal-safe: decided at installation
constexpr std::size_t kAltStackSize = 64 * 1024;

// --- async-signal-safe formatting into a fixed buffer ---
struct Buf {
    char data[2048];
    std::size_t len = 0;
    void Str(const char* s) {
        while (s && *s && len < sizeof data - 1) data[len++] = *s++;
    }
    void Dec(unsigned long long v, int width = 0) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 24);
        while (n < width && n < 24) tmp[n++] = '0';
        while (n > 0 && len < sizeof data - 1) data[len++] = tmp[--n];
    }
    void Hex(unsigned long long v, int width = 1) {
        static const char d[] = "0123456789abcdef";
        char tmp[20];
        int n = 0;
        do {
            tmp[n++] = d[v & 0xF];
            v >>= 4;
        } while (v && n < 20);
        while (n < width && n < 20) tmp[n++] = '0';
        while (n > 0 && len < sizeof data - 1) data[len++] = tmp[--n];
    }
};

struct Civil {
    unsigned year, month, day, hour, minute, second, millis;
};

// Days-to-civil conversion (proleptic Gregorian), no library calls.
Civil CivilFromEpoch(long long secs, unsigned millis) {
    long long days = secs / 86400;
    long long rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<unsigned>(y + (m <= 2)), m, d, static_cast<unsigned>(rem / 3600),
            static_cast<unsigned>(rem % 3600 / 60), static_cast<unsigned>(rem % 60), millis};
}

Civil LocalNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return CivilFromEpoch(static_cast<long long>(ts.tv_sec) + gUtcOffsetSeconds,
                          static_cast<unsigned>(ts.tv_nsec / 1000000));
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGBUS: return "SIGBUS";
        case SIGABRT: return "SIGABRT";
        default: return "?";
    }
}

void WriteAll(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void* FaultAddress(const siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    if (uc) return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    if (uc) return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#endif
    return info ? info->si_addr : nullptr;
}

void WriteFaultLine(int sig, void* addr) {
    Dl_info dl{};
    const char* module = "?";
    std::uintptr_t offset = 0;
    if (addr && dladdr(addr, &dl) && dl.dli_fname) {
        module = dl.dli_fname;
        if (const char* slash = std::strrchr(module, '/')) module = slash + 1;
        offset = reinterpret_cast<std::uintptr_t>(addr) - reinterpret_cast<std::uintptr_t>(dl.dli_fbase);
    }
    if (!LogEnabled(kLogFault)) return;
    const Civil t = LocalNow();
    Buf b;
    b.Str("[");
    b.Dec(t.year, 4); b.Str("-"); b.Dec(t.month, 2); b.Str("-"); b.Dec(t.day, 2); b.Str(" ");
    b.Dec(t.hour, 2); b.Str(":"); b.Dec(t.minute, 2); b.Str(":"); b.Dec(t.second, 2); b.Str(".");
    b.Dec(t.millis, 3);
    b.Str(" ");
    b.Str(kLogSubsystem);
    b.Str(":crash:FAULT] [SIG] fatal signal=");
    b.Dec(static_cast<unsigned>(sig));
    b.Str(" (");
    b.Str(SignalName(sig));
    b.Str(") addr=0x");
    b.Hex(reinterpret_cast<std::uintptr_t>(addr));
    b.Str(" module=");
    b.Str(module);
    b.Str("+0x");
    b.Hex(offset);
    b.Str(" tid=");
    b.Dec(static_cast<unsigned long>(syscall(SYS_gettid)));
    b.Str("\r\n");
    const int fd = open(gLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, b.data, b.len);
        close(fd);
    }
}

void WriteCrashReport(int sig, const siginfo_t* info, void* addr) {
    const Civil t = LocalNow();
    Buf path;
    path.Str(gCrashDir);
    path.Str("/");
    path.Dec(t.year, 4); path.Str("-"); path.Dec(t.month, 2); path.Str("-"); path.Dec(t.day, 2);
    path.Str("_");
    path.Dec(t.hour, 2); path.Str("-"); path.Dec(t.minute, 2); path.Str("-"); path.Dec(t.second, 2);
    path.Str("_");
    path.Dec(static_cast<unsigned long>(getpid()));
    path.Str(".dmp");
    path.data[path.len] = '\0';
    const int fd = open(path.data, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Buf msg;
    if (fd >= 0) {
        Buf head;
        head.Str("Veltrix crash report\nsignal ");
        head.Dec(static_cast<unsigned>(sig));
        head.Str(" (");
        head.Str(SignalName(sig));
        head.Str(") code ");
        head.Dec(static_cast<unsigned>(info ? info->si_code & 0xFFFF : 0));
        head.Str(" fault address 0x");
        head.Hex(reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr));
        head.Str(" instruction 0x");
        head.Hex(reinterpret_cast<std::uintptr_t>(addr));
        head.Str("\npid ");
        head.Dec(static_cast<unsigned long>(getpid()));
        head.Str(" tid ");
        head.Dec(static_cast<unsigned long>(syscall(SYS_gettid)));
        head.Str("\nbacktrace:\n");
        WriteAll(fd, head.data, head.len);
        void* frames[64];
        const int n = backtrace(frames, 64);
        backtrace_symbols_fd(frames, n, fd);
        close(fd);
        msg.Str("[Veltrix] crash dump: ");
    } else {
        msg.Str("[Veltrix] crash dump WRITE FAILED at: ");
    }
    msg.Str(path.data);
    msg.Str("\n");
    if (gCopyToStderr) WriteAll(STDERR_FILENO, msg.data, msg.len);
}

int IndexOf(int sig) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == sig) return i;
    }
    return -1;
}

void Handler(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    void* addr = FaultAddress(info, context);
    WriteFaultLine(sig, addr);
    WriteCrashReport(sig, info, addr);

    const int i = IndexOf(sig);
    const struct sigaction prev = i >= 0 ? gPrevious[i] : (struct sigaction){};
    // Hand the signal on. Our handler stays out of the way from now on.
    if (i >= 0) sigaction(sig, &prev, nullptr);
    errno = saved;
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction) {
            prev.sa_sigaction(sig, info, context);
            return;
        }
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
        prev.sa_handler(sig);
        return;
    }
    // Default action: an ignored fault would re-fault forever, so it dies by default too.
    signal(sig, SIG_DFL);
    if (!info || info->si_code <= 0) {
        raise(sig);  // sent by kill/raise/abort: re-send now that the default is back
    }
    // A hardware fault re-executes the faulting instruction on return and dies by default.
}

void InstallAltStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_size >= kAltStackSize) {
        return;  // somebody (a sanitizer, the host) already gave this thread one
    }
    static char* memory = static_cast<char*>(std::malloc(kAltStackSize));
    if (!memory) return;
    stack_t st{};
    st.ss_sp = memory;
    st.ss_size = kAltStackSize;
    sigaltstack(&st, nullptr);
}

void CopyPath(char (&dst)[4096], const std::string& src) {
    std::size_t n = src.size() < sizeof dst - 1 ? src.size() : sizeof dst - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

void InstallCrashHandler() {
    bool expected = false;
    if (!gInstalled.compare_exchange_strong(expected, true)) return;

    const std::filesystem::path crashes = LocalDataDir() / "crashes";
    std::error_code ec;
    std::filesystem::create_directories(crashes, ec);
    CopyPath(gCrashDir, ec ? std::string(".") : crashes.string());
    CopyPath(gLogPath, LogFilePath().string());
    const char* v = std::getenv("VX_LOG_STDERR");
    gCopyToStderr = v && std::strcmp(v, "1") == 0;
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        gUtcOffsetSeconds = local.tm_gmtoff;
    }
    // backtrace() loads its unwinder on first use; do that now, not inside the handler.
    void* warm[2];
    backtrace(warm, 2);

    InstallAltStack();
    struct sigaction sa {};
    sa.sa_sigaction = Handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &sa, &gPrevious[i]);

    Log(kCrashLog, kLogInfo, "crash handler installed (reports → %s/, + signal diagnostic)", gCrashDir);
}

}  // namespace Veltrix
