// Publishes the plug-in's control port as an mDNS service so the phone finds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Veltrix {

struct AdvertiseConfig {
    std::string id;         // install id, with the host suffix for hosts other than Premiere Pro
    std::string name;       // display name, UTF-8
    bool transmit = false;  // whether any transmit instance is active
};

class IServiceAdvertiser {
public:
    virtual ~IServiceAdvertiser() = default;
    // Publishes port with config (replacing a current publication); true when registered.
    virtual bool Start(std::uint16_t port, AdvertiseConfig config) = 0;
    // Re-publishes with a new TXT record; false when not registered.
    virtual bool UpdateTxt(AdvertiseConfig config) = 0;
    // Withdraws the publication and stops watching it.
    virtual void Stop() = 0;
    // True while registered.
    virtual bool IsAdvertising() const = 0;
};

// A DnsSdServiceAdvertiser over the platform's DNS-SD service; null when there is none.
std::unique_ptr<IServiceAdvertiser> CreateServiceAdvertiser();

}  // namespace Veltrix
