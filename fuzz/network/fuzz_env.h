// Keeps what a fuzz target writes (its log lines) out of the user's folders.
#pragma once

namespace Veltrix::fuzzing {

// Points the per-user data folders of this process at <temp>/vx-fuzz-<name>.
void KeepFilesInTemp(const char* name);

}  // namespace Veltrix::fuzzing
