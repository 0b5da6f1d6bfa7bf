#include "transmit/shared_transport.h"

#include <algorithm>
#include <cstdlib>

#include "support/log.h"
#include "support/paths.h"
#include "transmit/bridge_client.h"

namespace Veltrix {
namespace {

const LogChannel kLog{kLogSubsystem, "shared"};

constexpr std::uint8_t kOpCodec = 0x05;
constexpr std::uint8_t kOpMaxResolution = 0x07;
constexpr std::uint8_t kOpGopMode = 0x04;
constexpr std::uint8_t kOpEncoderMode = 0x08;
constexpr std::uint8_t kOpPlaybackState = 0x1A;

}  // namespace

std::uint8_t GopClassOf(int gopSize) {
    if (gopSize <= 1) return 0;
    if (gopSize <= 5) return 1;
    return 3;
}

SharedTransport& SharedTransport::Instance() {
    // Built on first use; torn down with the module (pacer first, then network).
    static SharedTransport instance;
    return instance;
}

SharedTransport::SharedTransport() : SharedTransport(Options{}) {}

SharedTransport::SharedTransport(Options options)
    : options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : Clock::Real()),
      network_(std::make_unique<NetworkTransport>(options_.network)),
      pacer_(std::make_unique<Pacer>(clock_)) {}

SharedTransport::~SharedTransport() {
    // Teardown order at unload: the pacer sends through the network.
    if (pacer_) pacer_->Stop();
    pacer_.reset();
    if (network_) network_->Stop();
    network_.reset();
}

void SharedTransport::EnsureStarted() {
    if (started_.load()) return;
    std::lock_guard<std::mutex> lock(startMutex_);
    if (started_.load()) return;

    const HostKind host = DetectHost();
    const std::uint16_t port = options_.controlPort ? *options_.controlPort : ConfiguredControlPort(host);
    Log(kLog, kLogInfo, "starting shared transport: host=%{public}s controlPort=%u", HostName(host), port);

    network_->onControlMessage = [this](std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) {
        OnControlMessage(opcode, payload, length);
    };
    network_->onClientReady = [this] { OnClientReady(); };
    network_->onUdpFailures = [this] { OnUdpFailures(); };
    network_->anyInstanceActive = [this] { return AnyInstanceActive(); };
    network_->StartListening(port);

    NetworkTransport* network = network_.get();
    const std::uint16_t videoPort = options_.videoPort;
    const std::uint16_t audioPort = options_.audioPort;
    pacer_->Start(
        [network, videoPort](const std::uint8_t* data, std::size_t size) {
            return network->SendDatagram(data, size, videoPort);
        },
        [network, audioPort](const std::uint8_t* data, std::size_t size) {
            return network->SendDatagram(data, size, audioPort);
        });
    started_.store(true);
}

void SharedTransport::Acquire(ITransmitClient* instance) {
    if (!instance) return;
    EnsureStarted();
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(instancesMutex_);
        instances_.push_back(instance);
        count = instances_.size();
    }
    Log(kLog, kLogInfo, "acquire: instance=%p count=%zu", static_cast<void*>(instance), count);
    if (network_->PeerKnown() && cHasSettings_.load()) ReplaySettings(instance);
}

void SharedTransport::ReplaySettings(ITransmitClient* instance) {
    Log(kLog, kLogInfo, "acquire: replaying cached client settings into new instance");
    const int codec = cCodec_.load();
    if (codec == 0 || codec == 1) {
        const std::uint8_t b = static_cast<std::uint8_t>(codec);
        instance->HandleControl(kOpCodec, &b, 1);
    }
    const int cap = cMaxShortSide_.load();
    if (cap > 0) {
        const int clamped = std::min(cap, 65535);
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(clamped & 0xFF),
                                   static_cast<std::uint8_t>((clamped >> 8) & 0xFF)};
        instance->HandleControl(kOpMaxResolution, b, 2);
    }
    const int gopMode = cGopMode_.load();
    if (gopMode >= 0 && gopMode <= 3) {
        const std::uint8_t b = static_cast<std::uint8_t>(gopMode);
        instance->HandleControl(kOpGopMode, &b, 1);
    }
    const int mode = cEncoderMode_.load();
    if (mode == 0 || mode == 1) {
        const int quality = std::clamp(cQuality_.load(), 0, 100);
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(mode), static_cast<std::uint8_t>(quality)};
        instance->HandleControl(kOpEncoderMode, b, 2);
    }
}

void SharedTransport::Release(ITransmitClient* instance) {
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(instancesMutex_);
        const auto it = std::find(instances_.begin(), instances_.end(), instance);
        if (it != instances_.end()) instances_.erase(it);
        count = instances_.size();
    }
    Log(kLog, kLogInfo, "release: instance=%p count=%zu", static_cast<void*>(instance), count);
}

void SharedTransport::SetClockRunning(bool running) {
    std::lock_guard<std::mutex> lock(playbackMutex_);
    runningClocks_ = std::max(0, runningClocks_ + (running ? 1 : -1));
    const bool state = runningClocks_ > 0;
    if (state == playbackState_) return;
    playbackState_ = state;
    const std::uint8_t b = state ? 1 : 0;
    network_->SendControl(kOpPlaybackState, &b, 1);
    Log(kLog, kLogInfo, "playback state -> %d (running clocks=%d)", state ? 1 : 0, runningClocks_);
}

bool SharedTransport::AnyInstanceActive() {
    std::lock_guard<std::mutex> lock(instancesMutex_);
    return std::any_of(instances_.begin(), instances_.end(), [](ITransmitClient* i) { return i->IsActive(); });
}

std::size_t SharedTransport::InstanceCount() {
    std::lock_guard<std::mutex> lock(instancesMutex_);
    return instances_.size();
}

void SharedTransport::SetCachedCodec(int codec) {
    cCodec_.store(codec);
    cHasSettings_.store(true);
}
void SharedTransport::SetCachedGopMode(int mode) {
    cGopMode_.store(mode);
    cHasSettings_.store(true);
}
void SharedTransport::SetCachedGopSize(int size) {
    cGopSize_.store(size);
    cHasSettings_.store(true);
}
void SharedTransport::SetCachedMaxShortSide(int cap) {
    cMaxShortSide_.store(cap);
    cHasSettings_.store(true);
}
void SharedTransport::SetCachedEncoderMode(int mode, int quality) {
    cEncoderMode_.store(mode);
    cQuality_.store(quality);
    cHasSettings_.store(true);
}

ClientSettingsCache SharedTransport::GetClientSettings() const {
    ClientSettingsCache c;
    c.quality = cQuality_.load();
    c.maxShortSide = cMaxShortSide_.load();
    c.codec = cCodec_.load();
    c.gopSize = cGopSize_.load();
    c.gopMode = cGopMode_.load();
    c.encoderMode = cEncoderMode_.load();
    c.hasSettings = cHasSettings_.load();
    return c;
}

void SharedTransport::SetEncoderStatus(const EncoderStatus& status) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_ = status;
    status_.valid = 1;
}

EncoderStatus SharedTransport::GetEncoderStatus() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

bool SharedTransport::SendControl(std::uint8_t opcode, const void* payload, std::size_t length) {
    return network_->SendControl(opcode, payload, length);
}

void SharedTransport::OnControlMessage(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) {
    if (opcode >= kFirstTransportOpcode && opcode <= kLastTransportOpcode) {
        if (options_.transportOpcode) {
            options_.transportOpcode(opcode);
        } else {
            HandleTransportOpcode(opcode);
        }
        return;
    }
    std::lock_guard<std::mutex> lock(instancesMutex_);
    for (ITransmitClient* instance : instances_) instance->HandleControl(opcode, payload, length);
}

void SharedTransport::OnClientReady() {
    {
        std::lock_guard<std::mutex> lock(instancesMutex_);
        for (ITransmitClient* instance : instances_) instance->OnNewClient();
    }
    int running = 0;
    {
        std::lock_guard<std::mutex> lock(playbackMutex_);
        running = runningClocks_;
    }
    const std::uint8_t b = running > 0 ? 1 : 0;
    network_->SendControl(kOpPlaybackState, &b, 1);
}

void SharedTransport::OnUdpFailures() {
    std::lock_guard<std::mutex> lock(instancesMutex_);
    for (ITransmitClient* instance : instances_) instance->ForceKeyFrameOnUdpFailures();
}

void SharedTransport::Shutdown() {
    // Under the start mutex so a start in progress is either finished and
    // stopped here, or has not begun.
    std::lock_guard<std::mutex> lock(startMutex_);
    if (!started_.exchange(false)) return;
    Log(kLog, kLogInfo, "SharedTransport::Shutdown — joining pacer + transport threads");
    pacer_->Stop();
    network_->Stop();
}

}  // namespace Veltrix
