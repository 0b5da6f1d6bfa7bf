// IServiceAdvertiser over the DNS-SD seam: one registration of
// "<label>._veltrix._tcp.local" plus a self-heal that browses for our own type
// and registers again when the responder stops answering for us.
//
// Lock order: mutex_ (Start, UpdateTxt, Stop, destruction, re-publish) before
// the self-heal's own mutex. Browse callbacks take only the browse context's
// mutex and then the self-heal's; the worker never holds the self-heal mutex
// while it takes mutex_.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "discovery/dns_sd.h"
#include "discovery/self_heal.h"
#include "discovery/service_advertiser.h"
#include "support/clock.h"

namespace Veltrix {

class DnsSdServiceAdvertiser final : public IServiceAdvertiser {
public:
    static constexpr std::chrono::seconds kRegisterWait{5};
    static constexpr std::chrono::seconds kDeregisterWait{3};
    // How long destruction waits for requests whose wait gave up to complete.
    static constexpr std::chrono::seconds kLateWait{3};
    static constexpr std::chrono::milliseconds kWorkerPeriod{200};

    DnsSdServiceAdvertiser(std::shared_ptr<IDnsSd> dnsSd, Clock& clock);
    ~DnsSdServiceAdvertiser() override;
    DnsSdServiceAdvertiser(const DnsSdServiceAdvertiser&) = delete;
    DnsSdServiceAdvertiser& operator=(const DnsSdServiceAdvertiser&) = delete;

    bool Start(std::uint16_t port, AdvertiseConfig config) override;
    bool UpdateTxt(AdvertiseConfig config) override;
    void Stop() override;
    bool IsAdvertising() const override { return registered_.load(); }

    // The name of the current registration (empty when none).
    std::u16string RegisteredName();
    // The self-heal's view (name watched, present, misses).
    const SelfHeal& Heal() const { return heal_; }
    // True while the self-heal worker runs.
    bool SelfHealRunning() const { return running_.load(); }

private:
    struct Late;
    struct Completion;
    struct BrowseContext;

    bool Register(const AdvertiseConfig& config);  // mutex_ held
    void Deregister();                             // mutex_ held
    // Withdraws the instance's publication and frees it, now or when a late answer comes (mutex_ held).
    void Withdraw(DnsSdInstance* instance);
    // Withdraws what registered after its wait gave up and frees what came back
    // late (mutex_ held); with a deadline, first waits that long for the requests still owed.
    void SettleLate(std::optional<Clock::time_point> until = std::nullopt);
    bool LatePending();
    void StartSelfHeal();
    void StopSelfHeal();
    void WorkerLoop();
    void Republish();  // mutex_ held
    static void OnCompletion(std::uint32_t status, void* context, DnsSdInstance* instance);
    static void OnBrowse(std::uint32_t status, void* context, const std::vector<std::u16string>& ptrNames);

    std::shared_ptr<IDnsSd> dns_;
    Clock& clock_;
    std::shared_ptr<Late> late_;
    std::mutex mutex_;
    std::atomic<bool> registered_{false};
    std::uint16_t port_ = 0;
    DnsSdInstance* instance_ = nullptr;
    std::optional<AdvertiseConfig> config_;

    SelfHeal heal_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    DnsSdBrowse* browse_ = nullptr;
    BrowseContext* browseContext_ = nullptr;
};

}  // namespace Veltrix
