// Runs work for the host's UI away from the caller's thread. Windows: a
// message-only window on the thread that connected the surface, which the
// host's message loop serves. Elsewhere: a dispatcher thread with a queue.
// Work left pending at tear-down is freed without running.
#pragma once

#include <functional>

namespace Veltrix {

using UiWork = std::function<void()>;

// Installs the dispatcher (once; a second install only logs). False on failure.
bool UiDispatcherInstall();
// Queues work; false (and the work destroyed unrun) when not installed or the post fails.
bool UiDispatcherPost(UiWork work);
// Drops pending work unrun and removes the dispatcher. Safe when not installed.
void UiDispatcherTearDown();

// Runs work and then destroys it; nothing thrown by either escapes, each is
// logged as "ctrl: UI-thread callable threw".
void RunUiWork(UiWork& work) noexcept;

}  // namespace Veltrix
