#include "support/repeated_log.h"

#include <cstdarg>
#include <cstdio>

namespace Veltrix {

RepeatedLogLine::RepeatedLogLine(const LogChannel& channel, int level, Clock& clock, Clock::duration period)
    : channel_(channel), level_(level), clock_(clock), period_(period) {}

void RepeatedLogLine::Write(const char* format, ...) {
    if (!LogEnabled(level_)) return;
    char message[1024];
    va_list args;
    va_start(args, format);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    const int written = std::vsnprintf(message, sizeof message, StripQualifiers(format).c_str(), args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    va_end(args);
    if (written < 0) return;
    const Clock::time_point now = clock_.Now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (message != last_) {
        FlushLocked(now);
        last_ = message;
        lastWritten_ = now;
        Log(channel_, level_, "%s", last_.c_str());
        return;
    }
    ++repeats_;
    if (now - lastWritten_ >= period_) FlushLocked(now);
}

void RepeatedLogLine::Flush() {
    const Clock::time_point now = clock_.Now();
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked(now);
    last_.clear();
}

void RepeatedLogLine::FlushLocked(Clock::time_point now) {
    if (repeats_ == 0) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - lastWritten_).count();
    Log(channel_, level_, "%s — repeated %llu times in the last %lld s", last_.c_str(),
        static_cast<unsigned long long>(repeats_), static_cast<long long>(seconds));
    repeats_ = 0;
    lastWritten_ = now;
}

}  // namespace Veltrix
