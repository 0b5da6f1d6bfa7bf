#include "ctrl/ui_dispatcher.h"

#include "support/log.h"

namespace Veltrix {

void RunUiWork(UiWork& work) noexcept {
    static const LogChannel kLog{kLogSubsystem, "ctrl"};
    try {
        if (!work) throw std::bad_function_call();
        work();
    } catch (...) {
        Log(kLog, kLogError, "ctrl: UI-thread callable threw");
    }
    try {
        work = nullptr;
    } catch (...) {
        Log(kLog, kLogError, "ctrl: UI-thread callable threw");
    }
}

}  // namespace Veltrix
