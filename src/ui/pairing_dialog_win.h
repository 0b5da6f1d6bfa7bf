// The Win32 pairing window: the code in large digits in a small topmost window
// on a UI thread of its own.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "ui/pairing_dialog.h"

namespace Veltrix {

inline constexpr wchar_t kPairingDialogClass[] = L"Veltrix.PairingDialog";
inline constexpr int kPairingWidth = 420;
inline constexpr int kPairingHeight = 260;
enum PairingControl : int { kPairingPrompt = 1001, kPairingCode = 1002, kPairingNote = 1003, kPairingCancel = 1004 };

class Win32PairingDialog final : public IPairingDialog {
public:
    Win32PairingDialog() = default;
    // Like Close(), then waits for the UI thread.
    ~Win32PairingDialog() override;
    // Starts the UI thread; once per object. Throws std::system_error when no thread can start.
    void Show(const std::string& code, const std::string& deviceName, std::function<void()> onCancel) override;
    // Asks the window to close without calling onCancel. Any thread, any number of times.
    void Close() override;
    // Replaces the note under the code; before Show.
    void SetNote(const std::string& note) override { note_ = note; }

    // The window while it exists (for tests and screenshots).
    HWND Window() const { return window_.load(); }

private:
    void Run(std::string code, std::string deviceName);

    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> closeRequested_{false};
    std::mutex cancelMutex_;
    std::function<void()> onCancel_;
    std::atomic<bool> cancelFired_{false};
    std::string note_;  // written before Show starts the thread that reads it
};

}  // namespace Veltrix
