// Readers and writers hammering a set of locks: every round must finish (the
// lock the mingw-w64 standard library provides hangs here now and then) and a
// writer must never overlap anyone.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "support/shared_mutex.h"

namespace Veltrix {
namespace {

struct Guarded {
    SharedMutex mutex;
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
};

TEST(SharedMutexTest, WritersExcludeEveryoneAndNobodyHangs) {
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(doneMutex);
        if (!doneSignal.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) {
            std::fprintf(stderr, "watchdog: readers and writers still blocked\n");
            std::abort();
        }
    });

    std::array<Guarded, 128> locks;
    std::atomic<int> overlaps{0};
    constexpr int kIterations = 500'000;
    auto writer = [&] {
        for (int i = 0; i < kIterations; ++i) {
            Guarded& g = locks[i % locks.size()];
            std::unique_lock<SharedMutex> lock(g.mutex);
            if (g.writers.fetch_add(1) != 0 || g.readers.load() != 0) ++overlaps;
            g.writers.fetch_sub(1);
        }
    };
    auto reader = [&] {
        for (int i = 0; i < kIterations; ++i) {
            Guarded& g = locks[i % locks.size()];
            std::shared_lock<SharedMutex> lock(g.mutex);
            g.readers.fetch_add(1);
            if (g.writers.load() != 0) ++overlaps;
            g.readers.fetch_sub(1);
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(reader);
    threads.emplace_back(writer);
    threads.emplace_back(writer);
    for (auto& t : threads) t.join();
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneSignal.notify_all();
    watchdog.join();
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace Veltrix
