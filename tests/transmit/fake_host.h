// A stand-in host for the transmit module: the suite record with its utility
// functions, the basic suite with the PPix, audio and time suites, host
// pictures, and the standard parameters and instance record as the host fills them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/transmit_sdk.h"

namespace Veltrix::testing {

// A host picture; its handle is the address of `self`.
struct FakePicture {
    FakePicture* self = this;
    std::vector<std::uint8_t> pixels;
    TxRect bounds{};
    std::int32_t rowBytes = 0;
    TxPixelFormat format = kTxPixelFormatBgra;
    std::atomic<int> disposed{0};
};

inline TxPPixHandle HandleOf(FakePicture& p) { return reinterpret_cast<TxPPixHandle>(&p.self); }
inline FakePicture* PictureOf(TxPPixHandle h) { return *reinterpret_cast<FakePicture**>(h); }

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

    TxPiSuites* Suites() { return &suites_; }

    // An instance record of a stereo 48 kHz (or `rate`) sequence at `frameTicks` ticks a frame.
    TxInstance MakeInstance(float rate = 48000.0f, std::int64_t frameTicks = 254016000000LL / 30) {
        TxInstance i{};
        i.instanceId = 1;
        i.playId = 7;
        i.hasAudio = 1;
        i.channelCount = 2;
        i.channelLabels[0] = kTxAudioLabelFrontLeft;
        i.channelLabels[1] = kTxAudioLabelFrontRight;
        i.audioSampleType = kTxAudioSample32BitFloat;
        i.audioSampleRate = rate;
        i.hasVideo = 1;
        i.videoFrameRate = frameTicks;
        return i;
    }
    TxStdParms* StdParms() { return &stdParms_; }

private:
    FakeHost() {
        basic_.AcquireSuite = &Acquire;
        basic_.ReleaseSuite = &Release;
        ppix_.Dispose = [](TxPPixHandle p) -> TxSuiteError {
            ++PictureOf(p)->disposed;
            return 0;
        };
        ppix_.GetPixels = [](TxPPixHandle p, std::int32_t access, char** out) -> TxSuiteError {
            FakePicture* pic = PictureOf(p);
            *out = pic->pixels.empty() || access != kTxPPixAccessRead ? nullptr
                                                                      : reinterpret_cast<char*>(pic->pixels.data());
            return 0;
        };
        ppix_.GetBounds = [](TxPPixHandle p, TxRect* out) -> TxSuiteError {
            *out = PictureOf(p)->bounds;
            return 0;
        };
        ppix_.GetRowBytes = [](TxPPixHandle p, std::int32_t* out) -> TxSuiteError {
            *out = PictureOf(p)->rowBytes;
            return 0;
        };
        ppix_.GetPixelFormat = [](TxPPixHandle p, TxPixelFormat* out) -> TxSuiteError {
            *out = PictureOf(p)->format;
            return 0;
        };
        audio_.GetNextAudioBuffer = [](std::int32_t, float**, float** buffers, unsigned int n) -> TxSuiteError {
            ++Get().audioPulls;
            Get().lastPullSamples = n;
            for (int c = 0; c < 2; ++c) std::memset(buffers[c], 0, n * sizeof(float));
            return 0;
        };
        time_.GetTicksPerSecond = [](TxTime* out) -> TxSuiteError {
            *out = Get().ticksPerSecond.load();
            return 0;
        };
        utility_.GetSPBasicSuite = [] { return &Get().basic_; };
        suites_.interfaceVersion = kTxPiSuitesVersion;
        suites_.utilFuncs = &utility_;
        stdParms_.suites = &suites_;
    }

    static TxSpError Acquire(const char* name, std::int32_t, const void** out) {
        FakeHost& h = Get();
        const std::string n = name ? name : "";
        if (n == kTxPPixSuiteName) {
            *out = &h.ppix_;
        } else if (n == kTxPlaymodAudioSuiteName) {
            *out = &h.audio_;
        } else if (n == kTxTimeSuiteName) {
            *out = &h.time_;
        } else {
            return kTxSpErrorSuiteNotFound;
        }
        ++h.acquired;
        return 0;
    }
    static TxSpError Release(const char*, std::int32_t) {
        ++Get().released;
        return 0;
    }

    TxBasicSuite basic_{};
    TxPPixSuite ppix_{};
    TxPlaymodAudioSuite audio_{};
    TxTimeSuite time_{};
    TxUtilFuncs utility_{};
    TxPiSuites suites_{};
    TxStdParms stdParms_{};
};

// A BGRA picture of w x h in the host's format.
inline void FillPicture(FakePicture& p, int w, int h, TxPixelFormat format = kTxPixelFormatBgra) {
    p.rowBytes = w * 4;
    p.pixels.assign(static_cast<std::size_t>(p.rowBytes) * static_cast<std::size_t>(h), 0x40);
    p.bounds = TxRect{0, 0, w, h};
    p.format = format;
}

}  // namespace Veltrix::testing
