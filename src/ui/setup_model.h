// Everything the setup window shows, computed from the install identity, the
// trusted phones, the network adapters and a status snapshot of the transport,
// so that the Win32 window and the terminal view show the same texts. Not
// thread-safe: one view's thread owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/install_identity.h"
#include "store/trusted_peers.h"
#include "ui/qr_code.h"

namespace Veltrix {

// Control ids of the setup window; the model's texts are keyed by them.
enum SetupControl : int {
    kSetupTitle = 2001,
    kSetupSubtitle = 2002,
    kSetupNameEdit = 2003,
    kSetupSave = 2004,
    kSetupDiscoverable = 2008,
    kSetupClose = 2012,
    kSetupHwHevc = 2016,
    kSetupAdvanced = 2018,
    kSetupRowStatus = 2101,  // 2101..2107 live stream rows
    kSetupRowBitrateCeiling = 2108,
    kSetupRowMaxResolution = 2109,
    kSetupRowIp = 2110,
    kSetupRowInterfaces = 2111,
    kSetupRowPorts = 2112,
    kSetupRowController = 2113,  // 2113..2119 adaptation rows
    kSetupRowRateMode = 2119,
    kSetupRowEngine = 2137,  // 2137..2139 manual state rows
    kSetupRowManualGop = 2139,
    kSetupStatusDot = 2200,
    kSetupDeviceStatus = 2201,
    kSetupActiveEncoder = 2202,
    kSetupInstanceId = 2204,
    kSetupQrImage = 2205,
    kSetupPeersPrevious = 2301,  // the trusted list's pager, when it has more than one page
    kSetupPeersNext = 2302,
    kSetupPeersPage = 2303,
    kSetupForgetFirst = 2500,  // + 10 x row
};

inline constexpr std::size_t kSetupMaxPeerRows = 30;

// One IPv4 address of an adapter that is up and not a loopback.
struct AdapterAddress {
    std::string name;     // friendly name, UTF-8 ("?" when the system gives none)
    std::string address;  // dotted quad
};

// The platform's adapter list (GetAdaptersAddresses / getifaddrs); empty on failure.
std::vector<AdapterAddress> ListAdapters();

// The receiver statistics record; `valid` stays 0 until something fills it.
struct StreamStatistics {
    std::uint8_t valid = 0;
    std::uint64_t bitrateBps = 0;
    std::uint32_t shortSide = 0;
    std::int32_t level = 0;
    std::int32_t gopLength = 0;
    std::uint8_t gopAuto = 0;
    std::uint32_t fecParityTenths = 0;  // tenths of a percent
    std::int32_t controller = 0;        // 0 legacy, 1 unified v1, 2 unified v2
    std::int32_t lastReason = 0;
    std::int32_t phase = 0;
    double lossPercent = 0;
    double backlogFraction = 0;
    std::int32_t owdTrendUs = 0;
};

// What the transport knows at one moment, taken through its own locks.
struct SetupStatusSnapshot {
    bool connected = false;  // a paired phone is connected
    bool active = false;     // any transmit instance is active
    std::string peerAddress;
    std::string encoderDescription;  // the process-wide one; empty when none
    StreamStatistics stats;
    // The phone's requested settings (-1 / 0: never asked).
    std::int32_t codec = -1;
    std::int32_t maxShortSide = 0;
    std::int32_t gopSize = 0;
    std::int32_t encoderMode = -1;
    std::int32_t quality = -1;
    bool hasSettings = false;
    // The port the control listener is bound to; 0 while it is not listening.
    std::uint16_t listeningPort = 0;
    // The encoder status.
    bool encoderValid = false;
    std::string engineDescription;
    bool isH264 = false;
    std::uint8_t gopClass = 0;
};

struct SetupPeerRow {
    std::string id;
    std::string name;    // "(unnamed iPhone)" when empty
    std::string paired;  // "paired YYYY-MM-DD", empty when unknown
};

// Bytes A-Z a-z 0-9 - . _ ~ kept, every other byte as %XX (upper-case hex).
std::string PercentEncode(std::string_view text);
// "veltrix://pair?v=3&id=" + PercentEncode(id) + "&name=" + PercentEncode(name).
std::string PairingAddress(const InstallIdentity& identity);
// The control port the transport listens on for a host kind (47100, 47110, 47120, 47130).
std::uint16_t DefaultControlPort(HostKind kind);
// Text of a last-reason code ("—" for unknown codes).
std::string LastReasonText(int code);

class SetupModel {
public:
    struct Sources {
        std::function<std::vector<AdapterAddress>()> adapters;  // default ListAdapters
        std::function<SetupStatusSnapshot()> status;            // default: nothing running
        std::uint16_t controlPort = 0;  // 0: ConfiguredControlPort(DetectHost()); a listening port wins
    };

    SetupModel();
    explicit SetupModel(Sources sources);

    // Identity, settings, adapters, ports and the QR code; at opening and after Save.
    void RefreshIdentityAndNetwork();
    // Every status row from a fresh snapshot.
    void RefreshStatus();
    // Rebuilds the peer rows when the ids or their order changed; true when it did.
    bool RefreshTrustedPeers();

    // Renames the install (at most 255 characters are taken); an empty text does nothing. True when saved.
    bool Save(const std::string& name);
    // Store a setting; false when nothing was written (the state then stays as stored).
    bool SetDiscoverable(bool on);
    bool SetHwHevc(bool on);
    void ToggleAdvanced();
    // Forgets the phone with this id, the one the user was asked about (rows
    // may have been rebuilt since); false when nothing was removed.
    bool Forget(const std::string& id);

    // The text of a control ("" when it has none); "—" for rows not yet refreshed.
    const std::string& Text(int control) const;
    const std::map<int, std::string>& Texts() const { return texts_; }
    bool DotOn() const { return dotOn_; }
    bool Discoverable() const { return discoverable_; }
    bool HwHevc() const { return hwHevc_; }
    bool Advanced() const { return advanced_; }
    const InstallIdentity& Identity() const { return identity_; }
    const std::string& Address() const { return address_; }
    const QrCode& Qr() const { return qr_; }
    const std::vector<SetupPeerRow>& Peers() const { return peers_; }

    // The row names in window order with their control ids.
    struct RowInfo {
        int id;
        const char* name;
        const char* section;  // the section header this row opens, or null
    };
    static const std::vector<RowInfo>& Rows();

private:
    void Set(int control, std::string text) { texts_[control] = std::move(text); }
    void SetPorts(std::uint16_t controlPort);

    Sources sources_;
    std::map<int, std::string> texts_;
    InstallIdentity identity_;
    std::string address_;
    QrCode qr_;
    bool dotOn_ = false;
    bool discoverable_ = true;
    bool hwHevc_ = false;
    bool advanced_ = false;
    std::vector<SetupPeerRow> peers_;
    std::string peerSignature_;
    bool peersBuilt_ = false;
};

}  // namespace Veltrix
