// The asynchronous driver and the GPU conversion paths, through the scripted
// platform: event orders, input credits, drains, late events; GPU set-up
// failures, latches and status texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "encoder/engine_factory.h"
#include "encoder/media_foundation_encoder.h"
#include "encoder/nv12_converter.h"
#include "store/install_identity.h"
#include "support/log.h"
#include "tests/encoder/mediafoundation/fake_media_platform.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using namespace media;
using testing::FakeGpu;
using testing::FakePlatform;
using testing::FakeTransformScript;

struct Delivered {
    std::vector<uint8_t> bytes;
    bool key;
    uint64_t ts;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<uint8_t> Pattern(int w, int h) {
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < bgra.size(); ++i) bgra[i] = static_cast<uint8_t>((i * 37 + i / 97) & 0xFF);
    return bgra;
}

std::vector<uint8_t> CpuNv12(const std::vector<uint8_t>& bgra, int w, int h) {
    std::vector<uint8_t> nv12(static_cast<size_t>(w) * h * 3 / 2);
    ConvertBgraToNv12Portable(bgra.data(), w * 4, nv12.data(), nv12.data() + static_cast<size_t>(w) * h, w, h);
    return nv12;
}

class MfAsyncGpu : public ::testing::Test {
protected:
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    testing::ScopedTestDirs dirs;
    std::mutex outLock;
    std::vector<Delivered> out;
    MediaFoundationEncoderOptions options;

    MfAsyncGpu() {
        options.platform = platform;
        options.asyncHwEncodersEnabled = [] { return true; };
        options.gpuResidentEncodeEnv = "";
        options.noFenceEnv = "";
    }
    std::unique_ptr<MediaFoundationEncoder> Make() {
        auto e = std::make_unique<MediaFoundationEncoder>(options);
        e->SetCodec(kCodecH264);
        e->SetOutputCallback([this](const uint8_t* d, size_t n, bool k, uint64_t ts) {
            std::lock_guard<std::mutex> g(outLock);
            out.push_back({std::vector<uint8_t>(d, d + n), k, ts});
        });
        return e;
    }
    size_t Outputs() {
        std::lock_guard<std::mutex> g(outLock);
        return out.size();
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    FakePlatform::Entry& AddAsync(const char* name = "NVIDIA H.264 Encoder MFT") {
        FakeTransformScript s;
        s.name = name;
        s.vendorId = "VEN_10DE";
        s.async = true;
        return platform->Add(s);
    }
    FakePlatform::Entry& AddGpuSync(const char* name = "NVIDIA H.264 Encoder MFT") {
        FakeTransformScript s;
        s.name = name;
        s.vendorId = "VEN_10DE";
        s.acceptsD3DManager = true;
        s.d3d11Aware = true;
        return platform->Add(s);
    }
    void WithGpu() {
        platform->deviceWorks = true;
        platform->gpu = std::make_shared<FakeGpu>();
    }
};

// --- asynchronous driver -------------------------------------------------------

TEST_F(MfAsyncGpu, EventOrdersDeliverEveryFrame) {
    for (bool needInputFirst : {false, true}) {
        platform->transforms.clear();
        out.clear();
        auto& t = AddAsync();
        t.script->needInputFirst = needInputFirst;
        t.script->sequenceHeader = {1, 100, 0, 40, 0xFF, 0xE1, 0, 2, 0x67, 1, 1, 0, 2, 0x68, 2};
        t.script->outputs.push_back({{0, 0, 0, 1, 0x65, 0x88}, true});
        auto e = Make();
        ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
        EXPECT_NE(e->Description().find("[HW-async, 64x32 H.264 @ 30 fps, 2 Mbps]"), std::string::npos);
        ASSERT_TRUE(t.script->events->WaitIdle());  // the first NeedInput is a credit
        const std::vector<uint8_t> frame = Pattern(64, 32);
        for (int i = 0; i < 4; ++i) {
            e->Encode(frame.data(), 64, 32, 64 * 4, 0);
            ASSERT_TRUE(t.script->events->WaitIdle());
        }
        ASSERT_EQ(Outputs(), 4u);
        // The key frame carries the parameter sets; time stamps are the output samples' own.
        EXPECT_TRUE(out[0].key);
        EXPECT_EQ(std::vector<uint8_t>(out[0].bytes.begin(), out[0].bytes.begin() + 5),
                  (std::vector<uint8_t>{0, 0, 0, 1, 0x67}));
        EXPECT_EQ(out[3].ts, 3u * 333'333u / 10u);
        EXPECT_EQ(t.log->inputData.at(0), CpuNv12(frame, 64, 32));
        EXPECT_TRUE(e->HasEmittedKeyframe());
        e->Teardown();
        const auto& m = t.log->messages;
        auto at = [&](TransformMessage x) { return std::find(m.begin(), m.end(), x) - m.begin(); };
        EXPECT_LT(at(TransformMessage::NotifyBeginStreaming), at(TransformMessage::NotifyStartOfStream));
        EXPECT_LT(at(TransformMessage::CommandDrain), at(TransformMessage::CommandFlush));
        EXPECT_LT(at(TransformMessage::CommandFlush), at(TransformMessage::NotifyEndOfStream));
        EXPECT_LT(at(TransformMessage::NotifyEndOfStream), at(TransformMessage::NotifyEndStreaming));
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("async: event generator acquired"), std::string::npos);
    EXPECT_NE(log.find("async: BeginGetEvent armed"), std::string::npos);
    EXPECT_NE(log.find("async: NOTIFY_START_OF_STREAM S_OK (0x00000000)"), std::string::npos);
    EXPECT_NE(log.find("Configure OK (async): 64x32 @ 30 fps, 2000000 bps, codec=H264, gop=1, ps=12B"),
              std::string::npos);
    EXPECT_NE(log.find("async: event NeedInput (0x259)"), std::string::npos);
    EXPECT_NE(log.find("async: DRAIN complete — MFT consumed all queued input"), std::string::npos);
    EXPECT_LE(Count(log, "async: push "), 8u);
    EXPECT_LE(Count(log, "async: event "), 32u);
}

TEST_F(MfAsyncGpu, WithheldNeedInputKeepsTheNewestTwo) {
    auto& t = AddAsync();
    t.script->initialNeedInput = 0;
    t.script->withholdNeedInput = true;
    auto e = Make();
    e->SetGopSize(600);
    ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
    const std::vector<uint8_t> frame = Pattern(64, 32);
    for (int i = 0; i < 3; ++i) e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    EXPECT_EQ(t.log->processInputCalls, 0);
    // Each NeedInput takes the oldest waiting frame: the first was evicted.
    t.script->events->Push(kMETransformNeedInput);
    ASSERT_TRUE(t.script->events->WaitIdle());
    ASSERT_EQ(t.log->inputTimes.size(), 1u);
    EXPECT_EQ(t.log->inputTimes[0], 333'333);
    t.script->events->Push(kMETransformNeedInput);
    t.script->events->Push(kMETransformNeedInput);  // no frame waiting: a credit
    ASSERT_TRUE(t.script->events->WaitIdle());
    ASSERT_EQ(t.log->inputTimes.size(), 2u);
    EXPECT_EQ(t.log->inputTimes[1], 666'666);
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);  // uses the credit at once
    EXPECT_EQ(t.log->inputTimes.size(), 3u);
    EXPECT_FALSE(t.log->inputCleanPoints[0]);  // frame 0 (the forced one) was dropped unencoded
}

TEST_F(MfAsyncGpu, DrainTimesOutOnTheInjectedClock) {
    testing::ManualClock clock;
    options.clock = &clock;
    auto& t = AddAsync();
    t.script->drainCompletes = false;
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
    std::thread teardown([&] { e->Teardown(); });
    ASSERT_TRUE(clock.WaitForBlocked(1));
    clock.Advance(std::chrono::seconds(2));
    teardown.join();
    EXPECT_FALSE(e->Ready());
    EXPECT_NE(LogText().find("async: DRAIN wait timed out (2s) — proceeding to GPU-idle"), std::string::npos);

    t.script->drainResult = kE_FAIL;
    ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
    e->Teardown();
    EXPECT_NE(LogText().find("async: DRAIN message failed E_FAIL (0x80004005) — falling back to GPU-idle"),
              std::string::npos);
}

TEST_F(MfAsyncGpu, LateEventsAfterTeardownTouchNoEncoder) {
    auto& t = AddAsync();
    auto queue = t.script->events;
    t.script->outputs.push_back({{0, 0, 0, 1, 0x65, 0x88}, true});
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
    ASSERT_TRUE(queue->WaitIdle());
    const std::vector<uint8_t> frame = Pattern(64, 32);
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    ASSERT_TRUE(queue->WaitIdle());
    ASSERT_TRUE(queue->HasPendingRequest());  // the system still holds our callback
    e.reset();
    ASSERT_TRUE(queue->WaitIdle());  // the drain's completion may still be on its way out
    const int before = queue->Delivered();
    // Whether teardown's drain already took the request back depends on the event thread's timing.
    const bool requested = queue->HasPendingRequest();
    queue->Push(kMETransformHaveOutput);
    queue->Push(kMETransformNeedInput);
    ASSERT_TRUE(queue->WaitIdle());
    // At most one, to a detached callback, which asks for nothing more.
    EXPECT_EQ(queue->Delivered(), before + (requested ? 1 : 0));
    EXPECT_FALSE(queue->HasPendingRequest());
    EXPECT_EQ(Outputs(), 1u);
}

// Each reconfiguration ends the previous hardware session: the transform is
// shut down after its last message and before release, and its event queue
// holds none of our requests afterwards.
TEST_F(MfAsyncGpu, ReconfigurationsShutEverySessionDown) {
    auto& t = AddAsync();
    auto e = Make();
    const std::vector<uint8_t> frame = Pattern(64, 32);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(e->Configure(64, 32, 2'000'000 + 1000 * i, 30));
        e->Encode(frame.data(), 64, 32, 64 * 4, 0);
        ASSERT_EQ(t.log->liveSessions, 1) << "configuration " << i;
    }
    e.reset();
    EXPECT_EQ(t.log->liveSessions, 0);
    EXPECT_EQ(t.log->shutdowns, t.log->activations);
    EXPECT_EQ(t.log->callsAfterShutdown, 0);
    EXPECT_FALSE(t.script->events->HasPendingRequest());
}

TEST_F(MfAsyncGpu, AsyncStartFailuresFallBack) {
    auto& t = AddAsync();
    t.script->noEventGenerator = true;
    auto e = Make();
    EXPECT_FALSE(e->Configure(64, 32, 2'000'000, 30));
    EXPECT_FALSE(e->Ready());
    EXPECT_NE(LogText().find("Async MFT setup failed — releasing and falling back"), std::string::npos);
    t.script->noEventGenerator = false;
    t.script->events->FailBegin(true);
    EXPECT_FALSE(e->Configure(64, 32, 2'000'000, 30));
    EXPECT_NE(LogText().find("async: BeginGetEvent failed E_FAIL (0x80004005)"), std::string::npos);
}

TEST_F(MfAsyncGpu, AsyncStreamChangeRenegotiates) {
    auto& t = AddAsync();
    t.script->streamChangesPerInput = 1;
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 2'000'000, 30));
    ASSERT_TRUE(t.script->events->WaitIdle());
    const std::vector<uint8_t> frame = Pattern(64, 32);
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    ASSERT_TRUE(t.script->events->WaitIdle());
    EXPECT_EQ(Outputs(), 1u);
    EXPECT_GE(t.log->outputTypes.size(), 2u);  // the renegotiated type was set
}

TEST_F(MfAsyncGpu, FactoryReadsTheInstallSetting) {
    AddAsync();
    FakeTransformScript sw;
    sw.name = "SW";
    platform->Add(sw);
    auto e = CreateForEngine("auto", platform);
    e->SetCodec(kCodecH264);
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_NE(e->Description().find("[SW,"), std::string::npos);  // off without an install file
    SetAsyncHwEncodersEnabled(true);
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_NE(e->Description().find("[HW-async,"), std::string::npos);
}

// A platform that fails every adapter index without ever answering "not found"
// (Wine without a display did) must not hold Configure in the adapter loop.
TEST_F(MfAsyncGpu, AdapterEnumerationThatNeverEndsIsCut) {
    platform->adapterFailure = Hr(0x887A0004u);  // DXGI_ERROR_UNSUPPORTED
    FakeTransformScript sw;
    sw.name = "SW";
    platform->Add(sw);
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_EQ(platform->adapterCalls, 16);
}

// --- GPU conversion -------------------------------------------------------------

TEST(MfShader, ConstantsMatchTheCpuConverter) {
    const std::string text = kBgraToNv12Shader;
    auto value = [&](const char* name) {
        std::smatch m;
        const std::regex re(std::string("static const int ") + name + " = (-?[0-9]+);");
        return std::regex_search(text, m, re) ? std::stoi(m[1]) : 9999;
    };
    EXPECT_EQ(value("kYR"), bt709::kYR);
    EXPECT_EQ(value("kYG"), bt709::kYG);
    EXPECT_EQ(value("kYB"), bt709::kYB);
    EXPECT_EQ(value("kCbR"), bt709::kCbR);
    EXPECT_EQ(value("kCbG"), bt709::kCbG);
    EXPECT_EQ(value("kCbB"), bt709::kCbB);
    EXPECT_EQ(value("kCrR"), bt709::kCrR);
    EXPECT_EQ(value("kCrG"), bt709::kCrG);
    EXPECT_EQ(value("kCrB"), bt709::kCrB);
    EXPECT_EQ(value("kYOff"), bt709::kYOff);
    EXPECT_EQ(value("kCOff"), bt709::kCOff);
}

TEST_F(MfAsyncGpu, ReadbackConverterAndItsLatch) {
    WithGpu();
    FakeTransformScript sw;
    sw.name = "SW";
    auto& t = platform->Add(sw);
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_EQ(e->GpuResidentStatusText(),
              "off (auto-default is NVIDIA-only; non-NVIDIA encoder or VX_GPU_RESIDENT_ENCODE=0)");
    const std::vector<uint8_t> frame = Pattern(64, 32);
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    EXPECT_EQ(t.log->inputData.at(0), CpuNv12(frame, 64, 32));  // through padded mapped rows
    EXPECT_EQ(platform->gpu->dispatches, 1);
    EXPECT_EQ(platform->gpu->groupsX, 4u);
    EXPECT_EQ(platform->gpu->groupsY, 2u);
    EXPECT_EQ(platform->gpu->copies, 2);
    EXPECT_NE(LogText().find("[Zevaviri] Step 4 GPU BGRA→NV12 ENABLED: 64x32 compute shader"), std::string::npos);

    // A failed read-back map latches once; the CPU takes over with the same bytes.
    platform->gpu->failMapAfter = platform->gpu->maps + 1;
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    EXPECT_TRUE(e->GpuConvertLatched());
    EXPECT_EQ(platform->gpu->dispatches, 2);
    EXPECT_EQ(t.log->inputData.at(2), CpuNv12(frame, 64, 32));
    EXPECT_EQ(Count(LogText(), "[Zevaviri] Step 4 GPU FALLBACK to scalar at frame 1 — shader/upload/readback failed"),
              1u);
    platform->gpu->failMapAfter = -1;
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_FALSE(e->GpuConvertLatched());
}

TEST_F(MfAsyncGpu, OddSizeAndShaderFailures) {
    WithGpu();
    auto& t = AddGpuSync();
    auto e = Make();
    ASSERT_TRUE(e->Configure(63, 32, 1'000'000, 30));
    EXPECT_EQ(e->GpuResidentStatusText(), "n/a (odd dimensions)");
    const std::vector<uint8_t> frame = Pattern(63, 32);
    e->Encode(frame.data(), 63, 32, 63 * 4, 0);
    e->Encode(frame.data(), 63, 32, 63 * 4, 0);
    EXPECT_EQ(t.log->inputData.at(1), CpuNv12(frame, 63, 32));
    EXPECT_EQ(Count(LogText(), "[Zevaviri] Step 4 GPU FALLBACK to scalar at frame"), 1u);

    platform->gpu->compileResult = kE_FAIL;
    platform->gpu->compileMessage = "BgraToNv12.hlsl(3,1): error X3000: syntax error\n";
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_EQ(e->GpuResidentStatusText(), "fallback (shader compile failed)");
    EXPECT_NE(LogText().find("GPU NV12: D3DCompile failed 0x80004005 (BgraToNv12.hlsl(3,1): error X3000: syntax error)"),
              std::string::npos);
    platform->gpu->compileMessage.clear();
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_NE(LogText().find("GPU NV12: D3DCompile failed 0x80004005 (no msg)"), std::string::npos);
    platform->gpu->compileResult = kS_OK;
    platform->gpu->computeShaderResult = kE_OUTOFMEMORY;
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_NE(LogText().find("GPU NV12: CreateComputeShader failed 0x8007000e"), std::string::npos);
}

TEST_F(MfAsyncGpu, GpuResidentStatusTexts) {
    struct Case {
        const char* env;
        bool device, acceptsManager;
        const char* name;
        std::function<void(FakeGpu&)> script;
        const char* status;
    };
    const std::vector<Case> cases = {
        {"0", true, true, "NVIDIA H.264 Encoder MFT", nullptr,
         "off (auto-default is NVIDIA-only; non-NVIDIA encoder or VX_GPU_RESIDENT_ENCODE=0)"},
        {"", true, true, "Intel Quick Sync H.264 Encoder MFT", nullptr,
         "off (auto-default is NVIDIA-only; non-NVIDIA encoder or VX_GPU_RESIDENT_ENCODE=0)"},
        {"1", true, true, "Intel Quick Sync H.264 Encoder MFT", nullptr,
         "ACTIVE (allocator ready; MF_SA_D3D11_AWARE=yes, D3D mgr accepted)"},
        {"", false, true, "NVIDIA H.264 Encoder MFT", nullptr, "n/a (no D3D11 device/manager)"},
        {"", true, false, "NVIDIA H.264 Encoder MFT", nullptr, "n/a (MFT not on GPU — SET_D3D_MANAGER rejected)"},
        {"", true, true, "NVIDIA", [](FakeGpu& g) { g.failTextureAt = 0; },
         "fallback (BGRA upload texture create failed)"},
        {"", true, true, "NVIDIA", [](FakeGpu& g) { g.allocatorResult = kE_OUTOFMEMORY; },
         "fallback (MFCreateVideoSampleAllocatorEx E_OUTOFMEMORY (0x8007000e))"},
        {"", true, true, "NVIDIA", [](FakeGpu& g) { g.attributesResult = kE_FAIL; },
         "fallback (MFCreateAttributes failed)"},
        {"", true, true, "NVIDIA", [](FakeGpu& g) { g.mediaTypeResult = kE_FAIL; },
         "fallback (NV12 media type create failed)"},
        {"", true, true, "NVIDIA", [](FakeGpu& g) { g.initializeResult = kE_INVALIDARG; },
         "fallback (InitializeSampleAllocatorEx E_INVALIDARG (0x80070057) — driver likely rejects UAV-bound NV12)"},
        {"", true, true, "nvidia h264", nullptr, "ACTIVE (allocator ready; MF_SA_D3D11_AWARE=yes, D3D mgr accepted)"},
    };
    for (const Case& c : cases) {
        platform->transforms.clear();
        WithGpu();
        platform->deviceWorks = c.device;
        if (c.script) c.script(*platform->gpu);
        auto& t = AddGpuSync(c.name);
        t.script->acceptsD3DManager = c.acceptsManager;
        options.gpuResidentEncodeEnv = c.env;
        auto e = Make();
        ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30)) << c.status;
        EXPECT_EQ(e->GpuResidentStatusText(), c.status) << c.name << " env=" << c.env;
        EXPECT_EQ(e->GpuResidentInUse(), std::string(c.status).rfind("ACTIVE", 0) == 0);
        EXPECT_NE(LogText().find(std::string("[DidEzo] GPU-resident status: ") + c.status), std::string::npos);
    }
    EXPECT_EQ(platform->gpu->allocatorBind, 0xA8u);
    EXPECT_EQ(platform->gpu->allocatorInitial, 4u);
    EXPECT_EQ(platform->gpu->allocatorMax, 16u);
    EXPECT_EQ(platform->gpu->allocatorType.subtype, Subtype::Nv12);
    EXPECT_NE(LogText().find("[DidEzo] GPU-resident NV12 submit ENABLED: 64x32"), std::string::npos);
}

TEST_F(MfAsyncGpu, GpuResidentSubmitCachesViewsAndFences) {
    for (const char* noFence : {"", "1"}) {
        platform->transforms.clear();
        WithGpu();
        options.noFenceEnv = noFence;
        auto& t = AddGpuSync();
        auto e = Make();
        ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
        ASSERT_TRUE(e->GpuResidentInUse());
        const std::vector<uint8_t> frame = Pattern(64, 32);
        for (int i = 0; i < 5; ++i) e->Encode(frame.data(), 64, 32, 64 * 4, 0);
        EXPECT_EQ(t.log->processInputCalls, 5);
        EXPECT_EQ(t.log->inputData.at(0), std::vector<uint8_t>{});  // texture samples
        EXPECT_EQ(platform->gpu->viewsOnSamples, 2);  // one recycled sample: its views are made once
        EXPECT_TRUE(platform->gpu->lastUnbindSource);
        EXPECT_EQ(platform->gpu->queryEnds, noFence[0] ? 0 : 5);
        EXPECT_EQ(platform->gpu->flushes, noFence[0] ? 5 : 0);
        EXPECT_EQ(Outputs(), 5u * (noFence[0] ? 2 : 1));
        e->Teardown();
        EXPECT_EQ(platform->gpu->queryEnds, noFence[0] ? 2 : 7);  // two GPU-idle waits
    }
}

TEST_F(MfAsyncGpu, GpuResidentFailuresLatchOrDrop) {
    WithGpu();
    auto& t = AddGpuSync();
    t.script->outputs.clear();
    auto e = Make();
    e->SetGopSize(600);
    const std::vector<uint8_t> frame = Pattern(64, 32);
    auto encode = [&](int n) {
        for (int i = 0; i < n; ++i) e->Encode(frame.data(), 64, 32, 64 * 4, 0);
    };

    // An empty allocator drops frames without latching; at most 8 lines per process.
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    platform->gpu->allocateFailures = 10;
    encode(11);
    EXPECT_EQ(t.log->processInputCalls, 1);
    EXPECT_TRUE(e->GpuResidentInUse());
    EXPECT_EQ(Count(LogText(), "[DidEzo] allocator empty (0xc00d4a3e) — dropping frame"), 8u);

    // Views that cannot be made latch to system memory, with a key frame.
    t.log->inputCleanPoints.clear();
    platform->gpu->failViews = true;
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    encode(3);
    EXPECT_FALSE(e->GpuResidentInUse());
    EXPECT_EQ(Count(LogText(), "[DidEzo] plane-UAV create failed — latching CPU fallback"), 1u);
    ASSERT_EQ(t.log->inputCleanPoints.size(), 2u);
    EXPECT_TRUE(t.log->inputCleanPoints[0]);
    EXPECT_EQ(t.log->inputData.back(), CpuNv12(frame, 64, 32));
    platform->gpu->failViews = false;

    // A failed upload map latches the same way.
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    platform->gpu->failMapAfter = platform->gpu->maps;
    encode(2);
    EXPECT_FALSE(e->GpuResidentInUse());
    EXPECT_EQ(Count(LogText(), "[DidEzo] BGRA->NV12 dispatch failed — latching CPU fallback"), 1u);
    platform->gpu->failMapAfter = -1;

    // The transform refusing the texture sample latches too; the next frame is a key frame.
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    encode(1);
    t.log->inputCleanPoints.clear();
    t.script->processInputFailures = 1;
    encode(2);
    EXPECT_FALSE(e->GpuResidentInUse());
    EXPECT_EQ(Count(LogText(), "[DidEzo] ProcessInput(D3D sample) failed E_FAIL (0x80004005) — latching CPU fallback"),
              1u);
    ASSERT_EQ(t.log->inputCleanPoints.size(), 1u);
    EXPECT_TRUE(t.log->inputCleanPoints[0]);
}

TEST_F(MfAsyncGpu, AsyncTransformTakesTextureSamples) {
    WithGpu();
    auto& t = AddAsync();
    auto e = Make();
    ASSERT_TRUE(e->Configure(64, 32, 1'000'000, 30));
    EXPECT_EQ(e->GpuResidentStatusText(), "ACTIVE (allocator ready; MF_SA_D3D11_AWARE=no, D3D mgr accepted)");
    ASSERT_TRUE(t.script->events->WaitIdle());
    const std::vector<uint8_t> frame = Pattern(64, 32);
    for (int i = 0; i < 3; ++i) {
        e->Encode(frame.data(), 64, 32, 64 * 4, 0);
        ASSERT_TRUE(t.script->events->WaitIdle());
    }
    EXPECT_EQ(t.log->processInputCalls, 3);
    EXPECT_EQ(t.log->inputData.at(2), std::vector<uint8_t>{});
    EXPECT_EQ(Outputs(), 3u);
}

}  // namespace
}  // namespace Veltrix
