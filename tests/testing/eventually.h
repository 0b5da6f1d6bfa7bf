// Polls a condition that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace Veltrix::testing {

// True as soon as f() is; false when it is still false after `ms`. The limit is
// generous: it is only reached when a test fails, and sanitizer builds are slow.
inline bool Eventually(const std::function<bool()>& f, int ms = 20000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

}  // namespace Veltrix::testing
