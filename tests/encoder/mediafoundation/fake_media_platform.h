// A scripted media platform: adapters, transforms that accept or reject types,
// fail to activate, report stream changes, fail buffer locks or ProcessInput,
// and record every codec property and message they receive. Asynchronous
// transforms deliver their events on a thread of their own; a device with a
// context runs the conversion on the CPU and fails where a test says so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "encoder/media_platform.h"
#include "encoder/nv12_converter.h"

namespace Veltrix::testing {

using namespace Veltrix::media;

// The platform's event thread of an asynchronous transform. It outlives the
// transform, as the system's work queue does, so it can deliver an event
// after teardown to a callback it still holds.
class FakeEventQueue {
public:
    struct Result final : AsyncResult {
        uint32_t type = 0;
    };
    FakeEventQueue() : thread_([this] { Run(); }) {}
    ~FakeEventQueue() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Push(uint32_t type) {
        {
            std::lock_guard<std::mutex> g(m_);
            events_.push_back(type);
        }
        cv_.notify_all();
    }
    HResult Begin(std::shared_ptr<AsyncCallback> cb) {
        std::lock_guard<std::mutex> g(m_);
        if (failBegin_) return kE_FAIL;
        if (shutDown_) return Hr(0xC00D3E85u);  // MF_E_SHUTDOWN
        if (pending_) return Hr(0xC00D36B2u);  // MF_E_MULTIPLE_BEGIN
        pending_ = std::move(cb);
        cv_.notify_all();
        return kS_OK;
    }
    // Until every event that has a waiting request was delivered (real time, bounded).
    bool WaitIdle() {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::seconds(10), [this] { return !invoking_ && (events_.empty() || !pending_); });
    }
    // A new generator: requests and events of an earlier transform are gone.
    void Reset() {
        std::lock_guard<std::mutex> g(m_);
        pending_.reset();
        events_.clear();
        shutDown_ = false;
    }
    // The transform was shut down: its request is dropped, new ones refused.
    void Shutdown() {
        std::lock_guard<std::mutex> g(m_);
        pending_.reset();
        events_.clear();
        shutDown_ = true;
        cv_.notify_all();
    }
    bool HasPendingRequest() {
        std::lock_guard<std::mutex> g(m_);
        return pending_ != nullptr;
    }
    void FailBegin(bool fail) {
        std::lock_guard<std::mutex> g(m_);
        failBegin_ = fail;
    }
    int Delivered() {
        std::lock_guard<std::mutex> g(m_);
        return delivered_;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            cv_.wait(l, [this] { return stop_ || (pending_ && !events_.empty()); });
            if (stop_) return;
            Result r;
            r.type = events_.front();
            events_.pop_front();
            std::shared_ptr<AsyncCallback> cb = std::move(pending_);
            invoking_ = true;
            l.unlock();
            cb->Invoke(r);
            cb.reset();
            l.lock();
            invoking_ = false;
            ++delivered_;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint32_t> events_;
    std::shared_ptr<AsyncCallback> pending_;
    bool invoking_ = false;
    bool stop_ = false;
    bool failBegin_ = false;
    bool shutDown_ = false;
    int delivered_ = 0;
    std::thread thread_;
};

class FakeEventGenerator final : public EventGenerator {
public:
    explicit FakeEventGenerator(std::shared_ptr<FakeEventQueue> q) : q_(std::move(q)) {}
    HResult BeginGetEvent(std::shared_ptr<AsyncCallback> cb) override { return q_->Begin(std::move(cb)); }
    HResult EndGetEvent(AsyncResult& r, uint32_t* type) override {
        *type = static_cast<FakeEventQueue::Result&>(r).type;
        return kS_OK;
    }

private:
    std::shared_ptr<FakeEventQueue> q_;
};

struct FakeOutput {
    std::vector<uint8_t> bytes;
    bool cleanPoint = false;
    bool hasCleanPoint = true;
    int64_t time = 0;  // set from the input
};

// What one scripted transform does.
struct FakeTransformScript {
    std::string name = "Fake Encoder";
    std::string vendorId;  // empty: software
    Subtype output = Subtype::H264;
    uint32_t category = kEnumSyncMft;  // which enumeration lists it (plus kEnumHardware when vendorId set)
    bool activateFails = false;
    bool async = false;
    bool acceptsD3DManager = false;
    bool hasCodecApi = true;
    HResult outputTypeResult = kS_OK;
    HResult inputTypeResult = kS_OK;
    bool offersNv12 = true;
    std::vector<uint8_t> sequenceHeader;
    bool providesSamples = true;
    // Output for each accepted input: a frame of scripted bytes (default: an H.264 IDR/P pair).
    std::deque<FakeOutput> outputs;
    int streamChangesPerInput = 0;  // stream changes before each input's output
    int processInputFailures = 0;   // next N ProcessInput calls fail with E_FAIL
    int notAcceptingOnce = 0;       // next N ProcessInput calls answer MF_E_NOTACCEPTING
    HResult availableTypeResult = kS_OK;
    bool d3d11Aware = false;
    // Asynchronous transforms: events go to this queue (made by FakePlatform::Add).
    std::shared_ptr<FakeEventQueue> events;
    int initialNeedInput = 1;      // NeedInput events at start of stream
    bool withholdNeedInput = false;  // no NeedInput after an input
    bool needInputFirst = false;   // NeedInput before HaveOutput (else after)
    bool drainCompletes = true;
    HResult drainResult = kS_OK;
    bool noEventGenerator = false;
};

// Everything the transform saw.
struct FakeTransformLog {
    std::vector<std::pair<CodecProperty, uint32_t>> properties;
    std::vector<TransformMessage> messages;
    std::vector<MediaType> outputTypes;
    std::vector<MediaType> inputTypes;
    std::vector<int64_t> inputTimes;
    std::vector<bool> inputCleanPoints;
    std::vector<std::vector<uint8_t>> inputData;
    int processInputCalls = 0;
    int activations = 0;
    // A hardware (asynchronous) transform holds a session from activation until Shutdown.
    int liveSessions = 0;
    int shutdowns = 0;
    int callsAfterShutdown = 0;
    bool Has(CodecProperty p, uint32_t v) const {
        for (auto& e : properties)
            if (e.first == p && e.second == v) return true;
        return false;
    }
    int Count(CodecProperty p) const {
        int n = 0;
        for (auto& e : properties) n += e.first == p;
        return n;
    }
    uint32_t Last(CodecProperty p) const {
        uint32_t v = 0xFFFFFFFF;
        for (auto& e : properties)
            if (e.first == p) v = e.second;
        return v;
    }
};

class FakeTransform final : public Transform, public CodecApi {
public:
    FakeTransform(std::shared_ptr<FakeTransformScript> s, std::shared_ptr<FakeTransformLog> log)
        : s_(std::move(s)), log_(std::move(log)) {
        if (s_->async) {
            std::lock_guard<std::recursive_mutex> g(m_);
            ++log_->liveSessions;
            session_ = true;
        }
    }
    HResult Shutdown() override {
        std::lock_guard<std::recursive_mutex> g(m_);
        ++log_->shutdowns;
        shut_ = true;
        if (session_) --log_->liveSessions;
        session_ = false;
        if (s_->async) s_->events->Shutdown();
        return kS_OK;
    }
    HResult GetAttributes(TransformAttributes* out) override {
        out->async = s_->async;
        out->d3d11Aware = s_->d3d11Aware;
        return kS_OK;
    }
    HResult SetAsyncUnlock() override { return kS_OK; }
    HResult ProcessMessage(TransformMessage m, DeviceManager*) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        if (shut_) return ++log_->callsAfterShutdown, Hr(0xC00D3E85u);
        log_->messages.push_back(m);
        if (m == TransformMessage::SetD3DManager) return s_->acceptsD3DManager ? kS_OK : kE_NOTIMPL;
        if (s_->async && m == TransformMessage::NotifyStartOfStream)
            for (int i = 0; i < s_->initialNeedInput; ++i) s_->events->Push(kMETransformNeedInput);
        if (s_->async && m == TransformMessage::CommandDrain) {
            if (Failed(s_->drainResult)) return s_->drainResult;
            if (s_->drainCompletes) s_->events->Push(kMETransformDrainComplete);
        }
        return kS_OK;
    }
    HResult GetEventGenerator(std::shared_ptr<EventGenerator>* out) override {
        if (!s_->async || s_->noEventGenerator) return kE_NOINTERFACE;
        s_->events->Reset();
        *out = std::make_shared<FakeEventGenerator>(s_->events);
        return kS_OK;
    }
    HResult SetOutputType(int, const MediaType& t) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        log_->outputTypes.push_back(t);
        return s_->outputTypeResult;
    }
    HResult GetInputAvailableType(int, uint32_t index, MediaType* out) override {
        if (!s_->offersNv12 || index > 1) return kMF_E_NO_MORE_TYPES;
        *out = MediaType{};
        out->subtype = index == 0 ? Subtype::Unknown : Subtype::Nv12;
        return kS_OK;
    }
    HResult SetInputType(int, const MediaType& t) override {
        log_->inputTypes.push_back(t);
        return s_->inputTypeResult;
    }
    HResult GetOutputCurrentType(int, MediaType* out) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        *out = log_->outputTypes.empty() ? MediaType{} : log_->outputTypes.back();
        out->sequenceHeader = s_->sequenceHeader;
        return kS_OK;
    }
    HResult GetOutputAvailableType(int, uint32_t, MediaType* out) override {
        if (Failed(s_->availableTypeResult)) return s_->availableTypeResult;
        return GetOutputCurrentType(0, out);
    }
    CodecApi* GetCodecApi() override { return s_->hasCodecApi ? this : nullptr; }
    HResult SetValue(CodecProperty p, uint32_t v) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        log_->properties.push_back({p, v});
        return kS_OK;
    }
    HResult GetOutputStreamInfo(int, OutputStreamInfo* out) override {
        out->providesSamples = s_->providesSamples;
        out->sampleSize = 4096;
        return kS_OK;
    }
    HResult ProcessInput(int, Sample& sample) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        if (shut_) return ++log_->callsAfterShutdown, Hr(0xC00D3E85u);
        ++log_->processInputCalls;
        if (s_->notAcceptingOnce > 0) {
            --s_->notAcceptingOnce;
            return kMF_E_NOTACCEPTING;
        }
        if (s_->processInputFailures > 0) {
            --s_->processInputFailures;
            return kE_FAIL;
        }
        log_->inputTimes.push_back(sample.Time());
        log_->inputCleanPoints.push_back(sample.CleanPoint() != 0);
        if (sample.Native()) {
            log_->inputData.emplace_back();  // a texture sample
        } else {
            std::shared_ptr<MediaBuffer> b;
            sample.ConvertToContiguousBuffer(&b);
            uint8_t* d = nullptr;
            size_t len = 0;
            b->Lock(&d, nullptr, &len);
            log_->inputData.emplace_back(d, d + len);
            b->Unlock();
        }
        pendingChanges_ = s_->streamChangesPerInput;
        FakeOutput o;
        if (!s_->outputs.empty()) {
            o = s_->outputs.front();
            s_->outputs.pop_front();
        } else {
            o.bytes = {0, 0, 0, 1, 0x41, 0x9A};
            o.cleanPoint = false;
        }
        o.time = sample.Time();
        pending_.push_back(o);
        if (s_->async) {
            if (s_->needInputFirst && !s_->withholdNeedInput) s_->events->Push(kMETransformNeedInput);
            for (int i = 0; i <= pendingChanges_; ++i) s_->events->Push(kMETransformHaveOutput);
            if (!s_->needInputFirst && !s_->withholdNeedInput) s_->events->Push(kMETransformNeedInput);
        }
        return kS_OK;
    }
    HResult ProcessOutput(int, std::shared_ptr<Sample>* sample) override {
        std::lock_guard<std::recursive_mutex> g(m_);
        if (pending_.empty()) return kMF_E_TRANSFORM_NEED_MORE_INPUT;
        if (pendingChanges_ > 0) {
            --pendingChanges_;
            return kMF_E_TRANSFORM_STREAM_CHANGE;
        }
        FakeOutput o = pending_.front();
        pending_.pop_front();
        std::shared_ptr<MediaBuffer> buf;
        if (s_->providesSamples) {
            *sample = std::make_shared<Sample>();
            buf = std::make_shared<MemoryBuffer>(o.bytes.size());
            (*sample)->AddBuffer(buf);
        } else {
            buf = (*sample)->Buffer(0);
        }
        uint8_t* d = nullptr;
        size_t max = 0;
        buf->Lock(&d, &max, nullptr);
        if (o.bytes.size() > max) return kE_FAIL;
        std::copy(o.bytes.begin(), o.bytes.end(), d);
        buf->Unlock();
        buf->SetCurrentLength(o.bytes.size());
        if (o.hasCleanPoint) (*sample)->SetCleanPoint(o.cleanPoint ? 1 : 0);
        (*sample)->SetTime(o.time);
        return kS_OK;
    }

private:
    std::recursive_mutex m_;  // the event thread and the encoder thread both call in
    std::shared_ptr<FakeTransformScript> s_;
    std::shared_ptr<FakeTransformLog> log_;
    std::deque<FakeOutput> pending_;
    int pendingChanges_ = 0;
    bool session_ = false, shut_ = false;
};

class FakeActivation final : public Activation {
public:
    FakeActivation(std::shared_ptr<FakeTransformScript> s, std::shared_ptr<FakeTransformLog> log)
        : s_(std::move(s)), log_(std::move(log)) {}
    HResult GetFriendlyName(std::string* out) override {
        if (s_->name.empty()) return kMF_E_ATTRIBUTENOTFOUND;
        *out = s_->name;
        return kS_OK;
    }
    HResult GetHardwareVendorId(std::string* out) override {
        if (s_->vendorId.empty()) return kMF_E_ATTRIBUTENOTFOUND;
        *out = s_->vendorId;
        return kS_OK;
    }
    HResult ActivateTransform(std::unique_ptr<Transform>* out) override {
        if (s_->activateFails) return kE_NOINTERFACE;
        ++log_->activations;
        *out = std::make_unique<FakeTransform>(s_, log_);
        return kS_OK;
    }

private:
    std::shared_ptr<FakeTransformScript> s_;
    std::shared_ptr<FakeTransformLog> log_;
};

// A buffer whose Lock fails.
class FailingBuffer final : public MediaBuffer {
public:
    HResult Lock(uint8_t**, size_t*, size_t*) override { return kE_ACCESSDENIED; }
    HResult Unlock() override { return kS_OK; }
    HResult SetCurrentLength(size_t) override { return kS_OK; }
    size_t CurrentLength() const override { return 0; }
};

// --- GPU ---

// What the fake device and allocator do, and what they saw.
struct FakeGpu {
    bool context = true;
    HResult compileResult = kS_OK;
    std::string compileMessage;
    HResult computeShaderResult = kS_OK;
    int failTextureAt = -1;  // that CreateTexture call (counted from 0) fails
    int failMapAfter = -1;   // Map succeeds this many times, then fails
    bool failViews = false;  // unordered-access views on allocator textures fail
    bool noQuery = false;
    HResult allocatorResult = kS_OK, attributesResult = kS_OK, mediaTypeResult = kS_OK, initializeResult = kS_OK;
    int poolSize = 4;
    int allocateFailures = 0;  // next N AllocateSample calls answer empty
    size_t pitchPad = 64;      // mapped rows are this much longer than the data

    int compiles = 0, shaders = 0, textureCalls = 0, maps = 0, dispatches = 0, copies = 0, flushes = 0;
    int queryEnds = 0, viewsOnSamples = 0;
    uint32_t groupsX = 0, groupsY = 0;
    bool lastUnbindSource = false;
    std::vector<TextureDesc> textures;
    uint32_t allocatorBind = 0, allocatorInitial = 0, allocatorMax = 0;
    MediaType allocatorType;
};

struct FakeTexture final : GpuObject {
    TextureDesc desc;
    size_t bpp = 4, pitch = 0;
    std::vector<uint8_t> bytes;
};
struct FakeView final : GpuObject {
    std::shared_ptr<FakeTexture> texture;
    GpuFormat format = GpuFormat::R8;
};

class FakeDevice final : public Device {
public:
    explicit FakeDevice(std::shared_ptr<FakeGpu> g) : g_(std::move(g)) {}
    bool HasContext() const override { return g_->context; }
    HResult CreateComputeShader(const std::vector<uint8_t>& code, GpuRef* out) override {
        if (Failed(g_->computeShaderResult)) return g_->computeShaderResult;
        if (code.empty()) return kE_INVALIDARG;
        ++g_->shaders;
        *out = std::make_shared<GpuObject>();
        return kS_OK;
    }
    HResult CreateTexture(const TextureDesc& d, GpuRef* out) override {
        if (g_->textureCalls++ == g_->failTextureAt) return kE_OUTOFMEMORY;
        g_->textures.push_back(d);
        *out = Make(d);
        return kS_OK;
    }
    static std::shared_ptr<FakeTexture> Make(const TextureDesc& d, size_t pad = 64) {
        auto t = std::make_shared<FakeTexture>();
        t->desc = d;
        t->bpp = d.format == GpuFormat::Bgra8 ? 4 : d.format == GpuFormat::R8G8 ? 2 : 1;
        t->pitch = d.width * t->bpp + pad;
        t->bytes.assign(t->pitch * d.height * (d.format == GpuFormat::Nv12 ? 2 : 1), 0);
        return t;
    }
    HResult CreateShaderResourceView(GpuObject& t, GpuRef* out) override {
        auto v = std::make_shared<FakeView>();
        v->texture = Own(t);
        v->format = GpuFormat::Bgra8;
        *out = v;
        return kS_OK;
    }
    HResult CreateUnorderedAccessView(GpuObject& t, GpuFormat f, int, GpuRef* out) override {
        auto tex = Own(t);
        if (!tex) return kE_INVALIDARG;
        if (tex->desc.format == GpuFormat::Nv12) {
            if (g_->failViews) return kE_INVALIDARG;
            ++g_->viewsOnSamples;
        }
        auto v = std::make_shared<FakeView>();
        v->texture = tex;
        v->format = f;
        *out = v;
        return kS_OK;
    }
    HResult CreateEventQuery(GpuRef* out) override {
        if (g_->noQuery) return kE_NOTIMPL;
        *out = std::make_shared<GpuObject>();
        return kS_OK;
    }
    HResult Map(GpuObject& t, MapMode, MappedTexture* out) override {
        if (g_->failMapAfter >= 0 && g_->maps >= g_->failMapAfter) return kE_FAIL;
        ++g_->maps;
        auto& tex = static_cast<FakeTexture&>(t);
        out->data = tex.bytes.data();
        out->rowPitch = tex.pitch;
        return kS_OK;
    }
    void Unmap(GpuObject&) override {}
    // The shader's arithmetic, on the CPU, through the textures' own row pitches.
    void Dispatch(GpuObject&, GpuObject& src, GpuObject& y, GpuObject& uv, uint32_t gx, uint32_t gy,
                  bool unbindSource) override {
        ++g_->dispatches;
        g_->groupsX = gx;
        g_->groupsY = gy;
        g_->lastUnbindSource = unbindSource;
        auto& s = *static_cast<FakeView&>(src).texture;
        auto& yt = *static_cast<FakeView&>(y).texture;
        auto& ut = *static_cast<FakeView&>(uv).texture;
        if (yt.desc.format != GpuFormat::R8) return;
        const int w = static_cast<int>(s.desc.width), h = static_cast<int>(s.desc.height);
        std::vector<uint8_t> yp(static_cast<size_t>(w) * h), uvp(static_cast<size_t>(w) * (h / 2));
        ConvertBgraToNv12Portable(s.bytes.data(), static_cast<int>(s.pitch), yp.data(), uvp.data(), w, h);
        for (int r = 0; r < h; ++r) std::memcpy(&yt.bytes[r * yt.pitch], &yp[static_cast<size_t>(r) * w], w);
        for (int r = 0; r < h / 2; ++r) std::memcpy(&ut.bytes[r * ut.pitch], &uvp[static_cast<size_t>(r) * w], w);
    }
    void CopyResource(GpuObject& dst, GpuObject& src) override {
        ++g_->copies;
        static_cast<FakeTexture&>(dst).bytes = static_cast<FakeTexture&>(src).bytes;
    }
    void EndQuery(GpuObject&) override { ++g_->queryEnds; }
    HResult GetQueryData(GpuObject&, uint32_t* done) override {
        *done = 1;
        return kS_OK;
    }
    void Flush() override { ++g_->flushes; }

private:
    static std::shared_ptr<FakeTexture> Own(GpuObject& t) {
        auto* tex = dynamic_cast<FakeTexture*>(&t);
        if (!tex) return nullptr;
        return std::shared_ptr<FakeTexture>(std::shared_ptr<FakeTexture>{}, tex);  // non-owning; textures outlive views here
    }
    std::shared_ptr<FakeGpu> g_;
};

struct FakeNativeSample final : NativeSample {
    GpuRef y, uv;
    HResult GetCachedViews(GpuRef* oy, GpuRef* ouv) override {
        if (!y || !uv) return kMF_E_ATTRIBUTENOTFOUND;
        *oy = y;
        *ouv = uv;
        return kS_OK;
    }
    HResult SetCachedViews(const GpuRef& ny, const GpuRef& nuv) override {
        y = ny;
        uv = nuv;
        return kS_OK;
    }
};

struct FakeGpuBuffer final : GpuBuffer {
    GpuRef texture;
    HResult Lock(uint8_t**, size_t*, size_t*) override { return kE_NOTIMPL; }
    HResult Unlock() override { return kS_OK; }
    HResult SetCurrentLength(size_t) override { return kS_OK; }
    size_t CurrentLength() const override { return 0; }
    HResult GetTexture(GpuRef* out) override {
        *out = texture;
        return kS_OK;
    }
    HResult GetSubresourceIndex(uint32_t* out) override {
        *out = 0;
        return kS_OK;
    }
};

class FakeAllocator final : public SampleAllocator {
public:
    explicit FakeAllocator(std::shared_ptr<FakeGpu> g) : g_(std::move(g)) {}
    HResult SetDirectXManager(DeviceManager&) override { return kS_OK; }
    HResult SetAttributes(uint32_t, uint32_t bind, uint32_t) override {
        g_->allocatorBind = bind;
        return g_->attributesResult;
    }
    HResult SetMediaType(const MediaType& t) override {
        g_->allocatorType = t;
        return g_->mediaTypeResult;
    }
    HResult Initialize(uint32_t initial, uint32_t max) override {
        g_->allocatorInitial = initial;
        g_->allocatorMax = max;
        if (Failed(g_->initializeResult)) return g_->initializeResult;
        for (int i = 0; i < g_->poolSize; ++i) {
            TextureDesc d;
            d.width = g_->allocatorType.width;
            d.height = g_->allocatorType.height;
            d.format = GpuFormat::Nv12;
            pool_.push_back({std::make_shared<FakeNativeSample>(), FakeDevice::Make(d), {}});
        }
        return kS_OK;
    }
    HResult AllocateSample(std::shared_ptr<Sample>* out) override {
        if (g_->allocateFailures > 0) {
            --g_->allocateFailures;
            return kMF_E_SAMPLEALLOCATOR_EMPTY;
        }
        for (auto& slot : pool_) {
            if (!slot.inUse.expired()) continue;
            auto sample = std::make_shared<Sample>();
            sample->SetNative(slot.native);
            auto b = std::make_shared<FakeGpuBuffer>();
            b->texture = slot.texture;
            sample->AddBuffer(b);
            slot.inUse = sample;
            *out = sample;
            return kS_OK;
        }
        return kMF_E_SAMPLEALLOCATOR_EMPTY;
    }

private:
    struct Slot {
        std::shared_ptr<FakeNativeSample> native;
        std::shared_ptr<FakeTexture> texture;
        std::weak_ptr<Sample> inUse;
    };
    std::shared_ptr<FakeGpu> g_;
    std::vector<Slot> pool_;
};

class FakePlatform final : public Platform {
public:
    struct Entry {
        std::shared_ptr<FakeTransformScript> script;
        std::shared_ptr<FakeTransformLog> log;
    };
    std::vector<AdapterInfo> adapters;
    std::vector<Entry> transforms;
    bool deviceWorks = false;
    bool failBufferLocks = false;
    std::vector<uint32_t> enumCalls;
    std::vector<AdapterInfo> deviceRequests;
    int startups = 0, shutdowns = 0;

    // Adds a transform; returns its script and log.
    std::shared_ptr<FakeGpu> gpu;  // with deviceWorks: devices have a context and GPU objects

    Entry& Add(FakeTransformScript s) {
        if (s.async && !s.events) {
            s.events = std::make_shared<FakeEventQueue>();
            s.category = kEnumAsyncMft;
        }
        transforms.push_back({std::make_shared<FakeTransformScript>(std::move(s)),
                              std::make_shared<FakeTransformLog>()});
        return transforms.back();
    }

    HResult Startup() override {
        ++startups;
        return kS_OK;
    }
    HResult Shutdown() override {
        ++shutdowns;
        return kS_OK;
    }
    HResult adapterFailure = kS_OK;  // every index fails with this, never "not found"
    int adapterCalls = 0;
    HResult EnumAdapter(uint32_t i, AdapterInfo* out) override {
        ++adapterCalls;
        if (Failed(adapterFailure)) return adapterFailure;
        if (i >= adapters.size()) return kDXGI_ERROR_NOT_FOUND;
        *out = adapters[i];
        return kS_OK;
    }
    HResult CreateDevice(const AdapterInfo* a, std::unique_ptr<Device>* out) override {
        deviceRequests.push_back(a ? *a : AdapterInfo{});
        if (!deviceWorks) return kE_FAIL;
        if (gpu)
            *out = std::make_unique<FakeDevice>(gpu);
        else
            *out = std::make_unique<Device>();
        return kS_OK;
    }
    HResult CompileShader(const std::string& source, const char*, const char* entry, const char* target,
                          std::vector<uint8_t>* code, std::string* message) override {
        if (!gpu) return kE_NOTIMPL;
        ++gpu->compiles;
        if (Failed(gpu->compileResult)) {
            *message = gpu->compileMessage;
            return gpu->compileResult;
        }
        if (source.find("[numthreads(8, 8, 1)]") == std::string::npos || std::string(entry) != "main" ||
            std::string(target) != "cs_5_0")
            return kE_INVALIDARG;
        code->assign(16, 0xCC);
        return kS_OK;
    }
    HResult CreateVideoSampleAllocator(std::unique_ptr<SampleAllocator>* out) override {
        if (!gpu) return kE_NOTIMPL;
        if (Failed(gpu->allocatorResult)) return gpu->allocatorResult;
        *out = std::make_unique<FakeAllocator>(gpu);
        return kS_OK;
    }
    HResult CreateDeviceManager(Device&, std::unique_ptr<DeviceManager>* out) override {
        *out = std::make_unique<DeviceManager>();
        return kS_OK;
    }
    HResult EnumTransforms(uint32_t flags, Subtype output, std::vector<std::unique_ptr<Activation>>* out) override {
        enumCalls.push_back(flags);
        for (auto& e : transforms) {
            const bool hw = !e.script->vendorId.empty();
            if (e.script->output != output) continue;
            if (((flags & kEnumHardware) != 0) != hw) continue;
            const uint32_t kinds = flags & (kEnumSyncMft | kEnumAsyncMft);
            if (kinds && (kinds & e.script->category) == 0) continue;
            out->push_back(std::make_unique<FakeActivation>(e.script, e.log));
        }
        return kS_OK;
    }
    HResult CreateMemoryBuffer(size_t n, std::shared_ptr<MediaBuffer>* out) override {
        if (failBufferLocks) {
            *out = std::make_shared<FailingBuffer>();
            return kS_OK;
        }
        return Platform::CreateMemoryBuffer(n, out);
    }
};

}  // namespace Veltrix::testing
