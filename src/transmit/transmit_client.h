// What the process-wide shared transport needs of each registered transmit
// instance. TransmitInstance implements it; tests register light fakes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Veltrix {

class ITransmitClient {
public:
    virtual ~ITransmitClient() = default;
    // One phone command (payload as the reader read it). Called on the control
    // reader thread with the instance list locked, or on the registering thread
    // for the settings replay; must not Acquire or Release.
    virtual void HandleControl(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) = 0;
    // A phone has just paired: re-announce the stream and replay the picture.
    virtual void OnNewClient() = 0;
    // The fifth UDP send failure in a row.
    virtual void ForceKeyFrameOnUdpFailures() = 0;
    // Start ran and no Stop followed.
    virtual bool IsActive() const = 0;
};

}  // namespace Veltrix
