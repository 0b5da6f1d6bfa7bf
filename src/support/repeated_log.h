// A log line that may recur on every frame: the first is written, the repeats
// are counted and summed up in one line at most once per period, so a fault
// that lasts does not rotate everything else out of the log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "support/clock.h"
#include "support/log.h"

namespace Veltrix {

class RepeatedLogLine {
public:
    static constexpr std::chrono::seconds kDefaultPeriod{60};

    RepeatedLogLine(const LogChannel& channel, int level, Clock& clock, Clock::duration period = kDefaultPeriod);

    // Writes the message when it is new (first, or unlike the previous one);
    // a repeat is counted, and once a period has passed since the last line
    // written, "<message> — repeated N times in the last M s" is written instead.
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void Write(const char* format, ...);
    // Writes the count of repeats not yet reported, if any (the condition has ended).
    void Flush();

private:
    void FlushLocked(Clock::time_point now);

    const LogChannel& channel_;
    const int level_;
    Clock& clock_;
    const Clock::duration period_;
    std::mutex mutex_;
    std::string last_;
    std::uint64_t repeats_ = 0;  // since lastWritten_
    Clock::time_point lastWritten_{};
};

}  // namespace Veltrix
