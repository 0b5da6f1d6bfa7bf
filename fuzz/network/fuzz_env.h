// Keeps what a fuzz target writes (its log lines) out of the user's folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Veltrix::fuzzing {

// The input cut at its NUL bytes: always at least one field.
inline std::vector<std::string> SplitAtNul(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    return fields;
}

// Points the per-user data folders of this process at <temp>/vx-fuzz-<name>.
void KeepFilesInTemp(const char* name);

// Runs the window messages waiting for this thread (Windows: the control surface
// queues its UI work there); nothing elsewhere, where that work has a thread of its own.
void PumpThreadMessages();

}  // namespace Veltrix::fuzzing
