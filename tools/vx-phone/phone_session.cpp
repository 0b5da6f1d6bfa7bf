#include "vx-phone/phone_session.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <random>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>

#include "support/log.h"
#include "support/paths.h"
#include "support/process_usage.h"
#include "support/threads.h"
#include "transport/packetizer.h"
#include "vx-phone/phone_net.h"
#include "vx-phone/phone_window.h"

namespace Veltrix::phone {
namespace {

constexpr int kPollMs = 20;
constexpr auto kIdrSpacing = std::chrono::seconds(1);
// Latencies beyond this mean the two clocks are not the same machine's.
constexpr std::int64_t kPlausibleUs = 60'000'000;

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Fixed(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string LatencyJson(const LatencySummary& l) {
    return "{\"count\":" + std::to_string(l.count) + ",\"mean_ms\":" + Fixed(l.meanMs, 3) + ",\"p50_ms\":" +
           Fixed(l.p50Ms, 3) + ",\"p95_ms\":" + Fixed(l.p95Ms, 3) + ",\"p99_ms\":" + Fixed(l.p99Ms, 3) +
           ",\"min_ms\":" + Fixed(l.minMs, 3) +
           ",\"max_ms\":" + Fixed(l.maxMs, 3) + "}";
}

// A fixed seed gives each stream its own repeatable sequence; none, a fresh one.
std::uint64_t LossSeed(std::uint64_t seed, std::uint64_t stream) {
    if (seed == 0) return std::random_device{}() * 0x9E3779B97F4A7C15ull + stream;
    return seed * 0x9E3779B97F4A7C15ull + stream;
}

std::string SyncText(const SyncSummary& s) {
    return std::to_string(s.flashes) + " flashes, " + std::to_string(s.clicks) + " clicks, " + std::to_string(s.pairs) +
           " paired; skew (video - audio) p50 " + Fixed(s.p50Ms, 1) + " ms, spread (p5..p95) " + Fixed(s.spreadMs, 1) +
           " ms, min " + Fixed(s.minMs, 1) + ", max " + Fixed(s.maxMs, 1);
}

std::string LatencyText(const LatencySummary& l) {
    if (l.count == 0) return "no samples";
    return "mean " + Fixed(l.meanMs, 2) + " ms, p50 " + Fixed(l.p50Ms, 2) + ", p95 " + Fixed(l.p95Ms, 2) + ", p99 " +
           Fixed(l.p99Ms, 2) + ", min " +
           Fixed(l.minMs, 2) + ", max " + Fixed(l.maxMs, 2) + " (" + std::to_string(l.count) + " samples)";
}

ReassemblerCounters Since(ReassemblerCounters c, const ReassemblerCounters& base) {
    for (auto [field, old] : {std::pair{&c.datagrams, base.datagrams}, {&c.invalid, base.invalid},
                              {&c.duplicates, base.duplicates}, {&c.late, base.late},
                              {&c.framesComplete, base.framesComplete}, {&c.framesRepaired, base.framesRepaired},
                              {&c.framesLost, base.framesLost}, {&c.framesUnprotected, base.framesUnprotected},
                              {&c.fragmentsRepaired, base.fragmentsRepaired},
                              {&c.repairFailures, base.repairFailures}, {&c.resets, base.resets},
                              {&c.bytes, base.bytes}, {&c.sequenceSpan, base.sequenceSpan},
                              {&c.sequenceReceived, base.sequenceReceived}})
        *field -= std::min(*field, old);
    return c;
}

double DeliveredShare(const ReassemblerCounters& c) {
    const double all = static_cast<double>(c.framesComplete + c.framesLost);
    return all > 0 ? static_cast<double>(c.framesComplete) / all : 0;
}

double LossPercent(const ReassemblerCounters& c) {
    if (c.sequenceSpan == 0 || c.sequenceReceived >= c.sequenceSpan) return 0;
    return 100.0 * static_cast<double>(c.sequenceSpan - c.sequenceReceived) / static_cast<double>(c.sequenceSpan);
}

// The --show overlay: rate, loss, repairs, push->decoded latency.
std::vector<std::string> OverlayLines(const SessionSnapshot& s, const PhoneStats::Window& w) {
    return {Fixed(w.fps, 1) + " FPS  " + Fixed(w.mbps, 2) + " MBIT/S",
            "LOSS " + Fixed(LossPercent(s.video), 2) + "%  REPAIRED " + std::to_string(s.video.framesRepaired) +
                "  LOST " + std::to_string(s.video.framesLost),
            "PUSH->DECODED " + (s.stampLatency.count ? Fixed(s.stampLatency.p50Ms, 1) + " MS" : std::string("-")),
            "unprotected frames: " + std::to_string(s.video.framesUnprotected)};
}

}  // namespace

PhoneSession::PhoneSession(PhoneOptions options, Io io)
    : o_(std::move(options)),
      io_(io),
      clock_(io.clock ? *io.clock : Clock::Real()),
      start_(clock_.Now()),
      stats_(start_) {}

PhoneSession::~PhoneSession() { Stop(); }

double PhoneSession::Elapsed() const { return std::chrono::duration<double>(clock_.Now() - start_).count(); }

void PhoneSession::Print(const std::string& line) {
    if (!io_.out) return;
    std::lock_guard<std::mutex> lock(outMutex_);
    *io_.out << line << "\n";
    io_.out->flush();
}

bool PhoneSession::Start(const std::atomic<bool>& stop, std::string* error, int* exitCode) {
    auto fail = [&](const std::string& msg, int code) {
        if (error) *error = msg;
        if (exitCode) *exitCode = code;
        Stop();
        return false;
    };
    NetInit();
    // The media ports first, so nothing sent right after pairing is missed.
    const std::string bind = !o_.bind.empty() ? o_.bind : IsLoopbackHost(o_.host) ? "127.0.0.1" : "0.0.0.0";
    std::string why;
    videoSocket_ = BindUdp(bind, o_.videoPort, &why);
    if (videoSocket_ == kInvalid) return fail("video: " + why, 1);
    audioSocket_ = BindUdp(bind, o_.audioPort, &why);
    if (audioSocket_ == kInvalid) return fail("audio: " + why, 1);
    boundVideo_ = LocalPort(videoSocket_);
    boundAudio_ = LocalPort(audioSocket_);

    TokenStore store(o_.tokenFile.empty() ? TokenStore::DefaultPath() : std::filesystem::path(o_.tokenFile));
    if (!store.Load(&why)) return fail(why, 1);
    const std::string id = !o_.id.empty() ? o_.id : store.PhoneId();
    const std::string name = !o_.name.empty() ? o_.name : "vx-phone on " + ComputerName();
    const std::string hostKey = o_.host + ":" + std::to_string(o_.port);
    const std::string presented = o_.forgetToken ? std::string() : store.TokenFor(hostKey, id);

    const SocketHandle s = ConnectTcp(o_.host, o_.port, 5000, &why);
    if (s == kInvalid) return fail(why, 1);
    control_ = std::make_unique<ControlClient>(s);
    auto codeFor = [this]() -> std::optional<std::string> {
        if (!o_.code.empty()) return o_.code;
        if (io_.promptCode) return io_.promptCode();
        return std::nullopt;
    };
    const PairResult pr =
        control_->Pair(id, name, presented, codeFor, static_cast<int>(o_.pairTimeout * 1000), stop);
    if (pr.outcome != PairResult::kAccepted) {
        return fail(std::string("pairing ") + PairOutcomeName(pr.outcome) + ": " + pr.detail, 1);
    }
    token_ = pr.token;
    trusted_ = !pr.challenged;
    if (pr.challenged || presented != pr.token) {
        store.SetToken(hostKey, id, pr.token);
        if (!store.Save(&why) && io_.err) *io_.err << "vx-phone: " << why << " (token not kept)\n";
    } else if (o_.id.empty()) {
        store.Save(&why);  // keeps a freshly made phone id
    }
    if (!o_.saveAnnexB.empty()) {
        annexB_.open(o_.saveAnnexB, std::ios::binary | std::ios::trunc);
        if (!annexB_) return fail("cannot write " + o_.saveAnnexB, 1);
    }
    if (!o_.savePngDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o_.savePngDir, ec);
        if (!std::filesystem::is_directory(o_.savePngDir)) return fail("cannot create folder " + o_.savePngDir, 1);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        start_ = clock_.Now();
        stats_ = PhoneStats(start_);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shared_.lastHeard = clock_.Now();  // silence is counted from the pairing on
    }
    if (o_.json) {
        Print("{\"type\":\"paired\",\"host\":" + JsonString(hostKey) + ",\"id\":" + JsonString(id) +
              ",\"trusted\":" + (trusted_ ? "true" : "false") + ",\"video_port\":" + std::to_string(boundVideo_) +
              ",\"audio_port\":" + std::to_string(boundAudio_) + "}");
    } else {
        Print("vx-phone: paired with " + hostKey + (trusted_ ? " (trusted reconnect)" : " (code accepted)") +
              ", receiving video on " + bind + ":" + std::to_string(boundVideo_) + ", audio on " + bind + ":" +
              std::to_string(boundAudio_));
    }
    control_->Start([this](const ControlEvent& e) { OnEvent(e); },
                    [this](const std::string& reason) {
                        if (stopping_.load()) return;  // our own Stop, not news
                        std::lock_guard<std::mutex> lock(mutex_);
                        shared_.controlEnded = true;
                        shared_.controlEndReason = reason;
                    });
    videoThread_ = std::thread([this] {
        SetCurrentThreadName("vx-phone video");
        VideoLoop();
    });
    audioThread_ = std::thread([this] {
        SetCurrentThreadName("vx-phone audio");
        AudioLoop();
    });
    for (const auto& text : o_.send) {
        auto c = ParsePhoneCommand(text, &why);
        if (!c) continue;  // checked when the options were parsed
        if (!Send(*c)) return fail("could not send '" + text + "'", 1);
        if (o_.json) {
            Print("{\"type\":\"sent\",\"t\":" + Fixed(Elapsed(), 3) + ",\"command\":" + JsonString(text) +
                  ",\"opcode\":" + std::to_string(c->opcode) + "}");
        } else {
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%02x", c->opcode);
            Print("[" + Fixed(Elapsed(), 2) + " s] sent " + text + " (" + buf + ")");
        }
    }
    return true;
}

bool PhoneSession::Send(const PhoneCommand& command) {
    if (!control_ || !control_->Send(command.opcode, command.payload)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    ++shared_.commandsSent;
    return true;
}

void PhoneSession::Stop() {
    stopping_.store(true);
    if (videoThread_.joinable()) videoThread_.join();
    if (audioThread_.joinable()) audioThread_.join();
    if (control_) control_->Stop();
    if (decoder_) {
        decoder_->Flush([this](const DecodedPicture& p) { OnPicture(p); });
        decoder_.reset();
    }
    if (annexB_.is_open()) annexB_.close();
    for (SocketHandle* s : {&videoSocket_, &audioSocket_}) {
        if (*s != kInvalid) {
            Close(*s);
            *s = kInvalid;
            NetShutdown();
        }
    }
}

void PhoneSession::RequestIdr(const char* why) {
    if (!o_.autoIdr || !control_) return;
    const auto now = clock_.Now();
    if (idrSent_ && now - lastIdr_ < kIdrSpacing) return;
    idrSent_ = true;
    lastIdr_ = now;
    if (control_->Send(kRequestIDR, {})) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++shared_.idrRequests;
    }
    (void)why;
}

void PhoneSession::VideoLoop() {
    ReassemblerOptions ro;
    ro.streamType = kStreamTypeVideo;
    FrameReassembler reasm(ro);
    LossModel loss(o_.dropRate, o_.dropBurst, LossSeed(o_.dropSeed, 1));
    DropTally tally;
    std::vector<std::uint8_t> buf(kMaxDatagramBytes + 64);
    while (!stopping_.load()) {
        // A held frame may be given up within milliseconds: look again soon.
        const int n = ReceiveDatagram(videoSocket_, buf.data(), buf.size(), reasm.pending() ? 1 : kPollMs);
        const auto now = clock_.Now();
        if (n > 0) {
            const bool drop = loss.Drop();
            if (loss.active()) {
                if (auto d = ParseDatagram(buf.data(), static_cast<std::size_t>(n))) tally.Note(*d, drop);
            }
            if (!drop) reasm.Push(buf.data(), static_cast<std::size_t>(n), now);
        }
        reasm.Expire(now);
        if (!reasm.TakeLost().empty()) {
            // The next pictures refer to the lost one: wait for a key frame.
            awaitingKey_ = true;
            RequestIdr("frame lost");
        }
        while (auto f = reasm.Pop()) {
            if (!firstFrameAt_) firstFrameAt_ = now;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!warmedUp_ && o_.warmup > 0 && now - *firstFrameAt_ >= std::chrono::duration<double>(o_.warmup)) {
                    warmedUp_ = true;
                    stats_ = PhoneStats(now);
                    videoBase_ = reasm.counters();
                    --videoBase_.framesComplete;  // the frame in hand is the first one measured
                    tally = DropTally();
                }
                // From the datagram that completed it (the repair included) to the decoder.
                stats_.OnReassembly(MicrosOf(clock_.Now()) - MicrosOf(f->completedAt));
                if (loss.active())
                    stats_.OnDeliveryChance(
                        loss.DeliveryChance(f->dataFragments + f->parityFragments, f->parityFragments));
            }
            OnFrame(*f, now);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        shared_.video = Since(reasm.counters(), videoBase_);
        shared_.tallyFrames = tally.frames();
        shared_.tallyRepairable = tally.repairable();
        shared_.droppedVideo = loss.dropped();
        if (n > 0) shared_.lastHeard = now;
        if (n == -1) break;
    }
}

void PhoneSession::AudioLoop() {
    ReassemblerOptions ro;
    ro.streamType = kStreamTypeAudio;
    FrameReassembler reasm(ro);
    LossModel loss(o_.dropRate, o_.dropBurst, LossSeed(o_.dropSeed, 2));
    std::vector<std::uint8_t> buf(kMaxDatagramBytes + 64);
    std::vector<float> samples;
    while (!stopping_.load()) {
        const int n = ReceiveDatagram(audioSocket_, buf.data(), buf.size(), kPollMs);
        const auto now = clock_.Now();
        if (n > 0 && !loss.Drop()) reasm.Push(buf.data(), static_cast<std::size_t>(n), now);
        reasm.Expire(now);
        reasm.TakeLost();
        std::lock_guard<std::mutex> lock(mutex_);
        while (auto f = reasm.Pop()) {
            if (auto a = ParseAudioPayload(f->bytes.data(), f->bytes.size())) {
                if (o_.sync) {
                    samples.resize(a->samples * a->channels);
                    std::memcpy(samples.data(), f->bytes.data() + 8, samples.size() * sizeof(float));
                    sync_.OnAudio(samples.data(), a->samples, a->channels, a->sampleRate, f->completedAt);
                }
                stats_.OnAudio(f->bytes.size(), a->samples);
                shared_.audioRate = a->sampleRate;
                shared_.audioChannels = a->channels;
                shared_.audioPeak = std::max(shared_.audioPeak, a->peak);
            }
        }
        shared_.audio = reasm.counters();
        shared_.droppedAudio = loss.dropped();
        if (n > 0) shared_.lastHeard = now;
        if (n == -1) break;
    }
}

void PhoneSession::OnFrame(AssembledFrame& f, Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.OnFrame(f.bytes.size(), f.keyFrame, f.repairedFragments);
        if (f.sendTimeUs) {
            const auto arrived = static_cast<std::uint32_t>(MicrosOf(f.completedAt));
            const auto us = static_cast<std::int32_t>(arrived - *f.sendTimeUs);
            if (us >= 0 && us < kPlausibleUs) stats_.OnSendLatency(us);
        }
    }
    if (f.sendTimeUs) sentFrames_[f.frameNumber % sentFrames_.size()] = {f.frameNumber, *f.sendTimeUs};
    if (annexB_.is_open()) annexB_.write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
    if (awaitingKey_ && !f.keyFrame) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++shared_.skippedAwaitingKey;
        }
        RequestIdr("waiting for a key frame");
        return;
    }
    if (f.keyFrame) {
        const VideoCodec codec = DetectCodec(f.bytes.data(), f.bytes.size());
        if (codec != VideoCodec::kUnknown && (!decoder_ || decoder_->codec() != codec)) {
            if (decoder_) decoder_->Flush([this](const DecodedPicture& p) { OnPicture(p); });
            std::string why;
            decoder_ = CreateVideoDecoder(codec, &why);
            if (!decoder_ && io_.err) {
                std::lock_guard<std::mutex> lock(outMutex_);
                *io_.err << "vx-phone: " << why << "\n";
            }
            std::lock_guard<std::mutex> lock(mutex_);
            shared_.codec = codec;
        }
    }
    if (!decoder_) return;
    awaitingKey_ = false;
    const auto decodeStart = clock_.Now();
    Clock::time_point decodeEnd{};
    const int rc = decoder_->Decode(f.bytes.data(), f.bytes.size(), f.frameNumber, [&](const DecodedPicture& p) {
        // Up to the picture, before what the phone does with it.
        if (decodeEnd == Clock::time_point{}) decodeEnd = clock_.Now();
        OnPicture(p);
    });
    if (decodeEnd != Clock::time_point{}) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.OnDecodeTime(MicrosOf(decodeEnd) - MicrosOf(decodeStart));
    }
    if (rc < 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.OnDecodeError();
        }
        awaitingKey_ = true;
        RequestIdr("decode error");
    }
    (void)now;
}

void PhoneSession::OnPicture(const DecodedPicture& p) {
    const auto now = clock_.Now();
    const auto stamp = ReadStampLuma(p.luma, p.width, p.height, p.lumaStride);
    if (o_.sync) sync_.OnPicture(p.luma, p.width, p.height, p.lumaStride, now);
    if (io_.onPicture) io_.onPicture(p);
    std::uint64_t decoded = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.OnDecoded();
        decoded = stats_.decoded();
        shared_.width = p.width;
        shared_.height = p.height;
        if (stamp) {
            ++shared_.stampsRead;
            shared_.lastStamp = stamp;
            const std::int64_t us = MicrosOf(now) - static_cast<std::int64_t>(stamp->pushTimeUs);
            if (us >= 0 && us < kPlausibleUs) stats_.OnStampLatency(us);
            const SentFrame& sent = sentFrames_[static_cast<std::size_t>(p.tag) % sentFrames_.size()];
            if (sent.tag == p.tag) {
                // Send times are the low 32 bits of the same clock's microseconds.
                const auto host = static_cast<std::int32_t>(sent.sendTimeUs - static_cast<std::uint32_t>(stamp->pushTimeUs));
                if (host >= 0 && host < kPlausibleUs) stats_.OnHostTime(host);
            }
        }
    }
    if (!o_.savePngDir.empty() && (decoded - 1) % static_cast<std::uint64_t>(o_.pngEvery) == 0) {
        char name[64];
        std::snprintf(name, sizeof name, "frame-%06" PRIu64 ".png", decoded);
        std::string why;
        if (SavePng(p, std::filesystem::path(o_.savePngDir) / name, &why)) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++shared_.pngsSaved;
        } else if (io_.err) {
            std::lock_guard<std::mutex> lock(outMutex_);
            *io_.err << "vx-phone: " << why << "\n";
        }
    }
}

void PhoneSession::OnEvent(const ControlEvent& e) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++shared_.events[e.opcode];
        shared_.lastHeard = clock_.Now();
        if (e.opcode == kSettingAck) shared_.acks.push_back(e.value);
        if (e.opcode == kEncoderInfo) shared_.encoderInfo = e.text;
        if (e.opcode == kStreamInfo || e.opcode == kSourceChanged) shared_.lastStreamInfo = e;
    }
    if (e.opcode == kHeartbeat) return;
    const char* name = OutboundName(e.opcode);
    if (o_.json) {
        Print("{\"type\":\"event\",\"t\":" + Fixed(Elapsed(), 3) + ",\"opcode\":" + std::to_string(e.opcode) +
              ",\"name\":" + JsonString(name ? name : "?") + ",\"text\":" + JsonString(DescribeEvent(e)) + "}");
    } else {
        Print("[" + Fixed(Elapsed(), 2) + " s] " + DescribeEvent(e));
    }
}

SessionSnapshot PhoneSession::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    SessionSnapshot s = shared_;
    s.seconds = std::chrono::duration<double>(clock_.Now() - start_).count();
    s.measuredSeconds = std::chrono::duration<double>(clock_.Now() - stats_.start()).count();
    s.frames = stats_.frames();
    s.keyFrames = stats_.keyFrames();
    s.decoded = stats_.decoded();
    s.decodeErrors = stats_.decodeErrors();
    s.videoBytes = stats_.videoBytes();
    s.audioBlocks = stats_.audioBlocks();
    s.sendLatency = stats_.SendLatency();
    s.stampLatency = stats_.StampLatency();
    s.reassembly = stats_.Reassembly();
    s.decodeTime = stats_.DecodeTime();
    s.hostTime = stats_.HostTime();
    s.predictedDelivery = stats_.PredictedDelivery();
    if (ProcessUsage usage; ReadProcessUsage(&usage)) {
        s.cpuSeconds = usage.cpuSeconds;
        s.peakMemoryMiB = usage.peakMemoryMiB;
    }
    if (o_.sync) s.sync = sync_.Summary();
    return s;
}

PhoneStats::Window PhoneSession::TakeWindow() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_.TakeWindow(clock_.Now());
}

std::string PhoneSession::StatusLine(const SessionSnapshot& s, const PhoneStats::Window& w) const {
    if (o_.json) {
        return "{\"type\":\"status\",\"t\":" + Fixed(s.seconds, 3) + ",\"fps\":" + Fixed(w.fps, 2) +
               ",\"decoded_fps\":" + Fixed(w.decodedFps, 2) + ",\"mbps\":" + Fixed(w.mbps, 3) +
               ",\"frames\":" + std::to_string(s.frames) + ",\"decoded\":" + std::to_string(s.decoded) +
               ",\"repaired\":" + std::to_string(s.video.framesRepaired) + ",\"lost\":" +
               std::to_string(s.video.framesLost) + ",\"loss_pct\":" + Fixed(LossPercent(s.video), 3) +
               ",\"send_latency_ms\":" + Fixed(s.sendLatency.p50Ms, 3) + ",\"stamp_latency_ms\":" +
               Fixed(s.stampLatency.p50Ms, 3) + ",\"audio_blocks\":" + std::to_string(s.audioBlocks) + "}";
    }
    char buf[320];
    std::snprintf(buf, sizeof buf,
                  "%6.1f s  %5.1f fps  %6.2f Mbit/s  frames %" PRIu64 " decoded %" PRIu64 "  repaired %" PRIu64
                  " lost %" PRIu64 "  loss %.2f%%  latency send %.1f ms push %.1f ms  audio %" PRIu64,
                  s.seconds, w.fps, w.mbps, s.frames, s.decoded, s.video.framesRepaired, s.video.framesLost,
                  LossPercent(s.video), s.sendLatency.p50Ms, s.stampLatency.p50Ms, s.audioBlocks);
    return buf;
}

std::string PhoneSession::SummaryText(const SessionSnapshot& s) const {
    const double secs = s.measuredSeconds > 0 ? s.measuredSeconds : 1;
    const double fps = static_cast<double>(s.frames) / secs;
    const double mbps = static_cast<double>(s.videoBytes) * 8.0 / secs / 1e6;
    std::uint64_t heartbeats = 0;
    if (auto it = s.events.find(kHeartbeat); it != s.events.end()) heartbeats = it->second;
    if (o_.json) {
        std::string acks = "[";
        for (std::size_t i = 0; i < s.acks.size(); ++i) acks += (i ? "," : "") + std::to_string(s.acks[i]);
        acks += "]";
        std::string stamp = "null";
        if (s.lastStamp) {
            stamp = "{\"push_time_us\":" + std::to_string(s.lastStamp->pushTimeUs) + ",\"frame_index\":" +
                    std::to_string(s.lastStamp->frameIndex) + "}";
        }
        return "{\"type\":\"summary\",\"seconds\":" + Fixed(s.seconds, 3) + ",\"measured_seconds\":" +
               Fixed(s.measuredSeconds, 3) + ",\"trusted\":" +
               (trusted_ ? "true" : "false") + ",\"codec\":" + JsonString(VideoCodecName(s.codec)) +
               ",\"width\":" + std::to_string(s.width) + ",\"height\":" + std::to_string(s.height) +
               ",\"frames\":" + std::to_string(s.frames) + ",\"key_frames\":" + std::to_string(s.keyFrames) +
               ",\"decoded\":" + std::to_string(s.decoded) + ",\"decode_errors\":" + std::to_string(s.decodeErrors) +
               ",\"skipped_awaiting_key\":" + std::to_string(s.skippedAwaitingKey) + ",\"fps\":" + Fixed(fps, 3) +
               ",\"mbps\":" + Fixed(mbps, 3) + ",\"datagrams\":" + std::to_string(s.video.datagrams) +
               ",\"loss_pct\":" + Fixed(LossPercent(s.video), 3) + ",\"duplicates\":" +
               std::to_string(s.video.duplicates) + ",\"late\":" + std::to_string(s.video.late) + ",\"invalid\":" +
               std::to_string(s.video.invalid) + ",\"frames_repaired\":" + std::to_string(s.video.framesRepaired) +
               ",\"fragments_repaired\":" + std::to_string(s.video.fragmentsRepaired) + ",\"frames_lost\":" +
               std::to_string(s.video.framesLost) + ",\"frames_unprotected\":" +
               std::to_string(s.video.framesUnprotected) + ",\"repair_failures\":" + std::to_string(s.video.repairFailures) +
               ",\"send_latency\":" + LatencyJson(s.sendLatency) + ",\"stamp_latency\":" +
               LatencyJson(s.stampLatency) + ",\"reassembly\":" + LatencyJson(s.reassembly) +
               ",\"decode_time\":" + LatencyJson(s.decodeTime) +
               ",\"host_time\":" + LatencyJson(s.hostTime) + ",\"delivered_share\":" + Fixed(DeliveredShare(s.video), 5) + ",\"repairable_share\":" +
               Fixed(s.tallyFrames ? static_cast<double>(s.tallyRepairable) / static_cast<double>(s.tallyFrames) : 0, 5) +
               ",\"predicted_delivery\":" +
               Fixed(s.predictedDelivery, 5) + ",\"cpu_s\":" + Fixed(s.cpuSeconds, 3) + ",\"peak_memory_mib\":" +
               Fixed(s.peakMemoryMiB, 1) + ",\"stamps_read\":" + std::to_string(s.stampsRead) +
               ",\"last_stamp\":" + stamp + ",\"pngs_saved\":" + std::to_string(s.pngsSaved) +
               ",\"audio_blocks\":" + std::to_string(s.audioBlocks) + ",\"audio_rate\":" +
               std::to_string(s.audioRate) + ",\"audio_channels\":" + std::to_string(s.audioChannels) +
               ",\"audio_lost\":" + std::to_string(s.audio.framesLost) + ",\"heartbeats\":" +
               std::to_string(heartbeats) + ",\"acks\":" + acks + ",\"encoder\":" + JsonString(s.encoderInfo) +
               ",\"commands_sent\":" + std::to_string(s.commandsSent) + ",\"idr_requests\":" +
               std::to_string(s.idrRequests) + ",\"control_ended\":" + (s.controlEnded ? "true" : "false") +
               ",\"control_end_reason\":" + JsonString(s.controlEndReason) + ",\"dropped_video\":" +
               std::to_string(s.droppedVideo) + ",\"dropped_audio\":" + std::to_string(s.droppedAudio) +
               (o_.sync ? ",\"sync\":{\"flashes\":" + std::to_string(s.sync.flashes) + ",\"clicks\":" +
                              std::to_string(s.sync.clicks) + ",\"pairs\":" + std::to_string(s.sync.pairs) +
                              ",\"p50_ms\":" + Fixed(s.sync.p50Ms, 3) + ",\"spread_ms\":" + Fixed(s.sync.spreadMs, 3) +
                              ",\"min_ms\":" + Fixed(s.sync.minMs, 3) + ",\"max_ms\":" + Fixed(s.sync.maxMs, 3) + "}"
                        : std::string()) +
               "}";
    }
    std::ostringstream t;
    t << "vx-phone summary after " << Fixed(s.seconds, 1) << " s (" << (trusted_ ? "trusted reconnect" : "paired with a code")
      << ")\n";
    t << "  video:    " << s.frames << " frames (" << s.keyFrames << " key), " << s.decoded << " decoded";
    if (s.decoded > 0) t << " (" << VideoCodecName(s.codec) << " " << s.width << "x" << s.height << ")";
    t << ", " << s.decodeErrors << " decode errors, " << s.skippedAwaitingKey << " skipped awaiting a key frame\n";
    t << "  rate:     " << Fixed(fps, 2) << " fps, " << Fixed(mbps, 3) << " Mbit/s\n";
    t << "  network:  " << s.video.datagrams << " datagrams, loss " << Fixed(LossPercent(s.video), 2) << " %, "
      << s.video.duplicates << " duplicates, " << s.video.late << " late, " << s.video.invalid << " invalid\n";
    t << "  repair:   " << s.video.framesRepaired << " frames repaired (" << s.video.fragmentsRepaired
      << " fragments rebuilt), " << s.video.framesLost << " frames lost, " << s.video.repairFailures
      << " repair failures, unprotected frames: " << s.video.framesUnprotected << "\n";
    t << "  latency:  send -> frame complete: " << LatencyText(s.sendLatency) << "\n";
    t << "            push -> decoded (" << s.stampsRead << " stamps read): " << LatencyText(s.stampLatency) << "\n";
    t << "            reassembly: " << LatencyText(s.reassembly) << "\n";
    t << "            decoding:   " << LatencyText(s.decodeTime) << "\n";
    t << "            push -> packetized (host): " << LatencyText(s.hostTime) << "\n";
    t << "  audio:    " << s.audioBlocks << " blocks";
    if (s.audioBlocks > 0) t << ", " << s.audioRate << " Hz x " << s.audioChannels << ", peak " << Fixed(s.audioPeak, 3);
    t << ", " << s.audio.framesLost << " lost\n";
    t << "  process:  cpu " << Fixed(s.cpuSeconds, 2) << " s, peak memory " << Fixed(s.peakMemoryMiB, 1) << " MiB\n";
    t << "  control:  " << heartbeats << " heartbeats, " << s.acks.size() << " acks, " << s.commandsSent
      << " commands sent, " << s.idrRequests << " key-frame requests";
    if (!s.encoderInfo.empty()) t << ", encoder \"" << EscapeLogText(s.encoderInfo) << "\"";
    if (o_.dropRate > 0) {
        t << "\n  dropped:  " << s.droppedVideo << " video and " << s.droppedAudio
          << " audio datagrams on purpose (--drop); frames delivered "
          << Fixed(DeliveredShare(s.video) * 100, 2) << " %, the drops left " << s.tallyRepairable << " of "
          << s.tallyFrames << " frames repairable, the parity predicts " << Fixed(s.predictedDelivery * 100, 2) << " %";
    }
    if (o_.sync) t << "\n  sync:     " << SyncText(s.sync);
    if (s.controlEnded) t << "\n  ended:    " << s.controlEndReason;
    if (s.pngsSaved > 0) t << "\n  saved:    " << s.pngsSaved << " PNG files in " << o_.savePngDir;
    return t.str();
}

int RunPhone(const PhoneOptions& options, PhoneSession::Io io, const std::atomic<bool>& stop) {
    Clock& clock = io.clock ? *io.clock : Clock::Real();
    std::string error;
    std::unique_ptr<PhoneWindow> window;  // outlives the session, whose video thread feeds it
    if (options.show) {
        window = OpenPhoneWindow(&error);
        if (!window) {
            if (io.err) *io.err << "vx-phone: --show: " << error << "\n";
            return 1;
        }
        io.onPicture = [w = window.get()](const DecodedPicture& p) { w->Present(p); };
    }
    PhoneSession session(options, io);
    int code = 1;
    if (!session.Start(stop, &error, &code)) {
        if (io.err) *io.err << "vx-phone: " << error << "\n";
        return code;
    }
    const auto begin = clock.Now();
    auto nextStatus = begin + std::chrono::seconds(1);
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    bool statusShown = false;
    bool silent = false;
    const auto silenceLimit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.silenceLimit));
    for (;;) {
        const auto now = clock.Now();
        if (stop.load()) break;
        if (options.seconds > 0 && now >= end) break;
        if (window && window->closed()) break;  // as Ctrl+C
        const auto current = session.Snapshot();
        if (current.controlEnded) break;
        // Heartbeats come every second: this long without one, or any datagram, the plug-in is gone.
        if (now - current.lastHeard > silenceLimit) {
            silent = true;
            break;
        }
        if (now >= nextStatus) {
            nextStatus += std::chrono::seconds(1);
            const auto snap = session.Snapshot();
            const auto w = session.TakeWindow();
            if (window) window->SetFigures(OverlayLines(snap, w));
            const std::string line = session.StatusLine(snap, w);
            if (options.json) {
                session.Print(line);
            } else if (!options.quiet && io.err) {
                if (io.statusOnTerminal) {
                    *io.err << "\r" << line << "\033[K" << std::flush;
                    statusShown = true;
                } else {
                    *io.err << line << "\n" << std::flush;
                }
            }
        }
        clock.SleepFor(std::chrono::milliseconds(50));
    }
    session.Stop();
    if (statusShown && io.err) *io.err << "\n";
    const auto snap = session.Snapshot();
    session.Print(session.SummaryText(snap));
    if (silent) {
        if (io.err) {
            *io.err << "vx-phone: the plug-in went silent: no heartbeat and no datagram for "
                    << Fixed(std::chrono::duration<double>(clock.Now() - snap.lastHeard).count(), 1) << " s\n";
        }
        return 4;
    }
    if (snap.controlEnded && io.err && !options.json) *io.err << "vx-phone: control connection " << snap.controlEndReason << "\n";
    if (options.minDecoded > 0 && snap.decoded < static_cast<std::uint64_t>(options.minDecoded)) {
        if (io.err) {
            *io.err << "vx-phone: " << snap.decoded << " pictures decoded, fewer than --min-decoded "
                    << options.minDecoded << "\n";
        }
        return 3;
    }
    return 0;
}

}  // namespace Veltrix::phone
