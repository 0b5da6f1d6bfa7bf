#include "tests/discovery/fake_dns_sd.h"

namespace Veltrix::testing {

namespace {
FakeInstanceData* Data(DnsSdInstance* p) { return reinterpret_cast<FakeInstanceData*>(p); }
const FakeInstanceData* Data(const DnsSdInstance* p) { return reinterpret_cast<const FakeInstanceData*>(p); }
DnsSdBrowse* const kTheBrowse = reinterpret_cast<DnsSdBrowse*>(static_cast<std::uintptr_t>(0x1000));
}  // namespace

FakeDnsSd::FakeDnsSd() : thread_([this] { Run(); }) {}

FakeDnsSd::~FakeDnsSd() {
    // Outstanding completions end cancelled, as the seam promises.
    {
        std::lock_guard<std::mutex> l(mutex_);
        for (auto& h : held_) queue_.push_back([h] { h.callback(kDnsSdCancelled, h.context, nullptr); });
        for (auto& h : heldDeregister_) queue_.push_back([h] { h.callback(kDnsSdCancelled, h.context, nullptr); });
        held_.clear();
        heldDeregister_.clear();
    }
    Resume();
    Flush();
    {
        std::lock_guard<std::mutex> l(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    for (auto* d : live_) delete d;
}

void FakeDnsSd::Post(std::function<void()> f) {
    {
        std::lock_guard<std::mutex> l(mutex_);
        queue_.push_back(std::move(f));
    }
    cv_.notify_all();
}

void FakeDnsSd::Run() {
    std::unique_lock<std::mutex> l(mutex_);
    for (;;) {
        cv_.wait(l, [&] { return stop_ || (!paused_ && !queue_.empty()); });
        if (queue_.empty()) return;
        auto f = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        l.unlock();
        f();
        l.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

void FakeDnsSd::Flush() {
    std::unique_lock<std::mutex> l(mutex_);
    cv_.wait(l, [&] { return queue_.empty() && !busy_; });
}

void FakeDnsSd::Pause() {
    std::lock_guard<std::mutex> l(mutex_);
    paused_ = true;
}

void FakeDnsSd::Resume() {
    {
        std::lock_guard<std::mutex> l(mutex_);
        paused_ = false;
    }
    cv_.notify_all();
}

void FakeDnsSd::Script(std::vector<Plan> plans) {
    std::lock_guard<std::mutex> l(mutex_);
    plans_.assign(plans.begin(), plans.end());
}

void FakeDnsSd::Answer(std::vector<std::u16string> names) {
    std::lock_guard<std::mutex> l(mutex_);
    if (browseCallback_ == nullptr) return;
    auto cb = browseCallback_;
    auto ctx = browseContext_;
    queue_.push_back([cb, ctx, names = std::move(names)] { cb(0, ctx, names); });
    cv_.notify_all();
}

void FakeDnsSd::ReleaseHeld() {
    std::lock_guard<std::mutex> l(mutex_);
    for (auto& h : held_) queue_.push_back([h] { h.callback(0, h.context, h.instance); });
    for (auto& h : heldDeregister_) queue_.push_back([h] { h.callback(0, h.context, h.instance); });
    held_.clear();
    heldDeregister_.clear();
    cv_.notify_all();
}

std::vector<FakeInstanceData> FakeDnsSd::Registered() {
    std::lock_guard<std::mutex> l(mutex_);
    return registered_;
}
int FakeDnsSd::Deregistrations() {
    std::lock_guard<std::mutex> l(mutex_);
    return deregistrations_;
}
int FakeDnsSd::BrowsesStarted() {
    std::lock_guard<std::mutex> l(mutex_);
    return browsesStarted_;
}
int FakeDnsSd::BrowsesCancelled() {
    std::lock_guard<std::mutex> l(mutex_);
    return browsesCancelled_;
}
int FakeDnsSd::LiveInstances() {
    std::lock_guard<std::mutex> l(mutex_);
    return static_cast<int>(live_.size());
}

DnsSdInstance* FakeDnsSd::NewInstance(FakeInstanceData data) {
    auto* d = new FakeInstanceData(std::move(data));
    live_.insert(d);
    return reinterpret_cast<DnsSdInstance*>(d);
}

DnsSdInstance* FakeDnsSd::ConstructInstance(const std::u16string& instanceName, const std::u16string& host,
                                            std::uint16_t port, const std::vector<DnsSdTxtEntry>& txt,
                                            std::uint32_t* error) {
    std::lock_guard<std::mutex> l(mutex_);
    if (failConstruct) {
        *error = 87;  // ERROR_INVALID_PARAMETER
        return nullptr;
    }
    return NewInstance({instanceName, host, port, txt});
}

void FakeDnsSd::FreeInstance(DnsSdInstance* instance) {
    std::lock_guard<std::mutex> l(mutex_);
    // Freeing twice or freeing what we never made is the fault these tests look for.
    if (live_.erase(Data(instance)) != 1) std::abort();
    delete Data(instance);
}

std::u16string FakeDnsSd::InstanceName(const DnsSdInstance* instance) {
    return instance != nullptr ? Data(instance)->name : std::u16string();
}

std::uint32_t FakeDnsSd::Register(DnsSdInstance* instance, CompletionCallback callback, void* context) {
    std::lock_guard<std::mutex> l(mutex_);
    Plan plan;
    if (!plans_.empty()) {
        plan = plans_.front();
        plans_.pop_front();
    }
    registered_.push_back(*Data(instance));
    switch (plan.step) {
    case Step::kRefuse:
        return 87;
    case Step::kHold:
        held_.push_back({callback, context, instance});
        return kDnsSdRequestPending;
    case Step::kFail:
        queue_.push_back([=] { callback(1460, context, nullptr); });  // ERROR_TIMEOUT
        break;
    case Step::kRename: {
        FakeInstanceData renamed = *Data(instance);
        renamed.name = plan.renameTo;
        DnsSdInstance* other = NewInstance(std::move(renamed));
        queue_.push_back([=] { callback(0, context, other); });
        break;
    }
    case Step::kComplete:
        queue_.push_back([=] { callback(0, context, instance); });
        break;
    }
    cv_.notify_all();
    return kDnsSdRequestPending;
}

std::uint32_t FakeDnsSd::Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) {
    std::lock_guard<std::mutex> l(mutex_);
    ++deregistrations_;
    if (holdDeregister) {
        // The system answers with a record of its own, which the caller frees.
        heldDeregister_.push_back({callback, context, NewInstance(*Data(instance))});
    } else {
        queue_.push_back([=] { callback(0, context, instance); });
        cv_.notify_all();
    }
    return kDnsSdRequestPending;
}

std::uint32_t FakeDnsSd::StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                                     DnsSdBrowse** browse) {
    std::lock_guard<std::mutex> l(mutex_);
    if (refuseBrowse || serviceType != u"_veltrix._tcp.local") return 87;
    ++browsesStarted_;
    browseCallback_ = callback;
    browseContext_ = context;
    *browse = kTheBrowse;
    return kDnsSdRequestPending;
}

std::uint32_t FakeDnsSd::CancelBrowse(DnsSdBrowse* browse) {
    std::lock_guard<std::mutex> l(mutex_);
    if (browse != kTheBrowse || browseCallback_ == nullptr) return 87;
    ++browsesCancelled_;
    auto cb = browseCallback_;
    auto ctx = browseContext_;
    browseCallback_ = nullptr;
    browseContext_ = nullptr;
    queue_.push_back([=] { cb(kDnsSdCancelled, ctx, {}); });
    cv_.notify_all();
    return 0;
}

}  // namespace Veltrix::testing
