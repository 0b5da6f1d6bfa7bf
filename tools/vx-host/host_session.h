// The host side of the Transmit plug-in interface: implements the suites
// with the SDK's tables (the suite record and its utility functions, the SP
// basic suite, the PPix, Playmod Audio and Time suites), fills the records
// as the host does, runs the timeline and drives a loaded plug-in in the
// host's order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sdk/transmit_sdk.h"
#include "support/clock.h"
#include "vx-host/host_options.h"
#include "vx-host/media_source.h"
#include "vx-host/sync_schedule.h"
#include "vx-host/timeline.h"

struct TxPPix;

namespace Veltrix::host {

inline constexpr std::int64_t kHostTicksPerSecond = kTxDefaultTicksPerSecond;
inline constexpr std::int32_t kHostPlayId = 1;
inline constexpr float kHostAudioRate = 48000.0f;

struct HostStatus {
    double timelineSeconds = 0;
    std::int64_t frame = 0;  // the timeline's frame
    PlayState state = PlayState::kStopped;
    std::int64_t framesPushed = 0;
    double pushFps = 0;  // over the last status period
    double audioSeconds = 0;
    std::int64_t clockCallbacks = 0;
    bool selfClocked = false;  // the plug-in's clock stopped calling back; the host keeps time
    int ppixLive = 0;
};

struct HostReport {
    std::string pluginName;
    std::int64_t framesPushed = 0;
    std::int64_t audioSamplesPushed = 0;
    std::int64_t audioSamplesPulled = 0;
    std::int64_t clockCallbacks = 0;
    int ppixNeverDisposed = 0;
    int ppixBadDisposes = 0;
    std::int64_t droppedFrames = 0;  // reported through the clock's dropped-frame callback
    std::vector<std::string> unreleasedSuites;  // "name vN xCount"
    std::vector<std::string> problems;          // human sentences, one per rule broken
};

class HostSession {
public:
    // One session at a time per process: the suites have no context argument.
    HostSession(const HostOptions& options, TxEntryFunc entry, Clock& clock = Clock::Real());
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Plays until the timeline reaches --seconds or *stop becomes true, then
    // stops, disposes and shuts the plug-in down. Returns the exit status
    // (0, 1 plug-in failed, 3 rules broken); errors go to err.
    int Run(const std::atomic<bool>& stop, const std::function<void(const HostStatus&)>& onStatus,
            std::ostream& err);

    const HostReport& report() const { return report_; }
    // Plays this file instead of the pattern (before Run).
    void UseSource(std::unique_ptr<MediaSource> source) { source_ = std::move(source); }

    // The timeline the transport drives; playback follows its play state.
    Timeline& timeline() { return timeline_; }
    // Called on the session's thread whenever playback starts (true) or stops.
    void SetPlayStateListener(std::function<void(bool playing)> listener) { onPlayState_ = std::move(listener); }

    // --- suite entry points (reached through the process-wide active session) ---
    TxSpError AcquireSuite(const char* name, std::int32_t version, const void** out);
    TxSpError ReleaseSuite(const char* name, std::int32_t version);
    TxSuiteError DisposePPix(TxPPixHandle ppix);
    // The picture behind a handle this session handed out and still holds; null otherwise.
    TxPPix* Picture(TxPPixHandle ppix);
    TxSuiteError GetPixels(TxPPixHandle ppix, std::int32_t access, char** out);
    TxSuiteError GetNextAudioBuffer(std::int32_t playId, float** outBuffers, unsigned int count);
    void OnClock(std::int64_t elapsedTicks);
    void OnDroppedFrames(std::int64_t frames);
    // A rule of the interface the plug-in broke (each sentence recorded once).
    void Problem(const std::string& sentence);

private:
    TxPPixHandle RenderFrame(std::int64_t index);
    void FillTone(float** buffers, std::uint32_t channels, std::uint32_t count);
    // Keeps time when the plug-in's clock went quiet, then waits a little for the timeline to change.
    void WaitForMove(std::uint64_t seenVersion);

    HostOptions options_;
    TxEntryFunc entry_;
    Clock& clock_;
    std::int64_t frameTicks_ = 0;

    Timeline timeline_;
    std::function<void(bool)> onPlayState_;

    std::mutex mutex_;  // clock state, PPix set, suite counts
    std::int64_t clockCallbacks_ = 0;
    Clock::time_point lastCallback_{};
    bool clockRunning_ = false;
    bool selfClocked_ = false;
    Clock::time_point selfLast_{};
    std::map<TxPPixHandle, TxPPix*> livePPix_;  // handle -> picture
    std::uint64_t pictureSerial_ = 0;
    std::int64_t droppedFrames_ = 0;
    int badDisposes_ = 0;
    std::map<std::string, int> acquired_;

    std::mutex toneMutex_;
    double tonePhase_ = 0;
    std::int64_t toneSamples_ = 0;  // timeline position of the tone, in samples
    std::int64_t audioPushed_ = 0;
    std::atomic<std::int64_t> audioPulled_{0};

    std::vector<std::uint8_t> staticPicture_;
    std::unique_ptr<MediaSource> source_;
    bool sourceFailed_ = false;  // host thread only
    SyncSchedule sync_;
    HostReport report_;
};

// vx-host without the re-execution: parses args (argv[1..]), loads the plug-in,
// runs a session, prints the status line (unless quiet) and a summary.
int HostMain(const std::vector<std::string>& args, const std::atomic<bool>& stop, std::ostream& out,
             std::ostream& err, bool statusIsTerminal);

}  // namespace Veltrix::host
