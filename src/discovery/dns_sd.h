// The DNS-SD seam: the few service-discovery calls the advertiser makes, shaped
// after the system's asynchronous register/deregister/browse API.
//
// Promises of every implementation:
// - Register, Deregister and StartBrowse either return kDnsSdRequestPending and
//   later call their callback exactly once per completion (a browse calls back
//   for every answer and last with kDnsSdCancelled), or return another status
//   and never call back.
// - Callbacks run on the implementation's own threads, never while the caller
//   is inside Register/Deregister/StartBrowse/CancelBrowse.
// - An instance handed to a completion callback (the one registered, possibly
//   under another name) is the caller's to FreeInstance.
// - Completions still outstanding when the implementation goes are delivered
//   all the same (by the system, or with kDnsSdCancelled and no instance), so
//   their contexts can be released.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Veltrix {

// A service instance record: full instance name, host, port, TXT.
struct DnsSdInstance;
// A running browse; released by the implementation after its cancelled callback.
struct DnsSdBrowse;

inline constexpr std::uint32_t kDnsSdSuccess = 0;
inline constexpr std::uint32_t kDnsSdRequestPending = 9506;  // DNS_REQUEST_PENDING
inline constexpr std::uint32_t kDnsSdCancelled = 1223;       // ERROR_CANCELLED
inline constexpr std::uint16_t kDnsTypePtr = 12;

struct DnsSdTxtEntry {
    std::u16string key;
    std::u16string value;
};

class IDnsSd {
public:
    // status, the caller's context, the instance the system registered (may be null).
    using CompletionCallback = void (*)(std::uint32_t status, void* context, DnsSdInstance* instance);
    // status, the caller's context, the names of the PTR records of one answer.
    using BrowseCallback = void (*)(std::uint32_t status, void* context, const std::vector<std::u16string>& ptrNames);

    virtual ~IDnsSd() = default;

    // The computer's DNS host name (without ".local"); empty when unknown.
    virtual std::u16string DnsHostName() = 0;

    // A new instance record; null with *error set on failure.
    virtual DnsSdInstance* ConstructInstance(const std::u16string& instanceName, const std::u16string& hostName,
                                             std::uint16_t port, const std::vector<DnsSdTxtEntry>& txt,
                                             std::uint32_t* error) = 0;
    virtual void FreeInstance(DnsSdInstance* instance) = 0;
    // The instance's full name ("label._veltrix._tcp.local"); empty for null.
    virtual std::u16string InstanceName(const DnsSdInstance* instance) = 0;

    // Publishes the instance (replacing a publication of the same name by us).
    virtual std::uint32_t Register(DnsSdInstance* instance, CompletionCallback callback, void* context) = 0;
    // Withdraws the publication of the instance's name.
    virtual std::uint32_t Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) = 0;

    // Browses for a service type ("_veltrix._tcp.local"); *browse receives the cancel handle.
    virtual std::uint32_t StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                                      DnsSdBrowse** browse) = 0;
    // Ends a browse; its callback then runs once more with kDnsSdCancelled.
    virtual std::uint32_t CancelBrowse(DnsSdBrowse* browse) = 0;
};

// The platform's DNS-SD service; null when this build or system has none.
std::shared_ptr<IDnsSd> CreateDnsSd();

}  // namespace Veltrix
