// Browsing and resolving through the Avahi daemon, on a simple poll in this thread.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <memory>

#include "vx-phone/phone_discovery.h"

namespace Veltrix::phone {

namespace {

struct Discovery {
    AvahiSimplePoll* poll = nullptr;
    AvahiClient* client = nullptr;
    std::string wanted;
    int resolving = 0;
    bool allForNow = false;
    std::vector<FoundService> found;
    std::string error;

    void MaybeDone() {
        if (!allForNow || resolving > 0) return;
        for (const auto& s : found) {
            if (ServiceMatches(s, wanted)) {
                avahi_simple_poll_quit(poll);
                return;
            }
        }
    }
};

void OnResolved(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char* name,
                const char*, const char*, const char* host, const AvahiAddress* address, uint16_t port,
                AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
    auto& d = *static_cast<Discovery*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        FoundService s;
        s.name = name;
        s.host = host != nullptr ? host : "";
        char buf[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(buf, sizeof buf, address);
        s.address = buf;
        s.port = port;
        for (AvahiStringList* t = txt; t != nullptr; t = avahi_string_list_get_next(t)) {
            char* key = nullptr;
            char* value = nullptr;
            if (avahi_string_list_get_pair(t, &key, &value, nullptr) == 0) {
                s.txt.emplace_back(key, value != nullptr ? value : "");
                avahi_free(key);
                avahi_free(value);
            }
        }
        // The resolver's list runs from the record's last string to its first.
        std::reverse(s.txt.begin(), s.txt.end());
        bool known = false;
        for (const auto& f : d.found) known = known || (f.name == s.name && f.address == s.address && f.port == s.port);
        if (!known) d.found.push_back(std::move(s));
    }
    avahi_service_resolver_free(r);
    --d.resolving;
    d.MaybeDone();
}

void OnBrowse(AvahiServiceBrowser*, AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent event,
              const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    auto& d = *static_cast<Discovery*>(userdata);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        // IPv4 only: the plug-in's control channel and media are IPv4.
        if (avahi_service_resolver_new(d.client, iface, proto, name, type, domain, AVAHI_PROTO_INET,
                                       static_cast<AvahiLookupFlags>(0), &OnResolved, &d) != nullptr) {
            ++d.resolving;
        }
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        d.allForNow = true;
        d.MaybeDone();
        break;
    case AVAHI_BROWSER_FAILURE:
        d.error = std::string("browse failed: ") + avahi_strerror(avahi_client_errno(d.client));
        avahi_simple_poll_quit(d.poll);
        break;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
}

void OnClient(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto& d = *static_cast<Discovery*>(userdata);
    if (state == AVAHI_CLIENT_FAILURE) {
        d.error = std::string("mDNS responder: ") + avahi_strerror(avahi_client_errno(c));
        avahi_simple_poll_quit(d.poll);
    }
}

void OnDeadline(AvahiTimeout*, void* userdata) { avahi_simple_poll_quit(static_cast<Discovery*>(userdata)->poll); }

}  // namespace

std::vector<FoundService> DiscoverServices(double seconds, const std::string& wanted, std::string* error) {
    Discovery d;
    d.wanted = wanted;
    d.poll = avahi_simple_poll_new();
    if (d.poll == nullptr) {
        *error = "avahi: no poll object";
        return {};
    }
    const AvahiPoll* api = avahi_simple_poll_get(d.poll);
    int rc = 0;
    d.client = avahi_client_new(api, static_cast<AvahiClientFlags>(0), &OnClient, &d, &rc);
    if (d.client == nullptr) {
        *error = std::string("mDNS responder: ") + avahi_strerror(rc);
        avahi_simple_poll_free(d.poll);
        return {};
    }
    AvahiServiceBrowser* browser = avahi_service_browser_new(d.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                             "_veltrix._tcp", nullptr, static_cast<AvahiLookupFlags>(0),
                                                             &OnBrowse, &d);
    if (browser == nullptr) {
        d.error = std::string("browse: ") + avahi_strerror(avahi_client_errno(d.client));
    } else {
        struct timeval tv;
        avahi_elapse_time(&tv, static_cast<unsigned>(seconds * 1000), 0);
        api->timeout_new(api, &tv, &OnDeadline, &d);
        avahi_simple_poll_loop(d.poll);
    }
    avahi_client_free(d.client);  // frees the browser, the resolvers and the timeout's peers
    avahi_simple_poll_free(d.poll);
    if (!d.error.empty() && d.found.empty()) *error = d.error;
    return d.found;
}

}  // namespace Veltrix::phone
