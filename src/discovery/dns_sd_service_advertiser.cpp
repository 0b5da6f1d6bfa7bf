#include "discovery/dns_sd_service_advertiser.h"

#include "discovery/advertise_names.h"
#include "support/log.h"
#include "support/threads.h"
#include "support/utf16.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "mdns"};
}

// What requests that completed after their wait gave up leave behind:
// publications to withdraw and instances to free. Filled by the late callbacks
// (which may not call the service back from its own thread), settled by the
// advertiser under mutex_.
struct DnsSdServiceAdvertiser::Late {
    std::mutex mutex;
    std::condition_variable cv;
    int outstanding = 0;                  // given-up requests whose callback has not come
    std::vector<DnsSdInstance*> withdraw;  // registered after all
    std::vector<DnsSdInstance*> free;
    bool closed = false;  // the advertiser is gone: a callback touches only its record
};

// Shared by the waiting thread and the system's callback; whoever drops the
// last reference frees it. When the wait gives up, the record takes the
// request's instance and hands what the callback brings to Late.
struct DnsSdServiceAdvertiser::Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::uint32_t status = 0;
    DnsSdInstance* instance = nullptr;
    std::atomic<int> refs{2};
    // Set when the wait gave up (under mutex).
    std::shared_ptr<Late> late;
    DnsSdInstance* mine = nullptr;  // the instance of the request
    bool registers = false;         // a registration (its success must be withdrawn)

    void Release() {
        if (refs.fetch_sub(1) == 1) delete this;
    }
    // Mutex held, the wait gives up: the record owns the request's instance from now on.
    void GiveUp(std::shared_ptr<Late> into, DnsSdInstance* request, bool isRegistration) {
        late = std::move(into);
        mine = request;
        registers = isRegistration;
        std::lock_guard<std::mutex> lock(late->mutex);
        ++late->outstanding;
    }
    // Mutex held, the wait gave up: the instances go to Late.
    void HandOver() {
        std::lock_guard<std::mutex> lock(late->mutex);
        --late->outstanding;
        if (!late->closed) {
            const bool other = instance != nullptr && instance != mine;
            if (registers && status == kDnsSdSuccess) {
                // Published after all: the system's record carries the name it used.
                late->withdraw.push_back(other ? instance : mine);
                if (other) late->free.push_back(mine);
            } else {
                if (other) late->free.push_back(instance);
                late->free.push_back(mine);
            }
        }
        late->cv.notify_all();
    }
};

// Shared by the advertiser and the browse callbacks. The advertiser detaches
// itself under the mutex before it cancels, so a callback either finishes with
// the advertiser alive or sees none; the cancelled callback frees the context.
struct DnsSdServiceAdvertiser::BrowseContext {
    std::mutex mutex;
    DnsSdServiceAdvertiser* owner = nullptr;
};

std::unique_ptr<IServiceAdvertiser> CreateServiceAdvertiser() {
    auto dns = CreateDnsSd();
    if (!dns) return nullptr;
    return std::make_unique<DnsSdServiceAdvertiser>(std::move(dns), Clock::Real());
}

DnsSdServiceAdvertiser::DnsSdServiceAdvertiser(std::shared_ptr<IDnsSd> dnsSd, Clock& clock)
    : dns_(std::move(dnsSd)), clock_(clock), late_(std::make_shared<Late>()), heal_(clock) {}

DnsSdServiceAdvertiser::~DnsSdServiceAdvertiser() {
    StopSelfHeal();
    std::lock_guard<std::mutex> lock(mutex_);
    Deregister();
    // A request given up on may still complete: wait a while, so that nothing
    // stays published or allocated once we are gone.
    SettleLate(clock_.Now() + kLateWait);
    std::vector<DnsSdInstance*> withdraw, free;
    {
        std::lock_guard<std::mutex> lateLock(late_->mutex);
        late_->closed = true;
        withdraw.swap(late_->withdraw);
        free.swap(late_->free);
        if (late_->outstanding > 0) {
            Log(kLog, kLogError, "%d DNS-SD request(s) still unanswered at teardown — left to the system",
                late_->outstanding);
        }
    }
    for (DnsSdInstance* w : withdraw) Withdraw(w);
    for (DnsSdInstance* f : free) dns_->FreeInstance(f);
}

bool DnsSdServiceAdvertiser::Start(std::uint16_t port, AdvertiseConfig config) {
    StopSelfHeal();
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Deregister();
        port_ = port;
        ok = Register(config);
    }
    if (ok) StartSelfHeal();
    return ok;
}

bool DnsSdServiceAdvertiser::UpdateTxt(AdvertiseConfig config) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!registered_.load()) {
        Log(kLog, kLogInfo, "UpdateTxt: not registered — skipping");
        return false;
    }
    Deregister();
    return Register(config);
}

void DnsSdServiceAdvertiser::Stop() {
    StopSelfHeal();
    std::lock_guard<std::mutex> lock(mutex_);
    Deregister();
}

std::u16string DnsSdServiceAdvertiser::RegisteredName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return instance_ != nullptr ? dns_->InstanceName(instance_) : std::u16string();
}

void DnsSdServiceAdvertiser::OnCompletion(std::uint32_t status, void* context, DnsSdInstance* instance) {
    auto* record = static_cast<Completion*>(context);
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->status = status;
        record->instance = instance;
        record->done = true;
        record->cv.notify_all();
        if (record->late) record->HandOver();
    }
    record->Release();
}

bool DnsSdServiceAdvertiser::Register(const AdvertiseConfig& config) {
    const std::u16string serviceName = ServiceInstanceName(config.name);
    const std::u16string hostName = ServiceHostName(dns_->DnsHostName());
    std::uint32_t error = 0;
    DnsSdInstance* mine = dns_->ConstructInstance(serviceName, hostName, port_, TxtRecord(config), &error);
    if (mine == nullptr) {
        Log(kLog, kLogError, "DnsServiceConstructInstance failed: err=%lu", static_cast<unsigned long>(error));
        return false;
    }
    auto* record = new Completion();
    const std::uint32_t rc = dns_->Register(mine, &OnCompletion, record);
    if (rc != kDnsSdRequestPending) {
        Log(kLog, kLogError, "DnsServiceRegister returned %lu — registration refused", static_cast<unsigned long>(rc));
        delete record;  // both references: no callback will come
        dns_->FreeInstance(mine);
        return false;
    }
    bool done = false;
    std::uint32_t status = 0;
    DnsSdInstance* returned = nullptr;
    {
        std::unique_lock<std::mutex> lock(record->mutex);
        done = clock_.WaitUntil(record->cv, lock, clock_.Now() + kRegisterWait, [&] { return record->done; });
        status = record->status;
        returned = record->instance;
        if (!done) record->GiveUp(late_, mine, true);
    }
    record->Release();
    if (!done) {
        // The request still refers to its instance; a late completion is withdrawn and freed by SettleLate.
        Log(kLog, kLogError, "DnsServiceRegister callback timed out after 5s");
        return false;
    }
    if (status != 0) {
        Log(kLog, kLogError, "DnsServiceRegister callback status=%lu", static_cast<unsigned long>(status));
        if (returned != nullptr && returned != mine) dns_->FreeInstance(returned);
        dns_->FreeInstance(mine);
        return false;
    }
    if (returned != nullptr && returned != mine) {
        // The system's record carries the name it finally registered (maybe made unique).
        dns_->FreeInstance(mine);
        mine = returned;
    }
    instance_ = mine;
    registered_.store(true);
    config_ = config;
    Log(kLog, kLogInfo, "advertising :%u id=%{public}s name=%{public}s transmit=%d", port_, config.id.c_str(),
        config.name.c_str(), config.transmit ? 1 : 0);
    return true;
}

void DnsSdServiceAdvertiser::Deregister() {
    if (registered_.exchange(false) && instance_ != nullptr) {
        Withdraw(instance_);
        instance_ = nullptr;
        Log(kLog, kLogInfo, "advertising stopped");
    } else if (instance_ != nullptr) {
        dns_->FreeInstance(instance_);
        instance_ = nullptr;
    }
    SettleLate();
}

void DnsSdServiceAdvertiser::Withdraw(DnsSdInstance* instance) {
    auto* record = new Completion();
    const std::uint32_t rc = dns_->Deregister(instance, &OnCompletion, record);
    if (rc != kDnsSdRequestPending) {
        Log(kLog, kLogInfo, "DnsServiceDeRegister returned %lu — continuing teardown", static_cast<unsigned long>(rc));
        delete record;  // both references: no callback will come
        dns_->FreeInstance(instance);
        return;
    }
    bool done = false;
    DnsSdInstance* returned = nullptr;
    {
        std::unique_lock<std::mutex> lock(record->mutex);
        done = clock_.WaitUntil(record->cv, lock, clock_.Now() + kDeregisterWait, [&] { return record->done; });
        returned = record->instance;
        if (!done) record->GiveUp(late_, instance, false);
    }
    record->Release();
    if (!done) return;  // both instances are freed when the callback comes
    if (returned != nullptr && returned != instance) dns_->FreeInstance(returned);
    dns_->FreeInstance(instance);
}

bool DnsSdServiceAdvertiser::LatePending() {
    std::lock_guard<std::mutex> lock(late_->mutex);
    return !late_->withdraw.empty() || !late_->free.empty();
}

void DnsSdServiceAdvertiser::SettleLate(std::optional<Clock::time_point> until) {
    for (;;) {
        std::vector<DnsSdInstance*> withdraw, free;
        {
            std::unique_lock<std::mutex> lock(late_->mutex);
            if (until) {
                clock_.WaitUntil(late_->cv, lock, *until, [&] {
                    return late_->outstanding == 0 || !late_->withdraw.empty() || !late_->free.empty();
                });
            }
            withdraw.swap(late_->withdraw);
            free.swap(late_->free);
        }
        if (withdraw.empty() && free.empty()) return;
        for (DnsSdInstance* w : withdraw) {
            const std::u16string name = dns_->InstanceName(w);
            if (instance_ != nullptr && EqualsIgnoreCase(name, dns_->InstanceName(instance_))) {
                // Our current registration has that name: withdrawing it would take ours down too.
                dns_->FreeInstance(w);
                continue;
            }
            Log(kLog, kLogInfo, "DnsServiceRegister completed after its wait — withdrawing %{public}s",
                Utf16ToUtf8(name).c_str());
            Withdraw(w);
        }
        for (DnsSdInstance* f : free) dns_->FreeInstance(f);
    }
}

void DnsSdServiceAdvertiser::StartSelfHeal() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (browseContext_ != nullptr || !registered_.load()) return;
    const std::u16string name = instance_ != nullptr ? dns_->InstanceName(instance_) : std::u16string();
    if (name.empty()) {
        Log(kLog, kLogInfo, "[bj] self-heal: no instance name — skipping");
        return;
    }
    heal_.Watch(name);
    auto* context = new BrowseContext();
    context->owner = this;
    DnsSdBrowse* browse = nullptr;
    const std::uint32_t rc = dns_->StartBrowse(kServiceType, &OnBrowse, context, &browse);
    if (rc != kDnsSdRequestPending) {
        Log(kLog, kLogError, "[bj] self-heal: DnsServiceBrowse failed s=%lu — self-heal off",
            static_cast<unsigned long>(rc));
        delete context;
        return;
    }
    browse_ = browse;
    browseContext_ = context;
    running_.store(true);
    worker_ = std::thread([this] { WorkerLoop(); });
    Log(kLog, kLogInfo, "[bj] self-heal: started (read-only browse + register-only on loss)");
}

void DnsSdServiceAdvertiser::StopSelfHeal() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running_.store(false);
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (browseContext_ == nullptr) return;
    {
        // Waits for a callback in progress; later ones see no owner.
        std::lock_guard<std::mutex> contextLock(browseContext_->mutex);
        browseContext_->owner = nullptr;
    }
    dns_->CancelBrowse(browse_);
    browse_ = nullptr;
    browseContext_ = nullptr;  // freed by the cancelled callback
}

void DnsSdServiceAdvertiser::OnBrowse(std::uint32_t status, void* context, const std::vector<std::u16string>& ptrNames) {
    auto* browse = static_cast<BrowseContext*>(context);
    if (browse == nullptr) return;
    if (status == kDnsSdCancelled) {
        delete browse;
        return;
    }
    std::lock_guard<std::mutex> lock(browse->mutex);
    if (browse->owner != nullptr) browse->owner->heal_.OnAnswer(ptrNames);
}

void DnsSdServiceAdvertiser::WorkerLoop() {
    SetCurrentThreadName("vx-mdns-heal");
    while (running_.load()) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            clock_.WaitUntil(wake_, lock, clock_.Now() + kWorkerPeriod, [this] { return !running_.load(); });
        }
        if (!running_.load()) break;
        if (LatePending()) {
            std::lock_guard<std::mutex> lock(mutex_);
            SettleLate();
        }
        if (heal_.TakeRepublishDue()) {
            std::lock_guard<std::mutex> lock(mutex_);
            Republish();
        }
    }
}

void DnsSdServiceAdvertiser::Republish() {
    if (!config_ || config_->id.empty() || port_ == 0) return;
    const AdvertiseConfig config = *config_;
    Log(kLog, kLogInfo, "[bj] self-heal: re-publishing (register-only) id=%{public}s", config.id.c_str());
    if (instance_ != nullptr) dns_->FreeInstance(instance_);
    instance_ = nullptr;
    registered_.store(false);
    const std::u16string expected = ServiceInstanceName(config.name);
    if (!Register(config)) {
        Log(kLog, kLogError, "[bj] self-heal: re-register failed");
        return;
    }
    std::u16string actual = dns_->InstanceName(instance_);
    if (actual.empty()) actual = expected;
    if (!EqualsIgnoreCase(actual, expected)) {
        Log(kLog, kLogInfo, "[bj] self-heal: WinDNS uniquified our name — adopting it, self-heal stays active");
    }
    heal_.Watch(actual);
}

}  // namespace Veltrix
