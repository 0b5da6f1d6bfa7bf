// A stand-in host for the transmit module: the basic suite with the PPix,
// audio and time suites, host pictures, and the instance record.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/transmit_sdk.h"

namespace Veltrix::testing {

struct FakePicture {
    std::vector<std::uint8_t> pixels;
    TxRect bounds{};
    std::int32_t rowBytes = 0;
    std::uint32_t format = kTxPixelFormatBgra;
    std::atomic<int> disposed{0};
};

// One fake host per process (the suites are plain C function tables).
class FakeHost {
public:
    static FakeHost& Get() {
        static FakeHost host;
        return host;
    }

    std::atomic<std::int64_t> ticksPerSecond{254016000000LL};
    std::atomic<int> acquired{0}, released{0}, audioPulls{0};
    std::atomic<std::uint32_t> lastPullSamples{0};

    const TxBasicSuite* Basic() const { return &basic_; }

    // An instance record whose std parms lead to this host's basic suite.
    TxInstance MakeInstance(float rate = 48000.0f, std::int64_t frameTicks = 254016000000LL / 30) {
        TxInstance i{};
        i.stdParms = &stdParms_;
        i.audioSampleRate = rate;
        i.audioChannelType = 2;
        i.videoFrameDuration = frameTicks;
        i.playId = 7;
        return i;
    }
    const TxStdParms* StdParms() const { return &stdParms_; }

private:
    FakeHost() {
        basic_.AcquireSuite = &Acquire;
        basic_.ReleaseSuite = &Release;
        ppix_.Dispose = [](TxPPixHandle p) -> TxResult {
            ++reinterpret_cast<FakePicture*>(p)->disposed;
            return 0;
        };
        ppix_.GetPixels = [](TxPPixHandle p, std::int32_t, char** out) -> TxResult {
            auto* pic = reinterpret_cast<FakePicture*>(p);
            *out = pic->pixels.empty() ? nullptr : reinterpret_cast<char*>(pic->pixels.data());
            return 0;
        };
        ppix_.GetBounds = [](TxPPixHandle p, TxRect* out) -> TxResult {
            *out = reinterpret_cast<FakePicture*>(p)->bounds;
            return 0;
        };
        ppix_.GetRowBytes = [](TxPPixHandle p, std::int32_t* out) -> TxResult {
            *out = reinterpret_cast<FakePicture*>(p)->rowBytes;
            return 0;
        };
        ppix_.GetPixelFormat = [](TxPPixHandle p, std::uint32_t* out) -> TxResult {
            *out = reinterpret_cast<FakePicture*>(p)->format;
            return 0;
        };
        audio_.GetNextAudioBuffer = [](std::int32_t, std::int32_t, float** buffers, std::uint32_t n) -> TxResult {
            ++Get().audioPulls;
            Get().lastPullSamples = n;
            for (int c = 0; c < 2; ++c) std::memset(buffers[c], 0, n * sizeof(float));
            return 0;
        };
        time_.GetTicksPerSecond = [](std::int64_t* out) -> TxResult {
            *out = Get().ticksPerSecond.load();
            return 0;
        };
        utility_.GetBasicSuite = [] { return Get().Basic(); };
        suites_.interfaceVersion = kTxInterfaceVersion;
        suites_.utilityFuncs = &utility_;
        stdParms_.interfaceVersion = kTxInterfaceVersion;
        stdParms_.suites = &suites_;
    }

    static TxResult Acquire(const char* name, std::int32_t, const void** out) {
        FakeHost& h = Get();
        const std::string n = name ? name : "";
        if (n == kTxPPixSuiteName) {
            *out = &h.ppix_;
        } else if (n == kTxPlaymodAudioSuiteName) {
            *out = &h.audio_;
        } else if (n == kTxTimeSuiteName) {
            *out = &h.time_;
        } else {
            return -1;
        }
        ++h.acquired;
        return 0;
    }
    static TxResult Release(const char*, std::int32_t) {
        ++Get().released;
        return 0;
    }

    TxBasicSuite basic_{};
    TxPPixSuite ppix_{};
    TxPlaymodAudioSuite audio_{};
    TxTimeSuite time_{};
    TxUtilityFuncs utility_{};
    TxHostSuites suites_{};
    TxStdParms stdParms_{};
};

// A BGRA picture of w x h in the host's format.
inline void FillPicture(FakePicture& p, int w, int h, std::uint32_t format = kTxPixelFormatBgra) {
    p.rowBytes = w * 4;
    p.pixels.assign(static_cast<std::size_t>(p.rowBytes) * static_cast<std::size_t>(h), 0x40);
    p.bounds = TxRect{0, 0, w, h};
    p.format = format;
}

inline TxPPixHandle HandleOf(FakePicture& p) { return reinterpret_cast<TxPPixHandle>(&p); }

}  // namespace Veltrix::testing
