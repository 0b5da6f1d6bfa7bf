// One run of the phone: bind the media ports, connect, pair, then receive,
// rebuild, decode and measure until stopped. The threads (control reader,
// video and audio receivers) belong to the session and are joined by Stop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "network/socket.h"
#include "support/clock.h"
#include "testpattern/test_pattern.h"
#include "vx-phone/control_client.h"
#include "vx-phone/frame_reassembler.h"
#include "vx-phone/loss_model.h"
#include "vx-phone/phone_options.h"
#include "vx-phone/phone_stats.h"
#include "vx-phone/sync_meter.h"
#include "vx-phone/token_store.h"
#include "vx-phone/video_decoder.h"

namespace Veltrix::phone {

// What the session knows at one moment (a copy, safe to read anywhere).
struct SessionSnapshot {
    double seconds = 0;
    double measuredSeconds = 0;  // what the rates cover (less than seconds with --warmup)
    ReassemblerCounters video, audio;
    std::uint64_t frames = 0, keyFrames = 0, decoded = 0, decodeErrors = 0, skippedAwaitingKey = 0;
    std::uint64_t stampsRead = 0, pngsSaved = 0, idrRequests = 0, commandsSent = 0;
    std::uint64_t videoBytes = 0, audioBlocks = 0;
    LatencySummary sendLatency, stampLatency, reassembly, decodeTime, hostTime;
    double predictedDelivery = 0;              // with --drop: what the parity rule predicts
    std::uint64_t tallyFrames = 0, tallyRepairable = 0;  // with --drop: the rule on the drops made
    double cpuSeconds = 0, peakMemoryMiB = 0;  // of this process so far
    std::optional<PatternStamp> lastStamp;
    VideoCodec codec = VideoCodec::kUnknown;
    int width = 0, height = 0;             // of the last decoded picture
    std::uint32_t audioRate = 0;
    int audioChannels = 0;
    float audioPeak = 0;
    std::map<std::uint8_t, std::uint64_t> events;  // by opcode
    std::vector<std::uint8_t> acks;                // kSettingAck values, in order
    std::string encoderInfo;
    ControlEvent lastStreamInfo;
    bool controlEnded = false;
    std::string controlEndReason;
    Clock::time_point lastHeard{};             // last heartbeat, control frame or datagram
    std::uint64_t droppedVideo = 0, droppedAudio = 0;  // by --drop
    SyncSummary sync;                          // with --sync
};

class PhoneSession {
public:
    struct Io {
        std::ostream* out = nullptr;  // events, JSON lines, summary
        std::ostream* err = nullptr;  // errors, prompt, live status
        bool statusOnTerminal = false;
        // Asked for a code when the plug-in challenges and --code was not given.
        std::function<std::optional<std::string>()> promptCode;
        Clock* clock = nullptr;       // Clock::Real() when null
        // Every decoded picture, on the video thread (the --show window).
        std::function<void(const DecodedPicture&)> onPicture;
    };

    PhoneSession(PhoneOptions options, Io io);
    ~PhoneSession();
    PhoneSession(const PhoneSession&) = delete;
    PhoneSession& operator=(const PhoneSession&) = delete;

    // Binds the media ports, connects and pairs, stores the token, starts the
    // threads and sends the --send commands. False with *error set (the
    // session is then stopped); `exitCode` says which failure.
    bool Start(const std::atomic<bool>& stop, std::string* error, int* exitCode);
    // Sends one command; false when the connection is gone.
    bool Send(const PhoneCommand& command);
    // Stops and joins everything. Safe to repeat.
    void Stop();

    SessionSnapshot Snapshot() const;
    // The local media ports actually bound (useful with port 0).
    std::uint16_t videoPort() const { return boundVideo_; }
    std::uint16_t audioPort() const { return boundAudio_; }
    bool trustedReconnect() const { return trusted_; }
    const std::string& token() const { return token_; }

    // One status line (human) or JSON object, and the end summary.
    std::string StatusLine(const SessionSnapshot& s, const PhoneStats::Window& w) const;
    std::string SummaryText(const SessionSnapshot& s) const;
    // Takes the rate window (for the status line).
    PhoneStats::Window TakeWindow();

    // Writes one line to out under the output lock.
    void Print(const std::string& line);

private:
    void VideoLoop();
    void AudioLoop();
    void OnFrame(AssembledFrame& frame, Clock::time_point now);
    void OnPicture(const DecodedPicture& picture);
    void OnEvent(const ControlEvent& e);
    void RequestIdr(const char* why);
    double Elapsed() const;

    PhoneOptions o_;
    Io io_;
    Clock& clock_;
    Clock::time_point start_;
    std::atomic<bool> stopping_{false};
    SocketHandle videoSocket_ = kInvalid, audioSocket_ = kInvalid;
    std::uint16_t boundVideo_ = 0, boundAudio_ = 0;
    std::unique_ptr<ControlClient> control_;
    std::thread videoThread_, audioThread_;
    bool trusted_ = false;
    std::string token_;

    // Video thread only.
    std::unique_ptr<VideoDecoder> decoder_;
    bool awaitingKey_ = true;
    // Send times of the recent frames by frame number, for the push -> packetized
    // time of their pictures (video thread).
    struct SentFrame {
        std::int64_t tag = -1;
        std::uint32_t sendTimeUs = 0;
    };
    std::array<SentFrame, 64> sentFrames_{};
    // --warmup: the figures start over once it has passed since the first frame.
    std::optional<Clock::time_point> firstFrameAt_;  // video thread
    bool warmedUp_ = false;                          // under mutex_
    ReassemblerCounters videoBase_;                  // under mutex_: the counters at that moment
    std::ofstream annexB_;
    Clock::time_point lastIdr_{};
    bool idrSent_ = false;

    SyncMeter sync_;            // its own lock

    mutable std::mutex mutex_;  // everything below
    PhoneStats stats_;
    SessionSnapshot shared_;
    std::mutex outMutex_;
};

// The whole command-line run: returns the process exit status.
int RunPhone(const PhoneOptions& options, PhoneSession::Io io, const std::atomic<bool>& stop);

}  // namespace Veltrix::phone
