// The pairing-dialog seam for tests: records what the dialog was asked to show,
// so that a test phone can answer with the code.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "tests/testing/eventually.h"
#include "ui/pairing_dialog.h"

namespace Veltrix::testing {

struct DialogRecord {
    std::mutex m;
    std::string code, name, note;
    std::function<void()> onCancel;  // the dialog's cancel button
    int shown = 0, destroyed = 0;
};

class RecordingDialog final : public IPairingDialog {
public:
    explicit RecordingDialog(DialogRecord& r) : r_(r) {}
    ~RecordingDialog() override {
        std::lock_guard<std::mutex> l(r_.m);
        ++r_.destroyed;
        r_.onCancel = nullptr;
    }
    void Show(const std::string& code, const std::string& name, std::function<void()> onCancel) override {
        std::lock_guard<std::mutex> l(r_.m);
        r_.code = code;
        r_.name = name;
        r_.onCancel = std::move(onCancel);
        ++r_.shown;
    }
    void Close() override {}
    void SetNote(const std::string& note) override {
        std::lock_guard<std::mutex> l(r_.m);
        r_.note = note;
    }

private:
    DialogRecord& r_;
};

// Waits for the dialog to show a code and takes it, so that the next call waits
// for the next one. Empty when none was shown within `ms`.
inline std::string TakeCode(DialogRecord& r, int ms = 20000) {
    std::string code;
    Eventually(
        [&] {
            std::lock_guard<std::mutex> l(r.m);
            code = r.code;
            return !code.empty();
        },
        ms);
    std::lock_guard<std::mutex> l(r.m);
    r.code.clear();
    return code;
}

}  // namespace Veltrix::testing
