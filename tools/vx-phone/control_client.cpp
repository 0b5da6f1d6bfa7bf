#include "vx-phone/control_client.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/log.h"

namespace Veltrix::phone {
namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Fixed payload size of each plug-in message; -1 for a short string, -2 for the
// engine list (length byte + list), -3 for unknown.
int OutboundPayload(std::uint8_t op) {
    switch (op) {
        case kStreamInfo: return 10;
        case kHeartbeat: return 0;
        case kSettingAck: return 1;
        case kSourceChanged: return 8;
        case kPlaybackState: return 1;
        case kPairChallenge: return 0;
        case kPairAccepted: return -1;
        case kPairRejected: return 0;
        case kTransmitState: return 1;
        case kHostPlatform: return 2;
        case kEncoderInfo: return -1;
        case kEncoderEngineList: return -2;
        case kAudioState: return 1;
        default: return -3;
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    std::string s;
    while (in >> s) w.push_back(s);
    return w;
}

bool ParseUnsigned(const std::string& s, unsigned long max, unsigned long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-' || v > max) return false;
    *out = v;
    return true;
}

void Put16(std::vector<std::uint8_t>& v, unsigned long x) {
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>((x >> 8) & 0xFF));
}

void PutShort(std::vector<std::uint8_t>& v, const std::string& s) {
    const std::size_t n = std::min<std::size_t>(s.size(), 255);
    v.push_back(static_cast<std::uint8_t>(n));
    v.insert(v.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

std::optional<std::uint8_t> CodecValue(const std::string& s) {
    const std::string l = Lower(s);
    if (l == "h264" || l == "h.264" || l == "avc" || l == "1") return 1;
    if (l == "hevc" || l == "h265" || l == "h.265" || l == "0") return 0;
    return std::nullopt;
}

std::optional<std::uint8_t> GopValue(const std::string& s) {
    const std::string l = Lower(s);
    if (l == "all-intra" || l == "intra") return 0;
    if (l == "short") return 1;
    if (l == "auto") return 2;
    if (l == "long") return 3;
    unsigned long v = 0;
    if (ParseUnsigned(s, 255, &v)) return static_cast<std::uint8_t>(v);
    return std::nullopt;
}

std::optional<std::uint8_t> RateModeValue(const std::string& s) {
    const std::string l = Lower(s);
    if (l == "bitrate" || l == "cbr") return 0;
    if (l == "quality") return 1;
    if (l == "vbr") return 2;
    unsigned long v = 0;
    if (ParseUnsigned(s, 255, &v)) return static_cast<std::uint8_t>(v);
    return std::nullopt;
}

struct TransportName {
    const char* name;
    const char* alias;
    std::uint8_t opcode;
};
constexpr TransportName kTransport[] = {
    {"play-pause", "PlayPause", 0x20},      {"step-forward", "StepForward", 0x21},
    {"step-back", "StepBack", 0x22},        {"step-forward-5", "StepForwardFive", 0x23},
    {"step-back-5", "StepBackFive", 0x24},  {"goto-in", "GotoIn", 0x25},
    {"goto-out", "GotoOut", 0x26},          {"play-reverse", "PlayReverse", 0x27},
    {"stop", "Stop", 0x28},                 {"play-forward", "PlayForward", 0x29},
};

// Inbound opcodes with a fixed payload: name and size.
struct FixedName {
    const char* name;
    std::uint8_t opcode;
    int size;
};
constexpr FixedName kFixed[] = {
    {"RequestIDR", 0x01, 0},          {"SetBitrate", 0x02, 4},        {"ReceiverReport", 0x03, 24},
    {"SetGopMode", 0x04, 1},          {"SetCodec", 0x05, 1},          {"SetMaxResolution", 0x07, 2},
    {"SetEncoderMode", 0x08, 2},      {"SetAutoMode", 0x0A, 4},       {"SetHardFrameCap", 0x0B, 4},
    {"SetCongestionController", 0x0C, 1}, {"ReceiverReportV2", 0x0E, 32}, {"SetPlaybackPrefer", 0x10, 1},
    {"SetMode", 0x11, 1},             {"SetMaxLatency", 0x12, 2},     {"AppTelemetry", 0x14, 10},
    {"SetTransitionMode", 0x15, 1},   {"SetFullQualityWhenPaused", 0x19, 1},
};

}  // namespace

const char* OutboundName(std::uint8_t op) {
    switch (op) {
        case kStreamInfo: return "kStreamInfo";
        case kHeartbeat: return "kHeartbeat";
        case kSettingAck: return "kSettingAck";
        case kSourceChanged: return "kSourceChanged";
        case kPlaybackState: return "kPlaybackState";
        case kPairChallenge: return "kPairChallenge";
        case kPairAccepted: return "kPairAccepted";
        case kPairRejected: return "kPairRejected";
        case kTransmitState: return "kTransmitState";
        case kHostPlatform: return "kHostPlatform";
        case kEncoderInfo: return "kEncoderInfo";
        case kEncoderEngineList: return "kEncoderEngineList";
        case kAudioState: return "kAudioState";
        default: return nullptr;
    }
}

const char* InboundName(std::uint8_t op) {
    for (const auto& f : kFixed) {
        if (f.opcode == op) return f.name;
    }
    for (const auto& t : kTransport) {
        if (t.opcode == op) return t.alias;
    }
    switch (op) {
        case kSetEncoderEngine: return "SetEncoderEngine";
        case kAppSettingsSnapshot: return "AppSettingsSnapshot";
        case kClientHello: return "ClientHello";
        case kPairingCode: return "PairingCode";
        case kTestMarker: return "TestMarker";
        default: return nullptr;
    }
}

EventRead ReadControlEvent(const RecvFunction& recvAll, ControlEvent& out) {
    out = ControlEvent{};
    std::uint8_t op = 0;
    if (!recvAll(&op, 1)) return EventRead::kClosed;
    out.opcode = op;
    const int size = OutboundPayload(op);
    if (size == -3) return EventRead::kUnknownOpcode;
    if (size >= 0) {
        out.payload.resize(static_cast<std::size_t>(size));
        if (size > 0 && !recvAll(out.payload.data(), out.payload.size())) return EventRead::kTruncated;
    } else {
        std::uint8_t n = 0;
        if (!recvAll(&n, 1)) return EventRead::kTruncated;
        out.payload.resize(1u + n);
        out.payload[0] = n;
        if (n > 0 && !recvAll(out.payload.data() + 1, n)) return EventRead::kTruncated;
    }
    const std::uint8_t* p = out.payload.data();
    switch (op) {
        case kStreamInfo:
            out.width = Get16(p);
            out.height = Get16(p + 2);
            out.fps = Get16(p + 4);
            out.frameSizeCap = Get32(p + 6);
            break;
        case kSourceChanged: {
            out.width = Get16(p);
            out.height = Get16(p + 2);
            const std::uint32_t bits = Get32(p + 4);
            std::memcpy(&out.fpsExact, &bits, 4);
            out.fps = out.fpsExact > 0 && out.fpsExact < 1e6f ? static_cast<std::uint32_t>(out.fpsExact + 0.5f) : 0;
            break;
        }
        case kSettingAck:
        case kPlaybackState:
        case kTransmitState:
        case kAudioState:
            out.value = p[0];
            break;
        case kHostPlatform:
            out.value = p[0];
            out.value2 = p[1];
            break;
        case kEncoderInfo:
        case kPairAccepted:
            out.text.assign(reinterpret_cast<const char*>(p + 1), out.payload.size() - 1);
            break;
        case kEncoderEngineList: {
            // count, then id/label/detail short strings; the sender cuts at 255 bytes,
            // so the list may end inside an entry.
            const std::size_t end = out.payload.size();
            std::size_t at = 1;
            if (at >= end) break;
            const int count = p[at++];
            for (int i = 0; i < count; ++i) {
                EngineEntry e;
                std::string* fields[] = {&e.id, &e.label, &e.detail};
                bool whole = true;
                for (std::string* f : fields) {
                    if (at >= end) { whole = false; break; }
                    const std::size_t n = p[at++];
                    if (at + n > end) { whole = false; break; }
                    f->assign(reinterpret_cast<const char*>(p + at), n);
                    at += n;
                }
                if (!whole) {
                    out.listCut = true;
                    break;
                }
                out.engines.push_back(std::move(e));
            }
            break;
        }
        default:
            break;
    }
    return EventRead::kEvent;
}

std::string DescribeEvent(const ControlEvent& e) {
    char buf[256];
    const char* name = OutboundName(e.opcode);
    switch (e.opcode) {
        case kStreamInfo:
            std::snprintf(buf, sizeof buf, "stream %ux%u @ %u fps, frame cap %u B", e.width, e.height, e.fps,
                          e.frameSizeCap);
            return buf;
        case kSourceChanged:
            std::snprintf(buf, sizeof buf, "source changed to %ux%u @ %.3f fps", e.width, e.height,
                          static_cast<double>(e.fpsExact));
            return buf;
        case kSettingAck: {
            const char* n = InboundName(e.value);
            std::snprintf(buf, sizeof buf, "setting acknowledged: 0x%02x%s%s%s", e.value, n ? " (" : "", n ? n : "",
                          n ? ")" : "");
            return buf;
        }
        case kPlaybackState: return e.value ? "host playing" : "host not playing";
        case kTransmitState: return e.value ? "host transmitting" : "host not transmitting";
        case kAudioState: return e.value ? "audio on" : "audio off";
        case kHostPlatform:
            std::snprintf(buf, sizeof buf, "host platform %s (%s)",
                          e.value == 1 ? "Windows" : ("os " + std::to_string(e.value)).c_str(),
                          e.value2 == 2 ? "x86_64" : ("arch " + std::to_string(e.value2)).c_str());
            return buf;
        case kEncoderInfo: return "encoder: " + EscapeLogText(e.text);
        case kEncoderEngineList: {
            std::string s = "encoder engines:";
            for (const auto& en : e.engines) {
                s += " " + EscapeLogText(en.id) + " (" + EscapeLogText(en.label) + ")";
            }
            if (e.engines.empty()) s += " none";
            if (e.listCut) s += " [list cut short]";
            return s;
        }
        case kPairAccepted: return "pairing accepted";
        case kPairRejected: return "pairing rejected";
        case kPairChallenge: return "pairing code requested";
        case kHeartbeat: return "heartbeat";
        default:
            std::snprintf(buf, sizeof buf, "opcode 0x%02x%s%s", e.opcode, name ? " " : "", name ? name : "");
            return buf;
    }
}

std::optional<PhoneCommand> ParsePhoneCommand(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& msg) -> std::optional<PhoneCommand> {
        if (error) *error = msg;
        return std::nullopt;
    };
    const auto w = Words(text);
    if (w.empty()) return fail("empty command");
    const std::string cmd = Lower(w[0]);
    const std::size_t argc = w.size() - 1;
    PhoneCommand c;
    unsigned long v = 0;
    if (cmd == "idr" || cmd == "keyframe" || cmd == "requestidr") {
        c.opcode = kRequestIDR;
        return c;
    }
    if (cmd == "codec" || (cmd == "setcodec" && argc == 1)) {
        if (argc != 1) return fail("codec needs one argument: h264 or hevc");
        auto x = CodecValue(w[1]);
        if (!x) return fail("codec: '" + w[1] + "' is not h264 or hevc");
        c.opcode = kSetCodec;
        c.payload = {*x};
        return c;
    }
    if (cmd == "gop" || (cmd == "setgopmode" && argc == 1)) {
        if (argc != 1) return fail("gop needs one argument: all-intra, short, auto, long or 0..255");
        auto x = GopValue(w[1]);
        if (!x) return fail("gop: '" + w[1] + "' is not all-intra, short, auto, long or a number");
        c.opcode = kSetGopMode;
        c.payload = {*x};
        return c;
    }
    if (cmd == "maxres" || (cmd == "setmaxresolution" && argc == 1)) {
        if (argc != 1 || !ParseUnsigned(w[1], 65535, &v)) return fail("maxres needs a short side 0..65535 (0 = auto)");
        c.opcode = kSetMaxResolution;
        Put16(c.payload, v);
        return c;
    }
    if (cmd == "mode" || (cmd == "setencodermode" && (argc == 1 || argc == 2))) {
        if (argc < 1 || argc > 2) return fail("mode needs bitrate, quality or vbr, then an optional quality 0..255");
        auto m = RateModeValue(w[1]);
        if (!m) return fail("mode: '" + w[1] + "' is not bitrate, quality or vbr");
        unsigned long q = 70;
        if (argc == 2 && !ParseUnsigned(w[2], 255, &q)) return fail("mode: quality '" + w[2] + "' is not 0..255");
        c.opcode = kSetEncoderMode;
        c.payload = {*m, static_cast<std::uint8_t>(q)};
        return c;
    }
    if (cmd == "engine" || cmd == "setencoderengine") {
        if (argc > 1) return fail("engine takes one id (none for the empty id)");
        c.opcode = kSetEncoderEngine;
        PutShort(c.payload, argc == 1 ? w[1] : std::string());
        return c;
    }
    if (cmd == "snapshot" || cmd == "appsettingssnapshot") {
        if (argc < 4 || argc > 5) return fail("snapshot needs RES CODEC GOP RC [ENGINE]");
        if (!ParseUnsigned(w[1], 65535, &v)) return fail("snapshot: resolution '" + w[1] + "' is not 0..65535");
        auto codec = CodecValue(w[2]);
        auto gop = GopValue(w[3]);
        auto rc = RateModeValue(w[4]);
        if (!codec || !gop || !rc) return fail("snapshot: codec, gop or rate mode not understood");
        c.opcode = kAppSettingsSnapshot;
        Put16(c.payload, v);
        c.payload.push_back(*codec);
        c.payload.push_back(*gop);
        c.payload.push_back(*rc);
        PutShort(c.payload, argc == 5 ? w[5] : std::string());
        return c;
    }
    if (cmd == "marker" || cmd == "testmarker") {
        const auto at = text.find_first_not_of(" \t", text.find_first_of(" \t", text.find_first_not_of(" \t")));
        c.opcode = kTestMarker;
        PutShort(c.payload, at == std::string::npos ? std::string() : text.substr(at));
        return c;
    }
    if (cmd == "raw") {
        if (argc < 1) return fail("raw needs an opcode and optional payload bytes in hex");
        for (std::size_t i = 1; i < w.size(); ++i) {
            std::string s = w[i];
            if (i > 1 && s.rfind("0x", 0) != 0) s = "0x" + s;
            if (!ParseUnsigned(s, 255, &v)) return fail("raw: '" + w[i] + "' is not a byte");
            if (i == 1) c.opcode = static_cast<std::uint8_t>(v);
            else c.payload.push_back(static_cast<std::uint8_t>(v));
        }
        return c;
    }
    for (const auto& t : kTransport) {
        if (cmd == t.name || cmd == Lower(t.alias)) {
            if (argc != 0) return fail(std::string(t.name) + " takes no arguments");
            c.opcode = t.opcode;
            return c;
        }
    }
    if (cmd == "j") return ParsePhoneCommand("play-reverse", error);
    if (cmd == "k") return ParsePhoneCommand("stop", error);
    if (cmd == "l") return ParsePhoneCommand("play-forward", error);
    // The table's names with their payload given byte by byte (zeros when left out).
    for (const auto& f : kFixed) {
        if (cmd == Lower(f.name)) {
            if (argc > static_cast<std::size_t>(f.size)) {
                return fail(std::string(f.name) + " takes at most " + std::to_string(f.size) + " payload bytes");
            }
            c.opcode = f.opcode;
            c.payload.assign(static_cast<std::size_t>(f.size), 0);
            for (std::size_t i = 0; i < argc; ++i) {
                if (!ParseUnsigned(w[i + 1], 255, &v)) return fail(std::string(f.name) + ": '" + w[i + 1] + "' is not a byte");
                c.payload[i] = static_cast<std::uint8_t>(v);
            }
            return c;
        }
    }
    return fail("unknown command '" + w[0] + "' (see --help)");
}

std::string PhoneCommandHelp() {
    return
        "  idr                          request a key frame (RequestIDR)\n"
        "  codec h264|hevc              SetCodec\n"
        "  gop all-intra|short|auto|long|N   SetGopMode\n"
        "  maxres N                     SetMaxResolution, short side in pixels (0 = auto)\n"
        "  mode bitrate|quality|vbr [Q] SetEncoderMode, quality 0..100 (default 70)\n"
        "  engine [ID]                  SetEncoderEngine (no id: the empty id)\n"
        "  snapshot RES CODEC GOP RC [ENGINE]  AppSettingsSnapshot\n"
        "  play-pause, step-forward, step-back, step-forward-5, step-back-5,\n"
        "  goto-in, goto-out, play-reverse (j), stop (k), play-forward (l)\n"
        "  marker TEXT                  TestMarker (\"SELFTEST id\" runs a self-test)\n"
        "  SetBitrate, ReceiverReport, ... B1 B2 ...  any table name, payload bytes (zeros if left out)\n"
        "  raw OP [HEX ...]             any opcode and bytes, unchecked\n";
}

std::vector<std::uint8_t> BuildClientHello(const std::string& id, const std::string& name, const std::string& token) {
    std::vector<std::uint8_t> b{kClientHello};
    const std::pair<const std::string*, std::size_t> fields[] = {{&id, 64}, {&name, 128}, {&token, 128}};
    for (const auto& [f, limit] : fields) {
        const std::size_t n = std::min(f->size(), limit);
        b.push_back(static_cast<std::uint8_t>(n));
        b.insert(b.end(), f->begin(), f->begin() + static_cast<std::ptrdiff_t>(n));
    }
    return b;
}

const char* PairOutcomeName(PairResult::Outcome o) {
    switch (o) {
        case PairResult::kAccepted: return "accepted";
        case PairResult::kRejected: return "rejected";
        case PairResult::kNoCode: return "no code";
        case PairResult::kClosed: return "connection closed";
        case PairResult::kProtocolError: return "protocol error";
        case PairResult::kTimedOut: return "timed out";
        default: return "stopped";
    }
}

bool IsSixDigitCode(const std::string& code) {
    if (code.size() != 6) return false;
    for (char c : code) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

ControlClient::ControlClient(SocketHandle socket) : socket_(socket) {}

ControlClient::~ControlClient() { Stop(); }

bool ControlClient::RecvTimed(void* buffer, std::size_t n, int timeoutMs, const std::atomic<bool>& stop,
                              bool* timedOut) {
    *timedOut = false;
    constexpr int kSlice = 100;
    for (int waited = 0;; waited += kSlice) {
        if (stop.load()) return false;
        if (WaitReadable(socket_, kSlice)) break;
        if (waited >= timeoutMs) {
            *timedOut = true;
            return false;
        }
    }
    return RecvAll(socket_, buffer, n);
}

PairResult ControlClient::Pair(const std::string& id, const std::string& name, const std::string& token,
                               const std::function<std::optional<std::string>()>& codeFor, int timeoutMs,
                               const std::atomic<bool>& stop) {
    PairResult r;
    const auto hello = BuildClientHello(id, name, token);
    if (!SendAll(socket_, hello.data(), hello.size())) {
        r.outcome = PairResult::kClosed;
        r.detail = "could not send ClientHello";
        return r;
    }
    bool codeSent = false;
    for (;;) {
        std::uint8_t op = 0;
        bool timedOut = false;
        if (!RecvTimed(&op, 1, timeoutMs, stop, &timedOut)) {
            r.outcome = timedOut ? PairResult::kTimedOut : stop.load() ? PairResult::kStopped : PairResult::kClosed;
            r.detail = timedOut ? "no answer from the plug-in"
                       : codeSent ? "the plug-in closed the connection after the code"
                                  : "the plug-in closed the connection";
            return r;
        }
        if (op == kHeartbeat) continue;
        if (op == kPairAccepted) {
            std::uint8_t n = 0;
            std::string t;
            if (!RecvAll(socket_, &n, 1) || (t.resize(n), n > 0 && !RecvAll(socket_, t.data(), n))) {
                r.outcome = PairResult::kClosed;
                r.detail = "connection closed inside kPairAccepted";
                return r;
            }
            if (t.empty()) {
                // The plug-in drops the connection after an empty token.
                r.outcome = PairResult::kProtocolError;
                r.detail = "the plug-in accepted with an empty token";
                return r;
            }
            r.outcome = PairResult::kAccepted;
            r.token = t;
            return r;
        }
        if (op == kPairRejected) {
            r.outcome = PairResult::kRejected;
            r.detail = codeSent ? "wrong code" : "rejected";
            return r;
        }
        if (op == kPairChallenge && !codeSent) {
            r.challenged = true;
            auto code = codeFor ? codeFor() : std::nullopt;
            if (!code || !IsSixDigitCode(*code)) {
                r.outcome = PairResult::kNoCode;
                r.detail = code ? "'" + EscapeLogText(*code) + "' is not six digits" : "no pairing code given";
                return r;
            }
            std::vector<std::uint8_t> b{kPairingCode};
            b.insert(b.end(), code->begin(), code->end());
            if (!SendAll(socket_, b.data(), b.size())) {
                r.outcome = PairResult::kClosed;
                r.detail = "could not send the code";
                return r;
            }
            codeSent = true;
            continue;
        }
        char buf[96];
        std::snprintf(buf, sizeof buf, "unexpected opcode 0x%02x during pairing", op);
        r.outcome = PairResult::kProtocolError;
        r.detail = buf;
        return r;
    }
}

void ControlClient::Start(std::function<void(const ControlEvent&)> onEvent,
                          std::function<void(const std::string&)> onEnd) {
    if (reader_.joinable()) return;
    reader_ = std::thread([this, onEvent = std::move(onEvent), onEnd = std::move(onEnd)] {
        const SocketHandle s = socket_;
        const RecvFunction recv = [s](void* b, std::size_t n) { return RecvAll(s, b, n); };
        ControlEvent e;
        std::string reason;
        for (;;) {
            const EventRead r = ReadControlEvent(recv, e);
            if (r == EventRead::kEvent) {
                if (onEvent) onEvent(e);
                continue;
            }
            char buf[96];
            if (r == EventRead::kUnknownOpcode) {
                std::snprintf(buf, sizeof buf, "unknown opcode 0x%02x from the plug-in", e.opcode);
                reason = buf;
            } else if (r == EventRead::kTruncated) {
                std::snprintf(buf, sizeof buf, "connection ended inside a 0x%02x message", e.opcode);
                reason = buf;
            } else {
                reason = stopping_.load() ? "closed by us" : "closed by the plug-in";
            }
            break;
        }
        if (onEnd) onEnd(reason);
    });
}

bool ControlClient::Send(std::uint8_t opcode, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + 1);
    frame.push_back(opcode);
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::lock_guard<std::mutex> lock(sendMutex_);
    return SendAll(socket_, frame.data(), frame.size());
}

void ControlClient::Stop() {
    stopping_.store(true);
    if (socket_ == kInvalid) return;
    ShutdownBoth(socket_);
    if (reader_.joinable()) reader_.join();
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        Close(socket_);
        socket_ = kInvalid;
    }
}

}  // namespace Veltrix::phone
