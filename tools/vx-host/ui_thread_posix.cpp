#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "support/threads.h"
#include "vx-host/ui_thread.h"

namespace Veltrix::host {

struct UiThread::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool quit = false;
    std::thread thread;
};

UiThread::UiThread() : impl_(std::make_unique<Impl>()) {
    Impl* d = impl_.get();
    d->thread = std::thread([d] {
        SetCurrentThreadName("vx-host ui");
        std::unique_lock<std::mutex> lock(d->mutex);
        for (;;) {
            d->wake.wait(lock, [&] { return d->quit || !d->queue.empty(); });
            if (d->queue.empty()) return;
            auto fn = std::move(d->queue.front());
            d->queue.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    });
}

UiThread::~UiThread() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->quit = true;
    }
    impl_->wake.notify_all();
    impl_->thread.join();
}

void UiThread::Run(const std::function<void()>& fn) {
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->queue.push_back([&] {
            fn();
            std::lock_guard<std::mutex> l(doneMutex);
            done = true;
            doneCv.notify_all();
        });
    }
    impl_->wake.notify_all();
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

}  // namespace Veltrix::host
