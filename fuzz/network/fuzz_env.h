// Keeps what a fuzz target writes (its log lines) out of the user's folders.
#pragma once

namespace Veltrix::fuzzing {

// Points the per-user data folders of this process at <temp>/vx-fuzz-<name>.
void KeepFilesInTemp(const char* name);

// Runs the window messages waiting for this thread (Windows: the control surface
// queues its UI work there); nothing elsewhere, where that work has a thread of its own.
void PumpThreadMessages();

}  // namespace Veltrix::fuzzing
