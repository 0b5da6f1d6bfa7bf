// The dispatcher as a thread of its own with a queue. It is the "UI thread"
// of this platform: posted work runs there, one item at a time, in order.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "ctrl/ui_dispatcher.h"
#include "support/log.h"
#include "support/threads.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "ctrl"};

struct Dispatcher {
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    std::deque<UiWork> queue;
    std::thread thread;
    bool installed = false;
    bool stopping = false;
    // Torn down by the disconnect before the module goes; a host that never
    // disconnected leaves the thread to the end of the process.
    ~Dispatcher() {
        if (thread.joinable()) thread.detach();
    }
};

Dispatcher& State() {
    static Dispatcher d;
    return d;
}

void Loop(Dispatcher& d) {
    SetCurrentThreadName("vx ctrl ui");
    std::unique_lock<std::mutex> lock(d.mutex);
    for (;;) {
        d.wake.wait(lock, [&] { return d.stopping || !d.queue.empty(); });
        if (d.stopping) return;
        UiWork work = std::move(d.queue.front());
        d.queue.pop_front();
        lock.unlock();
        Log(kLog, kLogInfo, "ctrl: UI work on thread=%lu", static_cast<unsigned long>(CurrentThreadId()));
        RunUiWork(work);
        lock.lock();
    }
}

}  // namespace

bool UiDispatcherInstall() {
    Dispatcher& d = State();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.installed) {
        Log(kLog, kLogInfo, "ctrl: UI-dispatcher already installed");
        return true;
    }
    Log(kLog, kLogInfo, "ctrl: Install on thread=%lu", static_cast<unsigned long>(CurrentThreadId()));
    d.stopping = false;
    try {
        d.thread = std::thread([&d] { Loop(d); });
    } catch (const std::exception& e) {
        Log(kLog, kLogError, "ctrl: dispatcher thread failed to start: %s", e.what());
        return false;
    }
    d.installed = true;
    Log(kLog, kLogInfo, "ctrl: UI-dispatcher installed (dispatcher thread)");
    return true;
}

bool UiDispatcherPost(UiWork work) {
    Dispatcher& d = State();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.installed) {
        lock.unlock();
        work = nullptr;
        return false;
    }
    d.queue.push_back(std::move(work));
    d.wake.notify_one();
    return true;
}

void UiDispatcherTearDown() {
    Dispatcher& d = State();
    std::deque<UiWork> pending;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.installed) return;
        d.installed = false;
        d.stopping = true;
        pending.swap(d.queue);
        thread = std::move(d.thread);
        d.wake.notify_all();
    }
    // Work still running finishes; work not started is freed unrun.
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) thread.detach();
        else thread.join();
    }
    pending.clear();
    Log(kLog, kLogInfo, "ctrl: UI-dispatcher torn down");
}

}  // namespace Veltrix
