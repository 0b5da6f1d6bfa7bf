// The built transmit plug-in against a host made of raw bytes: every record
// and table the host hands over is a byte buffer filled at the offsets the SDK
// documents (sdk/sdk_layout_x64.h), every function is called through a
// pointer type written here from the SDK's signatures, and what the plug-in
// writes is read back at the documented offsets. None of our SDK structs is
// used, so the plug-in and this host cannot agree by sharing a mistake.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dynamic_library.h"
#include "network/socket.h"
#include "phone_wire.h"
#include "sdk/sdk_layout_x64.h"
#include "store/trusted_peers.h"
#include "support/log.h"
#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"

namespace {

namespace doc = vx_sdk_x64::pr;
using Veltrix::testing::Eventually;

// ---- raw bytes ----
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kFill = 0xAB;   // what the host leaves in fields the plug-in must not write
constexpr std::size_t kCanary = 16;    // bytes past each record that must stay untouched

Bytes Record(std::size_t size) { return Bytes(size + kCanary, kFill); }
template <typename T>
void Put(Bytes& b, std::size_t at, T value) {
    ASSERT_LE(at + sizeof value, b.size());
    std::memcpy(b.data() + at, &value, sizeof value);
}
template <typename T>
T Read(const Bytes& b, std::size_t at) {
    T value{};
    std::memcpy(&value, b.data() + at, sizeof value);
    return value;
}
bool Untouched(const Bytes& b, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (b[i] != kFill) return false;
    }
    return true;
}
template <typename Fn>
Fn Slot(const Bytes& table, std::size_t at) {
    return reinterpret_cast<Fn>(Read<void*>(table, at));
}
template <typename Fn>
void PutFn(Bytes& table, std::size_t at, Fn fn) {
    Put(table, at, reinterpret_cast<void*>(fn));
}

// ---- the SDK's signatures (PrSDKTransmit.h, SPBasic.h, PrSDKPPixSuite.h,
// PrSDKPlayModuleAudioSuite.h, PrSDKTimeSuite.h), records as void* ----
using EntryFn = std::int32_t (*)(std::int32_t version, std::int32_t load, void* piSuites, void* module);
using StartupFn = std::int32_t (*)(void* std, void* info);
using StdOnlyFn = std::int32_t (*)(void* std);
using SetupFn = std::int32_t (*)(void* std, void* parent);
using StdFlagFn = std::int32_t (*)(const void* std, std::int32_t* flag);
using InstanceFn = std::int32_t (*)(const void* std, void* instance);
using QueryFn = std::int32_t (*)(const void* std, const void* instance, std::int32_t index, void* mode);
using ActivateFn = std::int32_t (*)(const void* std, const void* instance, std::int32_t event, std::int32_t audio,
                                    std::int32_t video);
using WithRecordFn = std::int32_t (*)(const void* std, const void* instance, const void* record);
using StopFn = std::int32_t (*)(const void* std, const void* instance);
using StartPushAudioFn = std::int32_t (*)(const void* std, const void* instance, std::int64_t start, float speed,
                                          std::int64_t in, std::int64_t out, std::int32_t loop, std::int32_t scrubbing,
                                          std::uint32_t* samplesPerFrame);
using StreamingCallbackFn = std::int32_t (*)(const void* std, void* context, void (*callback)(void*));
using EnableFn = std::int32_t (*)(const void* std, std::int32_t enabled);

// ---- the host: one per process, its tables raw buffers ----
struct Picture {
    Picture* self = this;  // a PPix handle points here
    Bytes pixels;
    std::int32_t width = 0, height = 0;
    std::atomic<int> disposed{0};
    std::atomic<int> pixelCalls{0};
    std::atomic<std::int32_t> access{-1};
    std::atomic<int> formatCalls{0};
};
Picture* Of(void* handle) { return *static_cast<Picture**>(handle); }

struct RawHost {
    Bytes basic = Record(doc::SPBasicSuite::kSize);
    Bytes util = Record(doc::PlugUtilFuncs::kSize);
    Bytes suites = Record(doc::piSuites::kSize);
    Bytes ppix = Record(doc::PrSDKPPixSuite::kSize);
    Bytes audio = Record(doc::PrSDKPlayModuleAudioSuite::kSize);
    Bytes time = Record(doc::PrSDKTimeSuite::kSize);
    Bytes parms = Record(doc::tmStdParms::kSize);  // the standard parameters

    std::mutex m;
    std::vector<std::string> acquired, released;
    std::atomic<int> pulls{0};
    std::atomic<std::int32_t> pullPlayId{0};
    std::atomic<unsigned> pullFrames{0};
    std::atomic<bool> pullInBuffersNull{true};
    std::atomic<long long> clockTicks{0};
    std::atomic<int> clockCalls{0};
};
RawHost* gHost = nullptr;

std::int32_t Acquire(const char* name, std::int32_t version, const void** out) {
    const std::string n = name;
    const void* table = nullptr;
    if (n == "Premiere PPix Suite" && version == 1) table = gHost->ppix.data();
    if (n == "Premiere Playmod Audio Suite" && version == 4) table = gHost->audio.data();
    if (n == "Premiere Time Suite" && version == 1) table = gHost->time.data();
    *out = table;
    if (!table) return 0x53214664;  // 'S!Fd'
    std::lock_guard<std::mutex> lock(gHost->m);
    gHost->acquired.push_back(n);
    return 0;
}
std::int32_t Release(const char* name, std::int32_t) {
    std::lock_guard<std::mutex> lock(gHost->m);
    gHost->released.push_back(name);
    return 0;
}
void* GetBasic() { return gHost->basic.data(); }

std::int32_t PDispose(void* h) {
    ++Of(h)->disposed;
    return 0;
}
std::int32_t PPixels(void* h, std::int32_t access, char** out) {
    Picture* p = Of(h);
    ++p->pixelCalls;
    p->access = access;
    *out = access == 0 ? reinterpret_cast<char*>(p->pixels.data()) : nullptr;  // read only
    return 0;
}
std::int32_t PBounds(void* h, std::int32_t* rect) {  // prRect: left, top, right, bottom
    const std::int32_t r[4] = {0, 0, Of(h)->width, Of(h)->height};
    std::memcpy(rect, r, sizeof r);
    return 0;
}
std::int32_t PRowBytes(void* h, std::int32_t* out) {
    *out = Of(h)->width * 4;
    return 0;
}
std::int32_t PAspect(void*, std::uint32_t* num, std::uint32_t* den) {
    *num = *den = 1;
    return 0;
}
std::int32_t PFormat(void* h, std::uint32_t* out) {
    ++Of(h)->formatCalls;
    *out = vx_sdk_x64::kPixelFormatBgra8;
    return 0;
}
std::int32_t NextAudio(std::int32_t playId, float** in, float** out, unsigned int frames) {
    gHost->pullPlayId = playId;
    gHost->pullFrames = frames;
    if (in) gHost->pullInBuffersNull = false;
    for (unsigned i = 0; i < frames; ++i) out[0][i] = out[1][i] = 0.125f;
    ++gHost->pulls;
    return 0;
}
std::int32_t TicksPerSecond(std::int64_t* out) {
    *out = 254016000000LL;
    return 0;
}
void OnClock(void* context, std::int64_t ticks) {
    static_cast<RawHost*>(context)->clockTicks += ticks;
    ++static_cast<RawHost*>(context)->clockCalls;
}

// The phone reconnects with its trusted token. Where the module keeps its
// trusted phones elsewhere than this process's test folders (Windows: the
// profile's application data), it is challenged instead and answers with the
// code the module logged.
bool PairPhone(Veltrix::testing::WirePhone& phone, const std::string& token) {
    std::vector<std::uint8_t> hello{0x30};
    for (const std::string& f : {std::string("phone-raw"), std::string("Raw Phone"), token}) {
        hello.push_back(static_cast<std::uint8_t>(f.size()));
        hello.insert(hello.end(), f.begin(), f.end());
    }
    if (!phone.Send(hello)) return false;
    auto reply = phone.Next();
    if (reply && reply->opcode == 0x33) return true;
    if (!reply || reply->opcode != 0x31) return false;
    const std::string marker = "pair: challenge=";
    std::string code;
    Eventually([&] {
        const std::string log = Veltrix::testing::ReadFileText(Veltrix::LogFilePath());
        const auto at = log.rfind(marker);
        if (at == std::string::npos || at + marker.size() + 6 > log.size()) return false;
        code = log.substr(at + marker.size(), 6);
        return true;
    });
    std::vector<std::uint8_t> answer{0x32};
    answer.insert(answer.end(), code.begin(), code.end());
    if (code.size() != 6 || !phone.Send(answer)) return false;
    auto accepted = phone.Next();
    return accepted && accepted->opcode == 0x33;
}

class TransmitConformance : public ::testing::Test {
protected:
    void SetUp() override {
        gHost = &host;
        // The listener's port, chosen before the module reads its environment.
        Veltrix::NetInit();
        Veltrix::SocketHandle probe = Veltrix::CreateTcpListener(0);
        port = Veltrix::LocalPort(probe);
        Veltrix::Close(probe);
        Veltrix::testing::SetEnv("VX_CONTROL_PORT", std::to_string(port).c_str());

        PutFn(host.basic, doc::SPBasicSuite::AcquireSuite, &Acquire);
        PutFn(host.basic, doc::SPBasicSuite::ReleaseSuite, &Release);
        PutFn(host.util, doc::PlugUtilFuncs::getSPBasicSuite, &GetBasic);
        Put<std::int32_t>(host.suites, doc::piSuites::piInterfaceVer, 9);
        Put(host.suites, doc::piSuites::utilFuncs, static_cast<void*>(host.util.data()));
        PutFn(host.ppix, doc::PrSDKPPixSuite::Dispose, &PDispose);
        PutFn(host.ppix, doc::PrSDKPPixSuite::GetPixels, &PPixels);
        PutFn(host.ppix, doc::PrSDKPPixSuite::GetBounds, &PBounds);
        PutFn(host.ppix, doc::PrSDKPPixSuite::GetRowBytes, &PRowBytes);
        PutFn(host.ppix, doc::PrSDKPPixSuite::GetPixelAspectRatio, &PAspect);
        PutFn(host.ppix, doc::PrSDKPPixSuite::GetPixelFormat, &PFormat);
        PutFn(host.audio, doc::PrSDKPlayModuleAudioSuite::GetNextAudioBuffer, &NextAudio);
        PutFn(host.time, doc::PrSDKTimeSuite::GetTicksPerSecond, &TicksPerSecond);
        Put<std::int32_t>(host.parms, doc::tmStdParms::inPluginIndex, 0);
        Put(host.parms, doc::tmStdParms::ioSerializedPluginData, static_cast<void*>(nullptr));
        Put<std::uint64_t>(host.parms, doc::tmStdParms::ioSerializedPluginDataSize, 0);
        Put(host.parms, doc::tmStdParms::ioPrivatePluginData, static_cast<void*>(nullptr));
        Put(host.parms, doc::tmStdParms::piSuites, static_cast<void*>(host.suites.data()));

        module = std::make_unique<Veltrix::testing::DynamicLibrary>(VX_TRANSMIT_MODULE);
        ASSERT_TRUE(module->loaded()) << module->error();
        entry = reinterpret_cast<EntryFn>(module->Symbol("xTransmitEntry"));
        ASSERT_NE(entry, nullptr);
    }
    void TearDown() override { gHost = nullptr; }

    // The instance record of a 25 fps, 44.1 kHz stereo sequence.
    Bytes Instance() {
        Bytes inst = Record(doc::tmInstance::kSize);
        Put<std::int32_t>(inst, doc::tmInstance::inInstanceID, 1);
        Put<std::int32_t>(inst, doc::tmInstance::inTimelineID, 1);
        Put<std::int32_t>(inst, doc::tmInstance::inPlayID, 7);
        Put<std::int32_t>(inst, doc::tmInstance::inHasAudio, 1);
        Put<std::uint32_t>(inst, doc::tmInstance::inNumChannels, 2);
        for (int c = 0; c < 16; ++c) Put<std::int32_t>(inst, doc::tmInstance::inChannelLabels + 4 * c, c < 2 ? 100 + c : 0);
        Put<std::int32_t>(inst, doc::tmInstance::inAudioSampleType, 6);
        Put<float>(inst, doc::tmInstance::inAudioSampleRate, 44100.0f);
        Put<std::int32_t>(inst, doc::tmInstance::inHasVideo, 1);
        Put<std::int32_t>(inst, doc::tmInstance::inVideoWidth, 64);
        Put<std::int32_t>(inst, doc::tmInstance::inVideoHeight, 48);
        Put<std::int32_t>(inst, doc::tmInstance::inVideoPARNum, 1);
        Put<std::int32_t>(inst, doc::tmInstance::inVideoPARDen, 1);
        Put<std::int64_t>(inst, doc::tmInstance::inVideoFrameRate, kFrameTicks);
        Put<std::int32_t>(inst, doc::tmInstance::inVideoFieldType, 0);
        Put(inst, doc::tmInstance::ioPrivateInstanceData, static_cast<void*>(nullptr));
        return inst;
    }

    static constexpr std::int64_t kFrameTicks = 254016000000LL / 25;
    Veltrix::testing::ScopedTestDirs dirs;
    RawHost host;
    std::uint16_t port = 0;
    std::unique_ptr<Veltrix::testing::DynamicLibrary> module;
    EntryFn entry = nullptr;
};

TEST_F(TransmitConformance, EveryModuleSlotAgainstTheDocumentedRecords) {
    namespace mod = doc::tmModule;
    // Load 0 (unload) writes nothing; load 1 fills all nineteen slots.
    Bytes table = Record(mod::kSize);
    ASSERT_EQ(entry(4, 0, host.suites.data(), table.data()), 0);
    EXPECT_TRUE(Untouched(table, 0, table.size()));
    ASSERT_EQ(entry(4, 1, host.suites.data(), table.data()), 0);
    for (std::size_t slot = 0; slot < mod::kSize; slot += 8) EXPECT_NE(Read<void*>(table, slot), nullptr) << slot / 8;
    EXPECT_TRUE(Untouched(table, mod::kSize, table.size()));

    // Start-up: the five flags, the name and the five values after it; nothing else.
    namespace pi = doc::tmPluginInfo;
    Bytes info = Record(pi::kSize);
    ASSERT_EQ(Slot<StartupFn>(table, mod::Startup)(host.parms.data(), info.data()), 0);
    for (std::size_t flag : {pi::outAudioAvailable, pi::outAudioDefaultEnabled, pi::outClockAvailable,
                             pi::outVideoAvailable, pi::outVideoDefaultEnabled}) {
        EXPECT_EQ(Read<std::int32_t>(info, flag), 1) << flag;
    }
    const char16_t name[] = u"Lumenfold";
    for (std::size_t i = 0; i < sizeof name / sizeof name[0]; ++i) {
        EXPECT_EQ(Read<std::uint16_t>(info, pi::outDisplayName + 2 * i), static_cast<std::uint16_t>(name[i])) << i;
    }
    EXPECT_EQ(Read<std::int32_t>(info, pi::outHideInUI), 0);
    EXPECT_EQ(Read<std::int32_t>(info, pi::outHasSetup), 1);
    EXPECT_EQ(Read<std::int32_t>(info, pi::outInterfaceVersion), 4);
    EXPECT_EQ(Read<std::int32_t>(info, pi::outPushAudioAvailable), 1);
    EXPECT_EQ(Read<std::int32_t>(info, pi::outHasStreaming), 1);
    EXPECT_TRUE(Untouched(info, pi::outIdentifier, pi::outAudioAvailable));  // identifier and priority: the host's
    EXPECT_TRUE(Untouched(info, pi::kSize, info.size()));

    std::int32_t reset = 5;
    EXPECT_EQ(Slot<StdFlagFn>(table, mod::NeedsReset)(host.parms.data(), &reset), 0);
    EXPECT_EQ(reset, 0);

    // The mode queries answer for any instance record, also one without private data.
    Bytes inst = Instance();
    namespace am = doc::tmAudioMode;
    Bytes audio = Record(am::kSize);
    EXPECT_EQ(Slot<QueryFn>(table, mod::QueryAudioMode)(host.parms.data(), inst.data(), 1, audio.data()), -4);
    EXPECT_EQ(Slot<QueryFn>(table, mod::QueryAudioMode)(host.parms.data(), inst.data(), 0, audio.data()), 0);
    EXPECT_EQ(Read<float>(audio, am::outAudioSampleRate), 44100.0f);
    EXPECT_EQ(Read<std::uint32_t>(audio, am::outMaxBufferSize), 44100u);
    EXPECT_EQ(Read<std::uint32_t>(audio, am::outNumChannels), 2u);
    EXPECT_EQ(Read<std::int32_t>(audio, am::outChannelLabels), 100);
    EXPECT_EQ(Read<std::int32_t>(audio, am::outChannelLabels + 4), 101);
    EXPECT_EQ(Read<std::int64_t>(audio, am::outLatency), 5 * kFrameTicks);
    EXPECT_TRUE(Untouched(audio, am::outChannelLabels + 8, am::outLatency));
    EXPECT_TRUE(Untouched(audio, am::outAudioOutputNames, audio.size()));

    namespace vm = doc::tmVideoMode;
    Bytes video = Record(vm::kSize);
    EXPECT_EQ(Slot<QueryFn>(table, mod::QueryVideoMode)(host.parms.data(), inst.data(), 1, video.data()), -4);
    EXPECT_EQ(Slot<QueryFn>(table, mod::QueryVideoMode)(host.parms.data(), inst.data(), 0, video.data()), 0);
    for (std::size_t any : {vm::outWidth, vm::outHeight, vm::outPARNum, vm::outPARDen}) {
        EXPECT_EQ(Read<std::int32_t>(video, any), 0) << any;
    }
    EXPECT_EQ(Read<std::int32_t>(video, vm::outFieldType), 4);  // prFieldsAny
    EXPECT_EQ(Read<std::uint32_t>(video, vm::outPixelFormat), vx_sdk_x64::kPixelFormatBgra8);
    EXPECT_EQ(Read<std::int64_t>(video, vm::outLatency), 2 * kFrameTicks);
    EXPECT_TRUE(Untouched(video, vm::outStreamLabel, vm::outLatency));
    EXPECT_TRUE(Untouched(video, vm::outColorSpaceRec, video.size()));

    // Push audio: 1024 samples per frame, also without private data.
    std::uint32_t samplesPerFrame = 0;
    EXPECT_EQ(Slot<StartPushAudioFn>(table, mod::StartPushAudio)(host.parms.data(), inst.data(), 0, 1.0f, 0, 0, 0, 1,
                                                                   &samplesPerFrame),
              0);
    EXPECT_EQ(samplesPerFrame, 1024u);
    EXPECT_EQ(Slot<StopFn>(table, mod::StopPushAudio)(host.parms.data(), inst.data()), 0);

    // The four streaming slots.
    EXPECT_EQ(Slot<StreamingCallbackFn>(table, mod::SetStreamingStateChangedCallback)(host.parms.data(), &host,
                                                                                      [](void*) {}),
              0);
    EXPECT_EQ(Slot<EnableFn>(table, mod::EnableStreaming)(host.parms.data(), 1), 0);
    std::int32_t flag = 0;
    EXPECT_EQ(Slot<StdFlagFn>(table, mod::IsStreamingEnabled)(host.parms.data(), &flag), 0);
    EXPECT_EQ(flag, 1);
    flag = 0;
    EXPECT_EQ(Slot<StdFlagFn>(table, mod::IsStreamingActive)(host.parms.data(), &flag), 0);
    EXPECT_EQ(flag, 1);

    // An instance: created through the basic suite of the standard parameters' suite record. The
    // phone that will connect is trusted before the instance starts the transport.
    const std::string token(64, 'c');
    ASSERT_TRUE(Veltrix::UpsertPeer(Veltrix::TrustedPeer{"phone-raw", "Raw Phone", token, "2026-01-01T00:00:00Z"}));
    const std::int32_t created = Slot<InstanceFn>(table, mod::CreateInstance)(host.parms.data(), inst.data());
    // Whatever fails below, the instance is disposed and the module shut down before it is unloaded.
    struct Finish {
        const Bytes& table;
        RawHost& host;
        Bytes& inst;
        ~Finish() {
            Slot<InstanceFn>(table, mod::DisposeInstance)(host.parms.data(), inst.data());
            Slot<StdOnlyFn>(table, mod::Shutdown)(host.parms.data());
        }
    } finish{table, host, inst};
    if (created == 0) {
        ASSERT_NE(Read<void*>(inst, doc::tmInstance::ioPrivateInstanceData), nullptr);
        EXPECT_TRUE(Untouched(inst, doc::tmInstance::kSize, inst.size()));
        {
            std::lock_guard<std::mutex> lock(host.m);
            EXPECT_NE(std::find(host.acquired.begin(), host.acquired.end(), "Premiere PPix Suite"), host.acquired.end());
            EXPECT_NE(std::find(host.acquired.begin(), host.acquired.end(), "Premiere Time Suite"), host.acquired.end());
        }
        EXPECT_EQ(Slot<ActivateFn>(table, mod::ActivateDeactivate)(host.parms.data(), inst.data(), 2, 1, 1), 0);

        // A trusted phone, so the plug-in reads the first pushed frame.
        std::unique_ptr<Veltrix::testing::WirePhone> phone;
        ASSERT_TRUE(Eventually([&] {
            phone = std::make_unique<Veltrix::testing::WirePhone>(port);
            return phone->Connected();
        }));
        ASSERT_TRUE(PairPhone(*phone, token));
        ASSERT_TRUE(phone->NextOf(0x36));  // host platform: the plug-in counts the phone as paired

        Picture first, second;
        for (Picture* p : {&first, &second}) {
            p->width = 64;
            p->height = 48;
            p->pixels.assign(64 * 48 * 4, 0x40);
        }
        namespace lf = doc::tmLabeledFrame;
        Bytes frames(2 * lf::kSize, 0);
        Put(frames, lf::inFrame, static_cast<void*>(&first.self));
        Put(frames, lf::kSize + lf::inFrame, static_cast<void*>(&second.self));
        namespace pv = doc::tmPushVideo;
        Bytes push = Record(pv::kSize);
        Put<std::int64_t>(push, pv::inTime, 0);
        Put<std::int32_t>(push, pv::inPlayMode, 1);
        Put<std::int32_t>(push, pv::inQuality, 3);
        Put(push, pv::inFrames, static_cast<void*>(frames.data()));
        Put<std::uint64_t>(push, pv::inFrameCount, 2);
        EXPECT_EQ(Slot<WithRecordFn>(table, mod::PushVideo)(host.parms.data(), inst.data(), push.data()), 0);
        EXPECT_EQ(first.disposed.load(), 1);
        EXPECT_EQ(second.disposed.load(), 1);
        EXPECT_EQ(first.pixelCalls.load(), 1);
        EXPECT_EQ(first.access.load(), 0);  // read access
        EXPECT_EQ(first.formatCalls.load(), 1);
        EXPECT_EQ(second.pixelCalls.load(), 0);  // only the first frame of a push is read

        // The playback clock in play mode calls back and pulls one frame of audio a tick.
        namespace pc = doc::tmPlaybackClock;
        Bytes clock = Record(pc::kSize);
        Put(clock, pc::inClockCallback, reinterpret_cast<void*>(&OnClock));
        Put(clock, pc::inCallbackContext, static_cast<void*>(&host));
        Put<std::int64_t>(clock, pc::inStartTime, 0);
        Put<std::int32_t>(clock, pc::inPlayMode, 1);
        Put<float>(clock, pc::inSpeed, 1.0f);
        Put<std::int64_t>(clock, pc::inInTime, 0);
        Put<std::int64_t>(clock, pc::inOutTime, -1);
        Put<std::int32_t>(clock, pc::inLoop, 0);
        Put(clock, pc::inDroppedFrameCallback, static_cast<void*>(nullptr));
        EXPECT_EQ(Slot<WithRecordFn>(table, mod::StartPlaybackClock)(host.parms.data(), inst.data(), clock.data()), 0);
        EXPECT_TRUE(Eventually([&] { return host.clockCalls.load() >= 2 && host.pulls.load() >= 2; }));
        EXPECT_EQ(Slot<StopFn>(table, mod::StopPlaybackClock)(host.parms.data(), inst.data()), 0);
        EXPECT_GT(host.clockTicks.load(), 0);
        EXPECT_EQ(host.pullPlayId.load(), 7);
        EXPECT_EQ(host.pullFrames.load(), 1764u);  // 44100 / 25
        EXPECT_TRUE(host.pullInBuffersNull.load());

        namespace pa = doc::tmPushAudio;
        std::vector<float> left(1024, 0.5f), right(1024, -0.5f);
        float* buffers[2] = {left.data(), right.data()};
        Bytes pushAudio = Record(pa::kSize);
        Put<std::int64_t>(pushAudio, pa::inTime, 0);
        Put(pushAudio, pa::inBuffers, static_cast<void*>(buffers));
        Put<std::uint32_t>(pushAudio, pa::inNumSamples, 1024);
        Put<std::uint32_t>(pushAudio, pa::inNumChannels, 2);
        EXPECT_EQ(Slot<StartPushAudioFn>(table, mod::StartPushAudio)(host.parms.data(), inst.data(), 0, 1.0f, 0, -1, 0,
                                                                       0, &samplesPerFrame),
                  0);
        EXPECT_EQ(Slot<WithRecordFn>(table, mod::PushAudio)(host.parms.data(), inst.data(), pushAudio.data()), 0);
        EXPECT_EQ(Slot<StopFn>(table, mod::StopPushAudio)(host.parms.data(), inst.data()), 0);

        EXPECT_EQ(Slot<ActivateFn>(table, mod::ActivateDeactivate)(host.parms.data(), inst.data(), 2, 0, 0), 0);
        phone.reset();
        EXPECT_EQ(Slot<InstanceFn>(table, mod::DisposeInstance)(host.parms.data(), inst.data()), 0);
        EXPECT_EQ(Read<void*>(inst, doc::tmInstance::ioPrivateInstanceData), nullptr);
        std::lock_guard<std::mutex> lock(host.m);
        EXPECT_EQ(host.released.size(), host.acquired.size());  // every suite given back
    } else {
        // No encoder on this machine (Wine has none): the documented failure and no private data.
        EXPECT_EQ(created, -4);
        EXPECT_EQ(Read<void*>(inst, doc::tmInstance::ioPrivateInstanceData), nullptr);
        std::cout << "no encoder here: the instance slots were checked without an instance\n";
    }
    EXPECT_EQ(Slot<InstanceFn>(table, mod::DisposeInstance)(host.parms.data(), inst.data()), 0);
    // The setup dialog opens on its own thread; shut-down closes it.
    EXPECT_EQ(Slot<SetupFn>(table, mod::SetupDialog)(host.parms.data(), nullptr), 0);
    EXPECT_EQ(Slot<StdOnlyFn>(table, mod::Shutdown)(host.parms.data()), 0);
    EXPECT_EQ(entry(4, 0, host.suites.data(), table.data()), 0);
}

}  // namespace
