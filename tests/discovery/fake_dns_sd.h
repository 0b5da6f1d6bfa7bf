// A scripted DNS-SD responder: each Register follows the next step of the
// script (complete, refuse, fail, hold, rename); browses are answered when the
// test says so. Callbacks run on the fake's own delivery thread, in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discovery/dns_sd.h"

namespace Veltrix::testing {

struct FakeInstanceData {
    std::u16string name, host;
    std::uint16_t port = 0;
    std::vector<DnsSdTxtEntry> txt;
};

class FakeDnsSd final : public IDnsSd {
public:
    enum class Step {
        kComplete,  // status 0, our own instance back
        kRefuse,    // Register returns an error at once
        kFail,      // callback with a non-zero status
        kHold,      // no callback until ReleaseHeld
        kRename,    // status 0 with a new instance named renameTo
    };
    struct Plan {
        Plan(Step s = Step::kComplete, std::u16string rename = {}) : step(s), renameTo(std::move(rename)) {}
        Step step;
        std::u16string renameTo;
    };

    FakeDnsSd();
    ~FakeDnsSd() override;

    // --- scripting (test thread) ---
    void Script(std::vector<Plan> plans);
    std::u16string hostName = u"Studio-PC";
    bool failConstruct = false;
    bool refuseBrowse = false;
    bool holdDeregister = false;
    // Delivers one browse answer to the running browse (nothing without one).
    void Answer(std::vector<std::u16string> names);
    // Completes the held registrations now (status 0, their instance; a held
    // deregistration hands back a copy of its instance).
    void ReleaseHeld();
    // Waits until every queued callback has returned (not while paused).
    void Flush();
    // Holds every callback back until Resume, to deliver them late.
    void Pause();
    void Resume();

    // --- what the advertiser did ---
    std::vector<FakeInstanceData> Registered();  // every Register call's instance, in order
    int Deregistrations();
    int BrowsesStarted();
    int BrowsesCancelled();
    int LiveInstances();  // constructed or handed back and not yet freed

    // --- IDnsSd ---
    std::u16string DnsHostName() override { return hostName; }
    DnsSdInstance* ConstructInstance(const std::u16string& instanceName, const std::u16string& host, std::uint16_t port,
                                     const std::vector<DnsSdTxtEntry>& txt, std::uint32_t* error) override;
    void FreeInstance(DnsSdInstance* instance) override;
    std::u16string InstanceName(const DnsSdInstance* instance) override;
    std::uint32_t Register(DnsSdInstance* instance, CompletionCallback callback, void* context) override;
    std::uint32_t Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) override;
    std::uint32_t StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                              DnsSdBrowse** browse) override;
    std::uint32_t CancelBrowse(DnsSdBrowse* browse) override;

private:
    struct Held {
        CompletionCallback callback;
        void* context;
        DnsSdInstance* instance;
    };
    void Post(std::function<void()> f);
    void Run();
    DnsSdInstance* NewInstance(FakeInstanceData data);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false, stop_ = false, paused_ = false;
    std::deque<Plan> plans_;
    std::vector<FakeInstanceData> registered_;
    std::vector<Held> held_, heldDeregister_;
    std::set<FakeInstanceData*> live_;
    int deregistrations_ = 0, browsesStarted_ = 0, browsesCancelled_ = 0;
    BrowseCallback browseCallback_ = nullptr;
    void* browseContext_ = nullptr;
    std::thread thread_;
};

}  // namespace Veltrix::testing
