#include "ui/setup_model.h"

#include <cstdarg>
#include <cstdio>

#include "support/log.h"
#include "ui/terminal_pairing_view.h"

namespace Veltrix {

namespace {
const LogChannel kLog{kLogSubsystem, "setup_dialog"};
const std::string kDash = "—";

std::string Format(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

std::string Mbps(std::uint64_t bps) { return Format("%.1f Mbps", static_cast<double>(bps) / 1e6); }

// The IP row prefers a wired adapter, then Wi-Fi, then whatever comes first.
std::string PreferredAddress(const std::vector<AdapterAddress>& list) {
    for (const char* kind : {"Ethernet", "Wi-Fi"}) {
        for (const auto& a : list) {
            if (a.name.find(kind) != std::string::npos) return a.address;
        }
    }
    return list.empty() ? std::string("(no network)") : list.front().address;
}
}  // namespace

std::string PercentEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string PairingAddress(const InstallIdentity& identity) {
    return "veltrix://pair?v=3&id=" + PercentEncode(identity.id) + "&name=" + PercentEncode(identity.name);
}

std::uint16_t DefaultControlPort(HostKind kind) {
    switch (kind) {
        case HostKind::kPremiere: return 47100;
        case HostKind::kAfterEffects: return 47110;
        case HostKind::kMediaEncoder: return 47120;
        case HostKind::kOther: break;
    }
    return 47130;
}

std::string LastReasonText(int code) {
    static const char* const kTexts[] = {"—",   "Ramp up", "Bandwidth",   "Loss",       "Backlog",   "Size over budget",
                                         "CPU", "User ceiling", "Delay", "Probe start", "Probe fail"};
    if (code < 0 || code > 10) return kDash;
    return kTexts[code];
}

const std::vector<SetupModel::RowInfo>& SetupModel::Rows() {
    static const std::vector<RowInfo> rows = {
        {2101, "Status", "LIVE STREAM"},       {2102, "iPhone", nullptr},
        {2103, "Codec", nullptr},              {2104, "Bitrate", nullptr},
        {2105, "Resolution", nullptr},         {2106, "GOP", nullptr},
        {2107, "FEC parity", nullptr},         {2108, "Bitrate ceiling", "REQUESTED BY IPHONE"},
        {2109, "Max resolution", nullptr},     {2137, "Engine", "MANUAL STATE"},
        {2138, "Codec", nullptr},              {2139, "GOP", nullptr},
        {2110, "IP", "NETWORK"},               {2111, "Interfaces", nullptr},
        {2112, "Ports", nullptr},              {2113, "Controller", "ADAPTATION"},
        {2114, "Last reason", nullptr},        {2115, "Phase", nullptr},
        {2116, "Loss", nullptr},               {2117, "Backlog", nullptr},
        {2118, "OWD trend", nullptr},          {2119, "Rate mode", nullptr},
    };
    return rows;
}

SetupModel::SetupModel() : SetupModel(Sources{}) {}

SetupModel::SetupModel(Sources sources) : sources_(std::move(sources)) {
    if (!sources_.adapters) sources_.adapters = ListAdapters;
    if (!sources_.status) sources_.status = [] { return SetupStatusSnapshot{}; };
    if (sources_.controlPort == 0) sources_.controlPort = ConfiguredControlPort(DetectHost());
    for (const auto& row : Rows()) Set(row.id, kDash);
    Set(kSetupDeviceStatus, "Idle");
    Set(kSetupActiveEncoder, "Active encoder: —");
    Set(kSetupAdvanced, "▶  Advanced info");
}

const std::string& SetupModel::Text(int control) const {
    static const std::string kNone;
    const auto it = texts_.find(control);
    return it == texts_.end() ? kNone : it->second;
}

void SetupModel::RefreshIdentityAndNetwork() {
    identity_ = LoadOrCreateIdentity();
    const auto adapters = sources_.adapters();
    Set(kSetupRowIp, PreferredAddress(adapters));
    std::string interfaces;
    for (const auto& a : adapters) {
        if (!interfaces.empty()) interfaces += "   ";
        interfaces += a.name + ": " + a.address;
    }
    Set(kSetupRowInterfaces, interfaces.empty() ? std::string("(none)") : interfaces);
    SetPorts(sources_.controlPort);
    Set(kSetupNameEdit, identity_.name);
    Set(kSetupInstanceId, "Instance ID: " + identity_.id);
    discoverable_ = IsDiscoverable();
    hwHevc_ = AsyncHwEncodersEnabled();
    address_ = PairingAddress(identity_);
    qr_ = EncodeQrText(address_);
    if (qr_.size == 0) Log(kLog, kLogInfo, "QR: failed to encode payload (len=%zu)", address_.size());
}

void SetupModel::SetPorts(std::uint16_t controlPort) {
    // 0: any free port, not yet bound.
    Set(kSetupRowPorts, controlPort == 0 ? std::string("— control · 47101 video · 47102 audio")
                                         : Format("%u control · 47101 video · 47102 audio", unsigned(controlPort)));
}

void SetupModel::RefreshStatus() {
    const SetupStatusSnapshot s = sources_.status();
    // What the listener is bound to, whatever the configuration said.
    if (s.listeningPort != 0) SetPorts(s.listeningPort);
    const bool live = s.stats.valid != 0;
    const bool streaming = s.connected && s.active;
    const StreamStatistics& st = s.stats;

    if (streaming) {
        Set(kSetupDeviceStatus, live && st.bitrateBps != 0
                                    ? Format("Streaming · %.1f Mbps", static_cast<double>(st.bitrateBps) / 1e6)
                                    : std::string("Streaming"));
        Set(2101, "Streaming");
    } else if (s.active) {
        Set(kSetupDeviceStatus, "Ready · waiting for iPhone");
        Set(2101, "Idle · waiting for iPhone");
    } else {
        Set(kSetupDeviceStatus, "Transmit disabled");
        Set(2101, "Transmit disabled");
    }
    dotOn_ = streaming;
    Set(kSetupActiveEncoder, "Active encoder: " + (s.encoderDescription.empty() ? std::string("— (not configured)")
                                                                               : s.encoderDescription));
    Set(2102, s.connected && !s.peerAddress.empty() ? s.peerAddress : kDash);
    Set(2103, s.codec == 0 ? "HEVC (H.265)" : s.codec == 1 ? "H.264" : kDash);
    Set(2104, live && st.bitrateBps != 0 ? Mbps(st.bitrateBps) : kDash);

    const auto requestedSide = [&](const char* capFormat) {
        if (s.maxShortSide > 0) return Format(capFormat, int(s.maxShortSide));
        if (s.maxShortSide == 0 && s.hasSettings) return std::string("Auto (native)");
        return kDash;
    };
    Set(2105, live && st.shortSide > 0 ? Format("%up short · L%d", unsigned(st.shortSide), int(st.level))
                                       : requestedSide("%dp (short-side cap)"));
    const int gop = live ? st.gopLength : s.gopSize;
    const bool gopAuto = st.gopAuto != 0;
    if (gop == 1) Set(2106, gopAuto ? "All-Intra · Auto" : "All-Intra (every frame IDR)");
    else if (gop < 1) Set(2106, kDash);
    else Set(2106, Format(gopAuto ? "Short-GOP (%d) · Auto" : "Short-GOP (%d)", gop));
    Set(2107, live && st.fecParityTenths != 0 ? Format("%.1f %%", st.fecParityTenths / 10.0) : kDash);
    Set(2108, kDash);
    Set(2109, requestedSide("%dp (short side)"));

    static const char* const kControllers[] = {"Legacy (AIMD)", "Unified v1", "Unified v2 (experimental)"};
    Set(2113, (!live && st.controller == 0) || st.controller < 0 || st.controller > 2 ? kDash
                                                                                      : kControllers[st.controller]);
    Set(2114, live ? LastReasonText(st.lastReason) : kDash);
    const bool v2Live = st.controller == 2 && live;
    if (st.controller != 2) Set(2115, "n/a (v1)");
    else if (!live) Set(2115, kDash);
    else Set(2115, st.phase == 1 ? "Settling" : st.phase == 2 ? "Probing" : "Normal");
    Set(2116, v2Live ? Format("%.2f %%", st.lossPercent) : kDash);
    Set(2117, v2Live ? Format("%.0f %%", st.backlogFraction * 100.0) : kDash);
    Set(2118, v2Live ? Format("%s%d µs", st.owdTrendUs >= 0 ? "+" : "", int(st.owdTrendUs)) : kDash);
    switch (s.encoderMode) {
        case 0: Set(2119, "Adaptive (CBR, AIMD target)"); break;
        case 1: Set(2119, s.quality < 0 ? std::string("Quality") : Format("Quality %d %%", int(s.quality))); break;
        case 2: Set(2119, "VBR (peak-constrained)"); break;
        default: Set(2119, kDash); break;
    }
    if (s.encoderValid) {
        Set(2137, s.engineDescription.empty() ? kDash : s.engineDescription);
        Set(2138, s.isH264 ? "H.264" : "H.265 (HEVC)");
        Set(2139, s.gopClass == 0 ? "All-Intra" : s.gopClass == 3 ? "Long-GOP" : "Short-GOP");
    } else {
        Set(2137, kDash);
        Set(2138, kDash);
        Set(2139, kDash);
    }
}

bool SetupModel::RefreshTrustedPeers() {
    const auto peers = ListPeers();
    std::string signature;
    for (const auto& p : peers) signature += p.id + '\n';
    if (peersBuilt_ && signature == peerSignature_) return false;
    peersBuilt_ = true;
    peerSignature_ = std::move(signature);
    peers_.clear();
    for (const auto& p : peers) {
        if (peers_.size() == kSetupMaxPeerRows) break;
        SetupPeerRow row{p.id, p.name.empty() ? std::string("(unnamed iPhone)") : p.name, ""};
        if (p.firstPaired.size() >= 10) row.paired = "paired " + p.firstPaired.substr(0, 10);
        peers_.push_back(std::move(row));
    }
    return true;
}

bool SetupModel::Save(const std::string& name) {
    // The edit holds at most 255 characters; cut on a UTF-8 boundary.
    std::size_t end = 0, chars = 0;
    while (end < name.size() && chars < 255) {
        ++end;
        while (end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) ++end;
        ++chars;
    }
    const std::string taken = name.substr(0, end);
    if (taken.empty()) return false;
    const bool saved = SetInstallName(taken);
    if (saved) LogText(kLog, kLogInfo, "display name updated to " + taken);  // the log escapes it
    RefreshIdentityAndNetwork();
    return saved;
}

bool SetupModel::SetDiscoverable(bool on) {
    // Nothing written: the view goes on showing what the file holds.
    if (!Veltrix::SetDiscoverable(on)) {
        discoverable_ = IsDiscoverable();
        return false;
    }
    discoverable_ = on;
    Log(kLog, kLogInfo, "discoverable toggled -> %d", on ? 1 : 0);
    return true;
}

bool SetupModel::SetHwHevc(bool on) {
    if (!SetAsyncHwEncodersEnabled(on)) {
        hwHevc_ = AsyncHwEncodersEnabled();
        return false;
    }
    hwHevc_ = on;
    Log(kLog, kLogInfo, "enableAsyncHwEncoders toggled -> %d", on ? 1 : 0);
    return true;
}

void SetupModel::ToggleAdvanced() {
    advanced_ = !advanced_;
    Set(kSetupAdvanced, advanced_ ? "▼  Advanced info" : "▶  Advanced info");
}

bool SetupModel::Forget(const std::string& id) {
    if (id.empty() || !RemovePeer(id)) return false;
    LogText(kLog, kLogInfo, "unpaired peer " + id);
    RefreshTrustedPeers();
    return true;
}

}  // namespace Veltrix
