// The host's UI thread: a thread with a message loop that runs work handed to
// it. The control surface is connected and disconnected there, and on Windows
// the surface's dispatcher window lives on it.
#pragma once

#include <functional>
#include <memory>

namespace Veltrix::host {

class UiThread {
public:
    UiThread();   // starts the thread
    ~UiThread();  // ends the loop and joins
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    // Runs fn on the UI thread and returns when it has run.
    void Run(const std::function<void()>& fn);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Veltrix::host
