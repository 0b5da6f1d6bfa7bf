#include "discovery/self_heal.h"

#include "discovery/advertise_names.h"
#include "support/log.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "mdns"};
}

void SelfHeal::Watch(std::u16string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
    present_ = true;
    misses_ = 0;
}

void SelfHeal::OnAnswer(const std::vector<std::u16string>& ptrNames) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name_.empty() || ptrNames.empty()) return;
    bool ours = false;
    for (const auto& n : ptrNames) {
        if (EqualsIgnoreCase(n, name_)) {
            ours = true;
            break;
        }
    }
    if (ours) {
        if (!present_) Log(kLog, kLogInfo, "[bj] self-heal: our instance back on the wire");
        present_ = true;
        misses_ = 0;
        return;
    }
    if (misses_ < INT32_MAX) ++misses_;
    if (present_ && misses_ >= kMissesForAbsent) {
        present_ = false;
        last_ = clock_.Now();
        Log(kLog, kLogInfo, "[bj] self-heal: our instance ABSENT — arming re-publish");
    }
}

bool SelfHeal::TakeRepublishDue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (present_) return false;
    const auto now = clock_.Now();
    if (now - last_ < kRepublishInterval) return false;
    last_ = now;
    return true;
}

std::u16string SelfHeal::Name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

bool SelfHeal::Present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

std::int32_t SelfHeal::Misses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return misses_;
}

}  // namespace Veltrix
