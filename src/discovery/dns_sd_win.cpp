// DNS-SD over the Windows DNS API (dnsapi: DnsService*).
//
// Each request carries a small heap record as its query context: the caller's
// callback and context (and, for a browse, the cancel handle the system fills).
// The system's callback frees it, so nothing here depends on this object still
// existing when the system calls back. Records handed over by the system are
// freed with DnsFree, instances with DnsServiceFreeInstance.
#include <windows.h>
#include <windns.h>

#include "discovery/dns_sd.h"

namespace Veltrix {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide strings");

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::u16string FromWide(const wchar_t* s) {
    return s != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}
PDNS_SERVICE_INSTANCE Native(DnsSdInstance* p) { return reinterpret_cast<PDNS_SERVICE_INSTANCE>(p); }

struct CompletionRequest {
    IDnsSd::CompletionCallback callback;
    void* context;
};

struct BrowseRequest {
    DNS_SERVICE_CANCEL cancel{};  // filled by DnsServiceBrowse, used by DnsServiceBrowseCancel
    IDnsSd::BrowseCallback callback;
    void* context;
    std::u16string query;  // must outlive the request
};

VOID WINAPI OnCompletion(DWORD status, PVOID queryContext, PDNS_SERVICE_INSTANCE instance) {
    auto* request = static_cast<CompletionRequest*>(queryContext);
    const auto callback = request->callback;
    void* context = request->context;
    delete request;
    callback(status, context, reinterpret_cast<DnsSdInstance*>(instance));
}

VOID WINAPI OnBrowse(DWORD status, PVOID queryContext, PDNS_RECORD records) {
    auto* request = static_cast<BrowseRequest*>(queryContext);
    std::vector<std::u16string> names;
    for (PDNS_RECORD r = records; r != nullptr; r = r->pNext) {
        if (r->wType == DNS_TYPE_PTR && r->Data.PTR.pNameHost != nullptr) names.push_back(FromWide(r->Data.PTR.pNameHost));
    }
    if (records != nullptr) DnsFree(records, DnsFreeRecordList);
    if (status == ERROR_CANCELLED) {
        const auto callback = request->callback;
        void* context = request->context;
        delete request;
        callback(kDnsSdCancelled, context, names);
        return;
    }
    request->callback(status, request->context, names);
}

class WinDnsSd final : public IDnsSd {
public:
    std::u16string DnsHostName() override {
        wchar_t buf[256];
        DWORD size = 256;
        if (!GetComputerNameExW(ComputerNameDnsHostname, buf, &size)) return {};
        return FromWide(buf);
    }

    DnsSdInstance* ConstructInstance(const std::u16string& instanceName, const std::u16string& hostName,
                                     std::uint16_t port, const std::vector<DnsSdTxtEntry>& txt,
                                     std::uint32_t* error) override {
        std::vector<PCWSTR> keys, values;
        for (const auto& e : txt) {
            keys.push_back(Wide(e.key));
            values.push_back(Wide(e.value));
        }
        PDNS_SERVICE_INSTANCE inst = DnsServiceConstructInstance(
            Wide(instanceName), Wide(hostName), nullptr, nullptr, port, 0, 0, static_cast<DWORD>(txt.size()),
            keys.empty() ? nullptr : keys.data(), values.empty() ? nullptr : values.data());
        if (inst == nullptr) *error = GetLastError();
        return reinterpret_cast<DnsSdInstance*>(inst);
    }

    void FreeInstance(DnsSdInstance* instance) override {
        if (instance != nullptr) DnsServiceFreeInstance(Native(instance));
    }

    std::u16string InstanceName(const DnsSdInstance* instance) override {
        if (instance == nullptr) return {};
        return FromWide(reinterpret_cast<const DNS_SERVICE_INSTANCE*>(instance)->pszInstanceName);
    }

    std::uint32_t Register(DnsSdInstance* instance, CompletionCallback callback, void* context) override {
        return Send(instance, callback, context, &DnsServiceRegister);
    }

    std::uint32_t Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) override {
        return Send(instance, callback, context, &DnsServiceDeRegister);
    }

    std::uint32_t StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                              DnsSdBrowse** browse) override {
        auto* request = new BrowseRequest();
        request->callback = callback;
        request->context = context;
        request->query = serviceType;
        DNS_SERVICE_BROWSE_REQUEST req{};
        req.Version = DNS_QUERY_REQUEST_VERSION1;
        req.InterfaceIndex = 0;
        req.QueryName = Wide(request->query);
        req.pBrowseCallback = &OnBrowse;
        req.pQueryContext = request;
        const DNS_STATUS rc = DnsServiceBrowse(&req, &request->cancel);
        if (rc != kDnsSdRequestPending) {
            delete request;
            return static_cast<std::uint32_t>(rc);
        }
        *browse = reinterpret_cast<DnsSdBrowse*>(request);
        return kDnsSdRequestPending;
    }

    std::uint32_t CancelBrowse(DnsSdBrowse* browse) override {
        // The request is freed by its cancelled callback, not here.
        return static_cast<std::uint32_t>(DnsServiceBrowseCancel(&reinterpret_cast<BrowseRequest*>(browse)->cancel));
    }

private:
    using SendFunction = DWORD(WINAPI*)(PDNS_SERVICE_REGISTER_REQUEST, PDNS_SERVICE_CANCEL);
    static std::uint32_t Send(DnsSdInstance* instance, CompletionCallback callback, void* context, SendFunction send) {
        auto* request = new CompletionRequest{callback, context};
        DNS_SERVICE_REGISTER_REQUEST req{};
        req.Version = DNS_QUERY_REQUEST_VERSION1;
        req.InterfaceIndex = 0;
        req.pServiceInstance = Native(instance);
        req.pRegisterCompletionCallback = &OnCompletion;
        req.pQueryContext = request;
        req.hCredentials = nullptr;
        req.unicastEnabled = FALSE;
        const DWORD rc = send(&req, nullptr);
        if (rc != kDnsSdRequestPending) delete request;  // no callback will come
        return rc;
    }
};

// Wine exports the DnsService* functions as stubs that abort the whole process
// when called: there the plug-in runs undiscovered rather than taking the host down.
bool DnsServiceCallsAbort() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

std::shared_ptr<IDnsSd> CreateDnsSd() {
    if (DnsServiceCallsAbort()) return nullptr;
    return std::make_shared<WinDnsSd>();
}

}  // namespace Veltrix
