#include "transmit_fakes.h"

#include <cstring>

namespace Veltrix::testing {
namespace {

// The fake PPix suite: all nine slots, over the picture behind the handle.
TxSuiteError Dispose(TxPPixHandle p) {
    ++(*p)->disposed;
    return 0;
}
TxSuiteError GetPixels(TxPPixHandle p, int32_t access, char** out) {
    TxPPix* pic = *p;
    pic->lastAccess = access;
    // Only read access (0) is served, as the host's pictures are read only.
    *out = pic->pixels.empty() || access != kTxPPixAccessRead ? nullptr : reinterpret_cast<char*>(pic->pixels.data());
    return *out ? 0 : kTxSuiteErrorInvalidCall;
}
TxSuiteError GetBounds(TxPPixHandle p, TxRect* out) {
    *out = (*p)->bounds;
    return 0;
}
TxSuiteError GetRowBytes(TxPPixHandle p, int32_t* out) {
    *out = (*p)->rowBytes;
    return 0;
}
TxSuiteError GetAspect(TxPPixHandle, uint32_t* num, uint32_t* den) {
    *num = *den = 1;
    return 0;
}
TxSuiteError GetPixelFormat(TxPPixHandle p, TxPixelFormat* out) {
    *out = (*p)->format;
    return 0;
}
TxSuiteError NotServed() { return kTxSuiteErrorNotImplemented; }
const TxPPixSuite kPPix{Dispose,
                        GetPixels,
                        GetBounds,
                        GetRowBytes,
                        GetAspect,
                        GetPixelFormat,
                        [](TxPPixHandle, unsigned char*, size_t) { return NotServed(); },
                        [](size_t*) { return NotServed(); },
                        [](TxPPixHandle, int32_t*) { return NotServed(); }};

TxSuiteError NextAudio(int32_t playId, float**, float** buffers, unsigned int count) {
    FakeHost* h = FakeHost::current;
    for (uint32_t i = 0; i < count; ++i) buffers[0][i] = buffers[1][i] = 0.25f;
    h->lastPullSamples.store(count);
    h->lastPullPlayId.store(playId);
    h->pulls.fetch_add(1);
    return 0;
}
TxPlaymodAudioSuite MakeAudio() {
    TxPlaymodAudioSuite a{};  // a transmitter calls only GetNextAudioBuffer
    a.GetNextAudioBuffer = NextAudio;
    return a;
}
const TxPlaymodAudioSuite kAudio = MakeAudio();

TxSuiteError TicksPerSecond(TxTime* out) {
    *out = FakeHost::current->ticksPerSecond.load();
    return 0;
}
const TxTimeSuite kTime{TicksPerSecond, nullptr, nullptr};

TxSpError Acquire(const char* name, int32_t version, const void** out) {
    FakeHost* h = FakeHost::current;
    *out = nullptr;
    if (std::strcmp(name, kTxPPixSuiteName) == 0 && version == kTxPPixSuiteVersion) {
        *out = &kPPix;
    } else if (std::strcmp(name, kTxPlaymodAudioSuiteName) == 0 && version == kTxPlaymodAudioSuiteVersion) {
        *out = &kAudio;
    } else if (std::strcmp(name, kTxTimeSuiteName) == 0 && version == kTxTimeSuiteVersion &&
               !h->timeSuiteMissing.load()) {
        *out = &kTime;
    } else {
        return kTxSpErrorSuiteNotFound;
    }
    h->acquired.fetch_add(1);
    return 0;
}
TxSpError Release(const char*, int32_t) {
    FakeHost::current->released.fetch_add(1);
    return 0;
}
const TxBasicSuite kBasic{Acquire, Release, nullptr, nullptr, nullptr, nullptr, nullptr};

// Payload bytes after each outbound opcode; -1 short string (length byte first).
int PayloadSize(int op) {
    switch (op) {
        case 0x06: return 10;
        case 0x16: return 8;
        case 0x0F: case 0x1A: case 0x35: case 0x39: return 1;
        case 0x36: return 2;
        case 0x37: case 0x38: case 0x33: return -1;
        default: return 0;
    }
}

}  // namespace

FakeHost* FakeHost::current = nullptr;

FakeHost::FakeHost() { current = this; }
FakeHost::~FakeHost() { current = nullptr; }
const TxBasicSuite* FakeHost::Basic() const { return &kBasic; }

WirePhone::WirePhone(std::uint16_t port) : s_(ConnectLoopback(port)) {}
WirePhone::~WirePhone() { Close(s_); }

bool WirePhone::Send(const std::vector<std::uint8_t>& bytes) { return SendAll(s_, bytes.data(), bytes.size()); }

bool WirePhone::Pair(const std::function<std::string()>& waitCode) {
    // ClientHello: id, name and an empty token, each a short string.
    static const char kHello[] = "\x30\x07phone-1\x0bTest iPhone\x00";
    const std::vector<std::uint8_t> hello(kHello, kHello + sizeof kHello - 1);
    if (!Send(hello) || Next().opcode != 0x31) return false;
    const std::string code = waitCode();
    std::vector<std::uint8_t> c(1 + code.size(), 0x32);
    std::memcpy(c.data() + 1, code.data(), code.size());
    return Send(c) && Next().opcode == 0x33;
}

Frame WirePhone::Next(int ms) {
    for (;;) {
        std::uint8_t op = 0;
        const int r = RecvWithTimeout(s_, &op, 1, ms);
        if (r != 1) return Frame{r == -2 ? -2 : -1, {}};
        if (op == 0x09) continue;
        Frame f{op, {}};
        const int fixed = PayloadSize(op);
        std::size_t at = 0, n = 0;
        if (fixed < 0) {  // a short string: its length byte stays in the payload
            std::uint8_t len = 0;
            if (!RecvAll(s_, &len, 1)) return Frame{-1, {}};
            at = 1;
            n = len;
        } else {
            n = static_cast<std::size_t>(fixed);
        }
        f.payload.assign(at + n, 0);
        if (at == 1) f.payload[0] = static_cast<std::uint8_t>(n);
        if (n > 0 && !RecvAll(s_, f.payload.data() + at, n)) return Frame{-1, {}};
        return f;
    }
}

std::vector<Frame> WirePhone::Sync(int ms) {
    std::vector<Frame> before;
    if (!Send({0x02, 0, 0, 0, 0})) return before;
    for (;;) {
        Frame f = Next(ms);
        if (f.opcode < 0) {
            before.push_back(f);
            return before;
        }
        if (f.opcode == 0x0F && f.payload == std::vector<std::uint8_t>{0x02}) return before;
        before.push_back(std::move(f));
    }
}

TestEncoder::TestEncoder(std::shared_ptr<EncoderControl> control, std::unique_ptr<MockEncoder> inner)
    : control_(std::move(control)),
      inner_(inner ? std::move(inner) : std::make_unique<MockEncoder>()),
      failed_(control_->failConfigure.load()) {
    control_->created.fetch_add(1);
    inner_->SetFrameSizeCap(control_->frameSizeCap.load());
}

std::string TestEncoder::Description() const {
    std::lock_guard<std::mutex> l(control_->m);
    return control_->description;
}

void TestEncoder::SetOutputCallback(EncodedFrameCallback cb) {
    if (!cb) {
        inner_->SetOutputCallback(nullptr);
        return;
    }
    std::shared_ptr<EncoderControl> control = control_;
    inner_->SetOutputCallback([control, cb](const std::uint8_t* d, std::size_t n, bool key, std::uint64_t t) {
        if (!control->mute.load()) cb(d, n, key, t);
    });
}

std::unique_ptr<IHardwareEncoder> TestEncoder::Clone(const EncoderConfig& cfg) {
    std::unique_ptr<IHardwareEncoder> c = inner_->Clone(cfg);
    std::unique_ptr<MockEncoder> mock(static_cast<MockEncoder*>(c.release()));
    return std::make_unique<TestEncoder>(control_, std::move(mock));
}

std::optional<std::vector<std::uint8_t>> ReceiveDatagram(SocketHandle s, int ms) {
    std::vector<std::uint8_t> buf(2048);
    const int r = RecvWithTimeout(s, buf.data(), buf.size(), ms);
    if (r <= 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(r));
    return buf;
}

}  // namespace Veltrix::testing
