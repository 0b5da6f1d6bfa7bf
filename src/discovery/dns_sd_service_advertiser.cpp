#include "discovery/dns_sd_service_advertiser.h"

#include "discovery/advertise_names.h"
#include "support/log.h"
#include "support/threads.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "mdns"};
}

// Shared by the waiting thread and the system's callback; whoever drops the
// last reference frees it, so a callback that arrives after the wait gave up
// touches only this record.
struct DnsSdServiceAdvertiser::Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::uint32_t status = 0;
    DnsSdInstance* instance = nullptr;
    std::atomic<int> refs{2};

    void Release() {
        if (refs.fetch_sub(1) == 1) delete this;
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
    : dns_(std::move(dnsSd)), clock_(clock), heal_(clock) {}

DnsSdServiceAdvertiser::~DnsSdServiceAdvertiser() {
    StopSelfHeal();
    std::lock_guard<std::mutex> lock(mutex_);
    Deregister();
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
    }
    record->Release();
    if (!done) {
        Log(kLog, kLogError, "DnsServiceRegister callback timed out after 5s");
        dns_->FreeInstance(mine);
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
        auto* record = new Completion();
        const std::uint32_t rc = dns_->Deregister(instance_, &OnCompletion, record);
        if (rc != kDnsSdRequestPending) {
            Log(kLog, kLogInfo, "DnsServiceDeRegister returned %lu — continuing teardown",
                static_cast<unsigned long>(rc));
            delete record;
        } else {
            DnsSdInstance* returned = nullptr;
            {
                std::unique_lock<std::mutex> lock(record->mutex);
                clock_.WaitUntil(record->cv, lock, clock_.Now() + kDeregisterWait, [&] { return record->done; });
                returned = record->instance;
                // A late callback must not hand us an instance we would never free.
                record->instance = nullptr;
            }
            record->Release();
            if (returned != nullptr && returned != instance_) dns_->FreeInstance(returned);
        }
        dns_->FreeInstance(instance_);
        instance_ = nullptr;
        Log(kLog, kLogInfo, "advertising stopped");
    } else if (instance_ != nullptr) {
        dns_->FreeInstance(instance_);
        instance_ = nullptr;
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
