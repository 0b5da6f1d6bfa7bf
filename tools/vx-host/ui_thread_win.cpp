// A thread with a Win32 message loop: work arrives as a thread message; every
// other message (the control surface's dispatcher window among them) is
// dispatched as a host's UI thread does.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/threads.h"
#include "vx-host/ui_thread.h"

namespace Veltrix::host {
namespace {
constexpr UINT kRunMessage = WM_APP + 1;
}

struct UiThread::Impl {
    std::thread thread;
    DWORD threadId = 0;
    std::mutex mutex;
    std::condition_variable ready;
    bool started = false;
};

UiThread::UiThread() : impl_(std::make_unique<Impl>()) {
    Impl* d = impl_.get();
    d->thread = std::thread([d] {
        SetCurrentThreadName("vx-host ui");
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the thread's queue exists from here
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->threadId = GetCurrentThreadId();
            d->started = true;
        }
        d->ready.notify_all();
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (!msg.hwnd && msg.message == kRunMessage) {
                (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    });
    std::unique_lock<std::mutex> lock(d->mutex);
    d->ready.wait(lock, [&] { return d->started; });
}

UiThread::~UiThread() {
    PostThreadMessageW(impl_->threadId, WM_QUIT, 0, 0);
    impl_->thread.join();
}

void UiThread::Run(const std::function<void()>& fn) {
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::function<void()> work = [&] {
        fn();
        std::lock_guard<std::mutex> l(doneMutex);
        done = true;
        doneCv.notify_all();
    };
    if (!PostThreadMessageW(impl_->threadId, kRunMessage, 0, reinterpret_cast<LPARAM>(&work))) {
        fn();  // the loop is gone: run here rather than lose the work
        return;
    }
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

}  // namespace Veltrix::host
