// The window (or terminal view) that shows a pairing code while a phone waits.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace Veltrix {

class IPairingDialog {
public:
    // Closes the view if still open and waits for its thread; never calls onCancel.
    virtual ~IPairingDialog() = default;
    // Shows code and device name without blocking; onCancel runs at most once, when the user dismisses.
    virtual void Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) = 0;
    // Closes the view without calling onCancel. Any thread, any number of times.
    virtual void Close() = 0;
    // Before Show: a line shown in place of the usual note (that attempts are
    // being slowed). A view without room for it ignores it.
    virtual void SetNote(const std::string& note) { (void)note; }
};

// The platform's dialog, or none when this platform has no view yet.
std::unique_ptr<IPairingDialog> CreatePairingDialog();

}  // namespace Veltrix
