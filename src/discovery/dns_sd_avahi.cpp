// DNS-SD over the Avahi daemon (client library with a threaded poll).
//
// Registrations are kept here, one entry group each, so that a daemon restart
// (the client fails with "disconnected" and every group is gone) is survived:
// a new client connects when the daemon is back and every kept registration is
// added again. A lost system bus makes the client unavailable: retried every
// second. A browse is answered with the names currently known for the type on
// every change and once a second, as the system's browse keeps answering.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "discovery/advertise_names.h"
#include "discovery/dns_sd.h"
#include "support/log.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "mdns"};
constexpr const char* kAvahiType = "_veltrix._tcp";
constexpr int kMaxRenames = 20;

std::uint32_t Status(int avahiError) { return static_cast<std::uint32_t>(-avahiError); }

struct AvahiInstance {
    std::u16string fullName;  // label._veltrix._tcp.local
    std::string label;        // UTF-8, what the daemon publishes
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;
};

AvahiInstance* Cast(DnsSdInstance* p) { return reinterpret_cast<AvahiInstance*>(p); }
const AvahiInstance* Cast(const DnsSdInstance* p) { return reinterpret_cast<const AvahiInstance*>(p); }

// The label is everything before the last three labels (type, protocol, domain):
// dots inside our label are not escaped.
std::string LabelOf(const std::u16string& fullName) {
    const std::string s = Utf16ToUtf8(fullName);
    std::size_t pos = s.size();
    for (int i = 0; i < 3 && pos != std::string::npos && pos > 0; ++i) pos = s.rfind('.', pos - 1);
    return pos == std::string::npos ? s : s.substr(0, pos);
}

class AvahiDnsSd final : public IDnsSd {
public:
    AvahiDnsSd() = default;
    ~AvahiDnsSd() override;
    bool Open();

    std::u16string DnsHostName() override;
    DnsSdInstance* ConstructInstance(const std::u16string& instanceName, const std::u16string& hostName,
                                     std::uint16_t port, const std::vector<DnsSdTxtEntry>& txt,
                                     std::uint32_t* error) override;
    void FreeInstance(DnsSdInstance* instance) override;
    std::u16string InstanceName(const DnsSdInstance* instance) override;
    std::uint32_t Register(DnsSdInstance* instance, CompletionCallback callback, void* context) override;
    std::uint32_t Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) override;
    std::uint32_t StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                              DnsSdBrowse** browse) override;
    std::uint32_t CancelBrowse(DnsSdBrowse* browse) override;

private:
    struct Registration {
        AvahiDnsSd* owner;
        AvahiInstance desc;
        DnsSdInstance* original;  // the caller's instance (compared, never read)
        std::string label;        // the name the daemon has, maybe an alternative
        AvahiEntryGroup* group = nullptr;
        CompletionCallback callback = nullptr;  // set while the completion is owed
        void* context = nullptr;
    };
    struct Browse {
        AvahiDnsSd* owner;
        BrowseCallback callback;
        void* context;
        AvahiServiceBrowser* browser = nullptr;
        AvahiTimeout* tick = nullptr;
        std::map<std::string, int> names;  // full name -> interfaces/protocols seen on
    };

    // All below run on the poll thread or with the poll lock held.
    void Connect();
    int AddGroup(Registration& reg);  // 0 or the Avahi error
    void StartBrowser(Browse& b);
    void Answer(Browse& b);
    void Post(std::function<void()> f);
    void Complete(Registration& reg, std::uint32_t status, DnsSdInstance* instance);
    DnsSdInstance* Track(AvahiInstance* inst);
    static void OnClient(AvahiClient* c, AvahiClientState state, void* userdata);
    static void OnGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata);
    static void OnBrowser(AvahiServiceBrowser* b, AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent event,
                          const char* name, const char* type, const char* domain, AvahiLookupResultFlags flags,
                          void* userdata);
    static void OnRetry(AvahiTimeout* t, void* userdata);
    static void OnPosted(AvahiTimeout* t, void* userdata);
    static void OnTick(AvahiTimeout* t, void* userdata);

    AvahiThreadedPoll* poll_ = nullptr;
    const AvahiPoll* api_ = nullptr;
    AvahiClient* client_ = nullptr;
    bool reconnect_ = false;  // the failed client is freed and replaced out of its callback
    AvahiTimeout* retry_ = nullptr;
    AvahiTimeout* posted_ = nullptr;
    std::vector<std::function<void()>> queue_;
    bool busLostLogged_ = false;
    std::list<Registration> regs_;
    std::list<Browse> browses_;

    std::mutex instancesMutex_;  // instances are freed from the caller's thread
    std::set<AvahiInstance*> instances_;
};

AvahiDnsSd::~AvahiDnsSd() {
    if (poll_ == nullptr) return;
    avahi_threaded_poll_stop(poll_);
    // The poll thread is gone: run what it still owed, then cancel the rest.
    std::vector<std::function<void()>> owed;
    owed.swap(queue_);
    for (auto& f : owed) f();
    for (auto& reg : regs_) {
        if (reg.callback != nullptr) Complete(reg, kDnsSdCancelled, nullptr);
    }
    for (auto& b : browses_) b.callback(kDnsSdCancelled, b.context, {});
    if (client_ != nullptr) avahi_client_free(client_);  // withdraws every group
    avahi_threaded_poll_free(poll_);
    for (auto* inst : instances_) delete inst;
}

bool AvahiDnsSd::Open() {
    poll_ = avahi_threaded_poll_new();
    if (poll_ == nullptr) return false;
    api_ = avahi_threaded_poll_get(poll_);
    Connect();
    if (avahi_threaded_poll_start(poll_) < 0) return false;
    return true;
}

void AvahiDnsSd::Connect() {
    reconnect_ = false;
    if (client_ != nullptr) {
        avahi_client_free(client_);
        client_ = nullptr;
    }
    int error = 0;
    // NO_FAIL: without a daemon the client waits for one instead of failing.
    AvahiClient* c = avahi_client_new(api_, AVAHI_CLIENT_NO_FAIL, &OnClient, this, &error);
    if (c == nullptr) {
        if (!busLostLogged_) {
            Log(kLog, kLogError, "avahi: no client (%s) — retrying every second", avahi_strerror(error));
            busLostLogged_ = true;
        }
        struct timeval tv;
        avahi_elapse_time(&tv, 1000, 0);
        if (retry_ == nullptr) {
            retry_ = api_->timeout_new(api_, &tv, &OnRetry, this);
        } else {
            api_->timeout_update(retry_, &tv);
        }
        return;
    }
    busLostLogged_ = false;
    client_ = c;
}

void AvahiDnsSd::OnRetry(AvahiTimeout*, void* userdata) {
    auto* self = static_cast<AvahiDnsSd*>(userdata);
    self->api_->timeout_update(self->retry_, nullptr);
    self->Connect();
}

void AvahiDnsSd::OnClient(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* self = static_cast<AvahiDnsSd*>(userdata);
    if (self->client_ == nullptr) self->client_ = c;  // called from inside avahi_client_new
    if (c != self->client_) return;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        for (auto& reg : self->regs_) {
            if (reg.group == nullptr || avahi_entry_group_is_empty(reg.group)) {
                if (reg.callback == nullptr) Log(kLog, kLogInfo, "avahi: daemon running — publishing %{public}s again", reg.label.c_str());
                self->AddGroup(reg);
            }
        }
        for (auto& b : self->browses_) {
            if (b.browser == nullptr) self->StartBrowser(b);
        }
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: our records go and come back once running.
        for (auto& reg : self->regs_) {
            if (reg.group != nullptr) avahi_entry_group_reset(reg.group);
        }
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(c);
        Log(kLog, kLogInfo, "avahi: client failed (%s) — reconnecting", avahi_strerror(error));
        // Freeing the client frees its groups and browsers; forget them now.
        for (auto& reg : self->regs_) reg.group = nullptr;
        for (auto& b : self->browses_) {
            b.browser = nullptr;
            b.names.clear();
        }
        if (!self->reconnect_) {
            self->reconnect_ = true;
            struct timeval tv;
            avahi_elapse_time(&tv, 0, 0);
            if (self->retry_ == nullptr) {
                self->retry_ = self->api_->timeout_new(self->api_, &tv, &OnRetry, self);
            } else {
                self->api_->timeout_update(self->retry_, &tv);
            }
        }
        break;
    }
    case AVAHI_CLIENT_CONNECTING:
        break;
    }
}

int AvahiDnsSd::AddGroup(Registration& reg) {
    if (client_ == nullptr || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return AVAHI_ERR_NO_DAEMON;
    if (reg.group == nullptr) {
        reg.group = avahi_entry_group_new(client_, &OnGroup, &reg);
        if (reg.group == nullptr) {
            const int error = avahi_client_errno(client_);
            Log(kLog, kLogError, "avahi: entry group: %s", avahi_strerror(error));
            if (reg.callback != nullptr) Complete(reg, Status(error), nullptr);
            return error;
        }
    } else {
        avahi_entry_group_reset(reg.group);
    }
    AvahiStringList* txt = nullptr;
    for (auto it = reg.desc.txt.rbegin(); it != reg.desc.txt.rend(); ++it) {
        // Prepending in reverse keeps the record's order on the wire.
        txt = avahi_string_list_add_pair(txt, it->first.c_str(), it->second.c_str());
    }
    int rc = 0;
    for (int i = 0; i <= kMaxRenames; ++i) {
        // The daemon's own host name: it holds the address records the service points at.
        rc = avahi_entry_group_add_service_strlst(reg.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                  static_cast<AvahiPublishFlags>(0), reg.label.c_str(), kAvahiType,
                                                  nullptr, nullptr, reg.desc.port, txt);
        if (rc != AVAHI_ERR_COLLISION) break;
        char* alt = avahi_alternative_service_name(reg.label.c_str());
        Log(kLog, kLogInfo, "avahi: name %{public}s taken — trying %{public}s", reg.label.c_str(), alt);
        reg.label = alt;
        avahi_free(alt);
    }
    avahi_string_list_free(txt);
    if (rc == 0) rc = avahi_entry_group_commit(reg.group);
    if (rc < 0) {
        Log(kLog, kLogError, "avahi: publishing %{public}s: %s", reg.label.c_str(), avahi_strerror(rc));
        if (reg.callback != nullptr) Complete(reg, Status(rc), nullptr);
    }
    return rc < 0 ? rc : 0;
}

void AvahiDnsSd::OnGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto& reg = *static_cast<Registration*>(userdata);
    AvahiDnsSd* self = reg.owner;
    if (reg.group == nullptr) reg.group = g;  // called from inside avahi_entry_group_new
    if (g != reg.group) return;
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (reg.callback != nullptr) {
            DnsSdInstance* result = reg.original;
            if (reg.label != reg.desc.label) {
                // Registered under another name: hand back a record that carries it.
                auto* renamed = new AvahiInstance(reg.desc);
                renamed->label = reg.label;
                renamed->fullName = Utf8ToUtf16(reg.label) + u"." + kServiceType;
                result = self->Track(renamed);
            }
            self->Complete(reg, 0, result);
        }
        break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
        // Another host has the name: take the alternative, as a local clash does.
        char* alt = avahi_alternative_service_name(reg.label.c_str());
        Log(kLog, kLogInfo, "avahi: name %{public}s collides on the network — renaming to %{public}s",
            reg.label.c_str(), alt);
        reg.label = alt;
        avahi_free(alt);
        self->AddGroup(reg);
        break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE: {
        const int error = avahi_client_errno(avahi_entry_group_get_client(g));
        Log(kLog, kLogError, "avahi: group %{public}s failed: %s", reg.label.c_str(), avahi_strerror(error));
        if (reg.callback != nullptr) self->Complete(reg, Status(error), nullptr);
        break;
    }
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

void AvahiDnsSd::Complete(Registration& reg, std::uint32_t status, DnsSdInstance* instance) {
    CompletionCallback cb = reg.callback;
    void* ctx = reg.context;
    reg.callback = nullptr;
    reg.context = nullptr;
    cb(status, ctx, instance);
}

DnsSdInstance* AvahiDnsSd::Track(AvahiInstance* inst) {
    std::lock_guard<std::mutex> lock(instancesMutex_);
    instances_.insert(inst);
    return reinterpret_cast<DnsSdInstance*>(inst);
}

void AvahiDnsSd::Post(std::function<void()> f) {
    queue_.push_back(std::move(f));
    struct timeval tv;
    avahi_elapse_time(&tv, 0, 0);
    if (posted_ == nullptr) {
        posted_ = api_->timeout_new(api_, &tv, &OnPosted, this);
    } else {
        api_->timeout_update(posted_, &tv);
    }
}

void AvahiDnsSd::OnPosted(AvahiTimeout* t, void* userdata) {
    auto* self = static_cast<AvahiDnsSd*>(userdata);
    self->api_->timeout_update(t, nullptr);
    std::vector<std::function<void()>> run;
    run.swap(self->queue_);
    for (auto& f : run) f();
}

std::u16string AvahiDnsSd::DnsHostName() {
    avahi_threaded_poll_lock(poll_);
    std::u16string name;
    if (client_ != nullptr && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) {
        if (const char* h = avahi_client_get_host_name(client_)) name = Utf8ToUtf16(h);
    }
    avahi_threaded_poll_unlock(poll_);
    return name;
}

DnsSdInstance* AvahiDnsSd::ConstructInstance(const std::u16string& instanceName, const std::u16string&,
                                             std::uint16_t port, const std::vector<DnsSdTxtEntry>& txt,
                                             std::uint32_t* error) {
    auto* inst = new AvahiInstance();
    inst->fullName = instanceName;
    inst->label = LabelOf(instanceName);
    inst->port = port;
    for (const auto& e : txt) inst->txt.emplace_back(Utf16ToUtf8(e.key), Utf16ToUtf8(e.value));
    if (inst->label.empty() || !avahi_is_valid_service_name(inst->label.c_str())) {
        delete inst;
        *error = Status(AVAHI_ERR_INVALID_SERVICE_NAME);
        return nullptr;
    }
    return Track(inst);
}

void AvahiDnsSd::FreeInstance(DnsSdInstance* instance) {
    if (instance == nullptr) return;
    std::lock_guard<std::mutex> lock(instancesMutex_);
    if (instances_.erase(Cast(instance)) == 1) delete Cast(instance);
}

std::u16string AvahiDnsSd::InstanceName(const DnsSdInstance* instance) {
    return instance != nullptr ? Cast(instance)->fullName : std::u16string();
}

std::uint32_t AvahiDnsSd::Register(DnsSdInstance* instance, CompletionCallback callback, void* context) {
    const AvahiInstance desc = *Cast(instance);
    avahi_threaded_poll_lock(poll_);
    std::uint32_t rc = kDnsSdRequestPending;
    if (client_ == nullptr || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) {
        rc = Status(AVAHI_ERR_NO_DAEMON);
    } else {
        // Registering a name we already publish replaces that publication.
        for (auto it = regs_.begin(); it != regs_.end();) {
            if (EqualsIgnoreCase(it->desc.fullName, desc.fullName) ||
                EqualsIgnoreCase(Utf8ToUtf16(it->label) + u"." + kServiceType, desc.fullName)) {
                if (it->group != nullptr) avahi_entry_group_free(it->group);
                if (it->callback != nullptr) {
                    auto cb = it->callback;
                    auto ctx = it->context;
                    Post([cb, ctx] { cb(kDnsSdCancelled, ctx, nullptr); });
                }
                it = regs_.erase(it);
            } else {
                ++it;
            }
        }
        regs_.push_back(Registration{this, desc, instance, desc.label, nullptr, callback, context});
        Registration& reg = regs_.back();
        // A failure inside must not call back while the caller is still here.
        reg.callback = nullptr;
        const int error = AddGroup(reg);
        if (error != 0) {
            rc = Status(error);
            if (reg.group != nullptr) avahi_entry_group_free(reg.group);
            regs_.pop_back();
        } else {
            reg.callback = callback;
            reg.context = context;
        }
    }
    avahi_threaded_poll_unlock(poll_);
    return rc;
}

std::uint32_t AvahiDnsSd::Deregister(DnsSdInstance* instance, CompletionCallback callback, void* context) {
    const std::u16string name = InstanceName(instance);
    avahi_threaded_poll_lock(poll_);
    for (auto it = regs_.begin(); it != regs_.end();) {
        if (EqualsIgnoreCase(Utf8ToUtf16(it->label) + u"." + kServiceType, name) ||
            EqualsIgnoreCase(it->desc.fullName, name)) {
            if (it->group != nullptr) avahi_entry_group_free(it->group);
            if (it->callback != nullptr) {
                auto cb = it->callback;
                auto ctx = it->context;
                Post([cb, ctx] { cb(kDnsSdCancelled, ctx, nullptr); });
            }
            it = regs_.erase(it);
        } else {
            ++it;
        }
    }
    Post([callback, context, instance] { callback(0, context, instance); });
    avahi_threaded_poll_unlock(poll_);
    return kDnsSdRequestPending;
}

void AvahiDnsSd::StartBrowser(Browse& b) {
    if (client_ == nullptr || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;
    b.browser = avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kAvahiType, "local",
                                          static_cast<AvahiLookupFlags>(0), &OnBrowser, &b);
    if (b.browser == nullptr) {
        Log(kLog, kLogError, "avahi: browser: %s", avahi_strerror(avahi_client_errno(client_)));
    }
}

void AvahiDnsSd::Answer(Browse& b) {
    std::vector<std::u16string> names;
    names.reserve(b.names.size());
    for (const auto& [name, count] : b.names) names.push_back(Utf8ToUtf16(name));
    b.callback(0, b.context, names);
}

void AvahiDnsSd::OnBrowser(AvahiServiceBrowser* sb, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event,
                           const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
                           void* userdata) {
    auto& b = *static_cast<Browse*>(userdata);
    if (b.browser == nullptr) b.browser = sb;
    if (sb != b.browser) return;
    switch (event) {
    case AVAHI_BROWSER_NEW:
    case AVAHI_BROWSER_REMOVE: {
        const std::string full = std::string(name) + "." + type + "." + domain;
        if (event == AVAHI_BROWSER_NEW) {
            ++b.names[full];
        } else if (auto it = b.names.find(full); it != b.names.end() && --it->second <= 0) {
            b.names.erase(it);
        }
        b.owner->Answer(b);
        break;
    }
    case AVAHI_BROWSER_FAILURE:
        Log(kLog, kLogError, "avahi: browse failed: %s",
            avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(sb))));
        avahi_service_browser_free(sb);
        b.browser = nullptr;
        b.names.clear();
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
}

void AvahiDnsSd::OnTick(AvahiTimeout* t, void* userdata) {
    auto& b = *static_cast<Browse*>(userdata);
    AvahiDnsSd* self = b.owner;
    if (b.browser == nullptr) self->StartBrowser(b);  // after a browse failure
    self->Answer(b);
    struct timeval tv;
    avahi_elapse_time(&tv, 1000, 0);
    self->api_->timeout_update(t, &tv);
}

std::uint32_t AvahiDnsSd::StartBrowse(const std::u16string& serviceType, BrowseCallback callback, void* context,
                                      DnsSdBrowse** browse) {
    if (serviceType != kServiceType) return Status(AVAHI_ERR_INVALID_SERVICE_TYPE);
    avahi_threaded_poll_lock(poll_);
    browses_.push_back(Browse{this, callback, context, nullptr, nullptr, {}});
    Browse& b = browses_.back();
    StartBrowser(b);
    struct timeval tv;
    avahi_elapse_time(&tv, 1000, 0);
    b.tick = api_->timeout_new(api_, &tv, &OnTick, &b);
    *browse = reinterpret_cast<DnsSdBrowse*>(&b);
    avahi_threaded_poll_unlock(poll_);
    return kDnsSdRequestPending;
}

std::uint32_t AvahiDnsSd::CancelBrowse(DnsSdBrowse* browse) {
    std::uint32_t rc = Status(AVAHI_ERR_INVALID_OBJECT);
    avahi_threaded_poll_lock(poll_);
    for (auto it = browses_.begin(); it != browses_.end(); ++it) {
        if (reinterpret_cast<DnsSdBrowse*>(&*it) != browse) continue;
        if (it->browser != nullptr) avahi_service_browser_free(it->browser);
        if (it->tick != nullptr) api_->timeout_free(it->tick);
        auto cb = it->callback;
        auto ctx = it->context;
        browses_.erase(it);
        Post([cb, ctx] { cb(kDnsSdCancelled, ctx, {}); });
        rc = 0;
        break;
    }
    avahi_threaded_poll_unlock(poll_);
    return rc;
}

}  // namespace

std::shared_ptr<IDnsSd> CreateDnsSd() {
    auto dns = std::make_shared<AvahiDnsSd>();
    if (!dns->Open()) {
        Log(kLog, kLogError, "avahi: could not start the client's poll thread");
        return nullptr;
    }
    return dns;
}

}  // namespace Veltrix
