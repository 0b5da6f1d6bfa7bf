// A scripted media platform: adapters, transforms that accept or reject types,
// fail to activate, report stream changes, fail buffer locks or ProcessInput,
// and record every codec property and message they receive.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encoder/media_platform.h"

namespace Veltrix::testing {

using namespace Veltrix::media;

struct FakeOutput {
    std::vector<uint8_t> bytes;
    bool cleanPoint = false;
    bool hasCleanPoint = true;
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
        : s_(std::move(s)), log_(std::move(log)) {}
    HResult GetAttributes(TransformAttributes* out) override {
        out->async = s_->async;
        out->d3d11Aware = false;
        return kS_OK;
    }
    HResult SetAsyncUnlock() override { return kS_OK; }
    HResult ProcessMessage(TransformMessage m, DeviceManager*) override {
        log_->messages.push_back(m);
        if (m == TransformMessage::SetD3DManager) return s_->acceptsD3DManager ? kS_OK : kE_NOTIMPL;
        return kS_OK;
    }
    HResult SetOutputType(int, const MediaType& t) override {
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
        log_->properties.push_back({p, v});
        return kS_OK;
    }
    HResult GetOutputStreamInfo(int, OutputStreamInfo* out) override {
        out->providesSamples = s_->providesSamples;
        out->sampleSize = 4096;
        return kS_OK;
    }
    HResult ProcessInput(int, Sample& sample) override {
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
        std::shared_ptr<MediaBuffer> b;
        sample.ConvertToContiguousBuffer(&b);
        uint8_t* d = nullptr;
        size_t len = 0;
        b->Lock(&d, nullptr, &len);
        log_->inputData.emplace_back(d, d + len);
        b->Unlock();
        pendingChanges_ = s_->streamChangesPerInput;
        FakeOutput o;
        if (!s_->outputs.empty()) {
            o = s_->outputs.front();
            s_->outputs.pop_front();
        } else {
            o.bytes = {0, 0, 0, 1, 0x41, 0x9A};
            o.cleanPoint = false;
        }
        pending_.push_back(o);
        return kS_OK;
    }
    HResult ProcessOutput(int, std::shared_ptr<Sample>* sample) override {
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
        return kS_OK;
    }

private:
    std::shared_ptr<FakeTransformScript> s_;
    std::shared_ptr<FakeTransformLog> log_;
    std::deque<FakeOutput> pending_;
    int pendingChanges_ = 0;
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
    Entry& Add(FakeTransformScript s) {
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
    HResult EnumAdapter(uint32_t i, AdapterInfo* out) override {
        if (i >= adapters.size()) return kDXGI_ERROR_NOT_FOUND;
        *out = adapters[i];
        return kS_OK;
    }
    HResult CreateDevice(const AdapterInfo* a, std::unique_ptr<Device>* out) override {
        deviceRequests.push_back(a ? *a : AdapterInfo{});
        if (!deviceWorks) return kE_FAIL;
        *out = std::make_unique<Device>();
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
