// An H.264 encoder transform for the Wine tests, shaped like a vendor's: a COM
// in-process server registered with MFTRegister, once as a synchronous
// software transform and once as an asynchronous hardware one (NVIDIA's
// vendor id). Its pictures are I_PCM, so what a decoder gets back equals the
// NV12 the plug-in handed in.
//
// Environment (read when a transform is created):
//   VX_TEST_MFT_RECORD  file (Windows path) that gets one line per event worth
//                       asserting: codec properties set, types, key frames,
//                       D3D manager, shutdown.
//   VX_TEST_MFT_FAULTS  comma list of misbehaviours: refuse-type (the first
//                       SetOutputType of the process), fail-input-once,
//                       withhold-need-input (the first asynchronous transform
//                       of the process stops asking for input after its 10th
//                       picture, as a wedged driver does), no-drain-complete,
//                       stream-change (once, after the 10th picture).
//   VX_TEST_MFT_DISABLE sync or async: that registration fails to activate, as
//                       a driver that is installed but not working does.
//   VX_TEST_MFT_DUMP    file (Windows path) that gets every input picture as
//                       tight NV12, so a test can compare what was decoded.
#include <initguid.h>

#include <windows.h>

#include <codecapi.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "h264_pcm_writer.h"

__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda)

namespace {

// {6B1F4C20-7A3E-4E55-9D0A-5E8C1B2A9001} and ...9002.
constexpr CLSID kSyncClsid = {0x6b1f4c20, 0x7a3e, 0x4e55, {0x9d, 0x0a, 0x5e, 0x8c, 0x1b, 0x2a, 0x90, 0x01}};
constexpr CLSID kAsyncClsid = {0x6b1f4c20, 0x7a3e, 0x4e55, {0x9d, 0x0a, 0x5e, 0x8c, 0x1b, 0x2a, 0x90, 0x02}};
constexpr GUID kVendorIdAttribute = {0x3aecb0cc, 0x035b, 0x4bcc, {0x81, 0x85, 0x2b, 0x8d, 0x55, 0x1e, 0xf3, 0xaf}};
const wchar_t kSyncName[] = L"Veltrix Test H.264 Encoder (software)";
const wchar_t kAsyncName[] = L"Veltrix Test NVIDIA H.264 Encoder (async)";
constexpr GUID kNoExtendedType = {};
constexpr UINT32 kMaxWidth = 640, kMaxHeight = 360;

HMODULE gModule = nullptr;
std::atomic<long> gObjects{0}, gLocks{0};

std::string Env(const char* name) {
    char buf[1024];
    const DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

bool HasFault(const std::string& faults, const char* name) {
    std::string list = ",", needle = ",";
    list += faults;
    list += ',';
    needle += name;
    needle += ',';
    return list.find(needle) != std::string::npos;
}

void Record(const char* fmt, ...) {
    static std::mutex m;
    const std::string path = Env("VX_TEST_MFT_RECORD");
    if (path.empty()) return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(m);
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

std::atomic<bool> gRefusedOnce{false};
std::atomic<bool> gWithheldOnce{false};

template <typename T>
void SafeRelease(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

struct Property {
    const GUID* key;
    const char* name;
};
const Property kProperties[] = {
    {&CODECAPI_AVEncCommonRateControlMode, "RateControlMode"},
    {&CODECAPI_AVEncCommonMeanBitRate, "MeanBitRate"},
    {&CODECAPI_AVEncCommonMaxBitRate, "MaxBitRate"},
    {&CODECAPI_AVEncCommonBufferSize, "BufferSize"},
    {&CODECAPI_AVEncCommonQuality, "Quality"},
    {&CODECAPI_AVEncCommonRealTime, "RealTime"},
    {&CODECAPI_AVEncMPVGOPSize, "GopSize"},
    {&CODECAPI_AVEncMPVDefaultBPictureCount, "BPictureCount"},
    {&CODECAPI_AVLowLatencyMode, "LowLatencyMode"},
    {&CODECAPI_AVEncVideoForceKeyFrame, "ForceKeyFrame"},
    {&CODECAPI_AVEncVideoEncodeQP, "EncodeQP"},
};
constexpr size_t kPropertyCount = sizeof kProperties / sizeof kProperties[0];

int PropertyIndex(const GUID* api) {
    if (!api) return -1;
    for (size_t i = 0; i < kPropertyCount; ++i)
        if (*kProperties[i].key == *api) return static_cast<int>(i);
    return -1;
}

ULONGLONG VariantNumber(const VARIANT& v) {
    switch (v.vt) {
        case VT_BOOL: return v.boolVal ? 1 : 0;
        case VT_UI8: return v.ullVal;
        case VT_I8: return static_cast<ULONGLONG>(v.llVal);
        case VT_I4: return static_cast<ULONGLONG>(v.lVal);
        default: return v.ulVal;
    }
}

class TestEncoder final : public IMFTransform, public ICodecAPI, public IMFMediaEventGenerator, public IMFShutdown {
public:
    explicit TestEncoder(bool async) : async_(async), faults_(Env("VX_TEST_MFT_FAULTS")), dump_(Env("VX_TEST_MFT_DUMP")) {
        ++gObjects;
        MFCreateAttributes(&attributes_, 4);
        if (async_) {
            attributes_->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
            attributes_->SetUINT32(MFT_SUPPORT_DYNAMIC_FORMAT_CHANGE, TRUE);
            attributes_->SetUINT32(MF_SA_D3D11_AWARE, TRUE);
            MFCreateEventQueue(&events_);
        }
        Record("create %s", async_ ? "async" : "sync");
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IMFTransform)
            *out = static_cast<IMFTransform*>(this);
        else if (iid == __uuidof(ICodecAPI))
            *out = static_cast<ICodecAPI*>(this);
        else if (async_ && iid == IID_IMFMediaEventGenerator)
            *out = static_cast<IMFMediaEventGenerator*>(this);
        else if (async_ && iid == IID_IMFShutdown)
            *out = static_cast<IMFShutdown*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long n = --refs_;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    // IMFTransform
    STDMETHODIMP GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override {
        if (!inMin || !inMax || !outMin || !outMax) return E_POINTER;
        *inMin = *inMax = *outMin = *outMax = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamCount(DWORD* in, DWORD* out) override {
        if (!in || !out) return E_POINTER;
        *in = *out = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!info) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        *info = {};
        info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
        info->cbSize = width_ * height_ * 3 / 2;
        return S_OK;
    }
    STDMETHODIMP GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!info) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        *info = {};
        // The software one writes into the caller's samples, the hardware one brings its own.
        info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                        (async_ ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0);
        info->cbSize = MaxOutputSize();
        return S_OK;
    }
    STDMETHODIMP GetAttributes(IMFAttributes** out) override {
        if (!out) return E_POINTER;
        *out = attributes_;
        if (attributes_) attributes_->AddRef();
        return attributes_ ? S_OK : E_NOTIMPL;
    }
    STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }

    STDMETHODIMP GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** out) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!out) return E_POINTER;
        if (index > 0) return MF_E_NO_MORE_TYPES;
        std::lock_guard<std::mutex> g(m_);
        return MakeType(MFVideoFormat_NV12, out);
    }
    STDMETHODIMP GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** out) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!out) return E_POINTER;
        if (index > 0) return MF_E_NO_MORE_TYPES;
        std::lock_guard<std::mutex> g(m_);
        return MakeType(MFVideoFormat_H264, out);
    }
    STDMETHODIMP SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        if (!type) return S_OK;
        UINT32 w = 0, h = 0;
        GUID sub{};
        if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &sub)) || sub != MFVideoFormat_NV12) return MF_E_INVALIDMEDIATYPE;
        if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h))) return MF_E_INVALIDMEDIATYPE;
        if (!outputSet_ || w != width_ || h != height_) return MF_E_INVALIDMEDIATYPE;
        if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
        inputSet_ = true;
        Record("input-type NV12 %ux%u", w, h);
        return S_OK;
    }
    STDMETHODIMP SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        if (!type) return S_OK;
        GUID sub{};
        UINT32 w = 0, h = 0, fn = 0, fd = 0;
        if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &sub)) || sub != MFVideoFormat_H264) return MF_E_INVALIDMEDIATYPE;
        if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h)) || w < 16 || h < 16 || w > kMaxWidth ||
            h > kMaxHeight || (w | h) & 1)
            return MF_E_INVALIDMEDIATYPE;
        if (HasFault(faults_, "refuse-type") && !gRefusedOnce.exchange(true)) {
            Record("refused output-type");
            return MF_E_INVALIDMEDIATYPE;
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
        if (SUCCEEDED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &fn, &fd)) && fn && fd) fpsNum_ = fn, fpsDen_ = fd;
        UINT32 bitrate = 0;
        type->GetUINT32(MF_MT_AVG_BITRATE, &bitrate);
        width_ = w;
        height_ = h;
        writer_ = Veltrix::testing::H264PcmWriter(static_cast<int>(w), static_cast<int>(h));
        outputSet_ = true;
        inputSet_ = false;
        keyPending_ = true;
        Record("output-type H264 %ux%u %u/%u fps %u bps", w, h, fpsNum_, fpsDen_, bitrate);
        return S_OK;
    }
    STDMETHODIMP GetInputCurrentType(DWORD stream, IMFMediaType** out) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!out) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        if (!inputSet_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        return MakeType(MFVideoFormat_NV12, out);
    }
    STDMETHODIMP GetOutputCurrentType(DWORD stream, IMFMediaType** out) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!out) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        if (!outputSet_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        return MakeType(MFVideoFormat_H264, out);
    }
    STDMETHODIMP GetInputStatus(DWORD stream, DWORD* flags) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!flags) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        *flags = pending_.empty() ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
        return S_OK;
    }
    STDMETHODIMP GetOutputStatus(DWORD* flags) override {
        if (!flags) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        *flags = pending_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
        return S_OK;
    }
    STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override {
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        switch (message) {
            case MFT_MESSAGE_SET_D3D_MANAGER: {
                if (!async_) return E_NOTIMPL;  // a software encoder: system memory only
                SafeRelease(manager_);
                if (param) {
                    HRESULT hr = reinterpret_cast<IUnknown*>(param)->QueryInterface(IID_IMFDXGIDeviceManager,
                                                                                    reinterpret_cast<void**>(&manager_));
                    if (FAILED(hr)) return hr;
                }
                Record("d3d-manager %s", param ? "set" : "cleared");
                return S_OK;
            }
            case MFT_MESSAGE_COMMAND_FLUSH:
                pending_.clear();
                return S_OK;
            case MFT_MESSAGE_COMMAND_DRAIN:
                Record("drain");
                if (async_) {
                    draining_ = true;
                    if (pending_.empty()) FinishDrain();
                }
                return S_OK;
            case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
                if (async_) RequestInput();
                return S_OK;
            default:
                return S_OK;
        }
    }

    STDMETHODIMP ProcessInput(DWORD stream, IMFSample* sample, DWORD) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!sample) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        if (async_ && !Unlocked()) return MF_E_TRANSFORM_ASYNC_LOCKED;
        if (!inputSet_ || !outputSet_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (!async_ && !pending_.empty()) return MF_E_NOTACCEPTING;
        if (HasFault(faults_, "fail-input-once") && !failedInput_) {
            failedInput_ = true;
            Record("failed input");
            return E_FAIL;
        }
        std::vector<uint8_t> nv12;
        const HRESULT hr = ReadPicture(sample, &nv12);
        if (FAILED(hr)) return hr;
        if (!dump_.empty()) {
            if (FILE* f = std::fopen(dump_.c_str(), "ab")) {
                std::fwrite(nv12.data(), 1, nv12.size(), f);
                std::fclose(f);
            }
        }
        LONGLONG time = 0, duration = 0;
        sample->GetSampleTime(&time);
        sample->GetSampleDuration(&duration);
        UINT32 clean = 0;
        const bool key = keyPending_ || (SUCCEEDED(sample->GetUINT32(MFSampleExtension_CleanPoint, &clean)) && clean) ||
                         (gop_ > 0 && sinceKey_ + 1 >= gop_);
        keyPending_ = false;
        sinceKey_ = key ? 0 : sinceKey_ + 1;
        Output o;
        o.bytes = writer_.Encode(nv12.data(), width_, key);
        o.time = time;
        o.duration = duration;
        o.key = key;
        pending_.push_back(std::move(o));
        ++pictures_;
        if (key) Record("key %u %ux%u", pictures_, width_, height_);
        if (HasFault(faults_, "stream-change") && pictures_ == 10) streamChangePending_ = true;
        if (async_ && pictures_ == 10 && HasFault(faults_, "withhold-need-input") && !gWithheldOnce.exchange(true)) {
            withholding_ = true;
            Record("withholding input");
        }
        if (async_) Queue(METransformHaveOutput);
        return S_OK;
    }

    STDMETHODIMP ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
        if (!buffers || !status || count < 1) return E_POINTER;
        *status = 0;
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        if (async_ && !Unlocked()) return MF_E_TRANSFORM_ASYNC_LOCKED;
        if (streamChangePending_) {
            // A new output type (the same shape here): the caller sets it again and asks anew.
            streamChangePending_ = false;
            keyPending_ = true;
            buffers[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
            Record("stream-change");
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (pending_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
        Output o = std::move(pending_.front());
        pending_.pop_front();
        IMFSample* out = buffers[0].pSample;
        HRESULT hr = S_OK;
        if (async_) {
            if (out) return E_INVALIDARG;  // we provide the samples
            hr = NewSample(o.bytes, &out);
            if (FAILED(hr)) return hr;
            buffers[0].pSample = out;
        } else {
            if (!out) return E_INVALIDARG;
            IMFMediaBuffer* b = nullptr;
            hr = out->GetBufferByIndex(0, &b);
            BYTE* p = nullptr;
            DWORD max = 0;
            if (SUCCEEDED(hr)) hr = b->Lock(&p, &max, nullptr);
            if (SUCCEEDED(hr)) {
                if (max >= o.bytes.size()) std::memcpy(p, o.bytes.data(), o.bytes.size());
                b->Unlock();
                hr = max >= o.bytes.size() ? b->SetCurrentLength(static_cast<DWORD>(o.bytes.size()))
                                           : MF_E_BUFFERTOOSMALL;
            }
            SafeRelease(b);
            if (FAILED(hr)) return hr;
        }
        out->SetSampleTime(o.time);
        out->SetSampleDuration(o.duration);
        out->SetUINT32(MFSampleExtension_CleanPoint, o.key ? TRUE : FALSE);
        buffers[0].dwStatus = 0;
        if (async_) {
            if (draining_ && pending_.empty())
                FinishDrain();
            else
                RequestInput();
        }
        return S_OK;
    }

    // ICodecAPI
    STDMETHODIMP IsSupported(const GUID* api) override { return PropertyIndex(api) >= 0 ? S_OK : E_NOTIMPL; }
    STDMETHODIMP IsModifiable(const GUID* api) override { return PropertyIndex(api) >= 0 ? S_OK : S_FALSE; }
    STDMETHODIMP GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetValue(const GUID* api, VARIANT* value) override {
        const int i = PropertyIndex(api);
        if (i < 0) return E_NOTIMPL;
        if (!value) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        VariantInit(value);
        value->vt = VT_UI8;
        value->ullVal = values_[i];
        return S_OK;
    }
    STDMETHODIMP SetValue(const GUID* api, VARIANT* value) override {
        const int i = PropertyIndex(api);
        if (i < 0) return E_NOTIMPL;
        if (!value) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        if (shut_) return MF_E_SHUTDOWN;
        const ULONGLONG v = VariantNumber(*value);
        values_[i] = v;
        if (*api == CODECAPI_AVEncVideoForceKeyFrame && v) keyPending_ = true;
        if (*api == CODECAPI_AVEncMPVGOPSize) gop_ = static_cast<UINT32>(v);
        Record("set %s=%llu", kProperties[i].name, static_cast<unsigned long long>(v));
        return S_OK;
    }
    STDMETHODIMP RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaults() override { return E_NOTIMPL; }
    STDMETHODIMP SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

    // IMFMediaEventGenerator: Media Foundation's own queue does the work.
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override {
        return events_ ? events_->GetEvent(flags, event) : E_NOTIMPL;
    }
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
        return events_ ? events_->BeginGetEvent(callback, state) : E_NOTIMPL;
    }
    STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
        return events_ ? events_->EndGetEvent(result, event) : E_NOTIMPL;
    }
    STDMETHODIMP QueueEvent(MediaEventType type, REFGUID ext, HRESULT status, const PROPVARIANT* value) override {
        return events_ ? events_->QueueEventParamVar(type, ext, status, value) : E_NOTIMPL;
    }

    // IMFShutdown
    STDMETHODIMP Shutdown() override {
        std::lock_guard<std::mutex> g(m_);
        if (!shut_) {
            shut_ = true;
            if (events_) events_->Shutdown();
            SafeRelease(manager_);
            pending_.clear();
            Record("shutdown");
        }
        return S_OK;
    }
    STDMETHODIMP GetShutdownStatus(MFSHUTDOWN_STATUS* status) override {
        if (!status) return E_POINTER;
        std::lock_guard<std::mutex> g(m_);
        if (!shut_) return MF_E_INVALIDREQUEST;
        *status = MFSHUTDOWN_COMPLETED;
        return S_OK;
    }

private:
    struct Output {
        std::vector<uint8_t> bytes;
        LONGLONG time = 0, duration = 0;
        bool key = false;
    };

    ~TestEncoder() {
        Record("destroy %s%s", async_ ? "async" : "sync", async_ && !shut_ ? " (never shut down)" : "");
        if (events_) events_->Shutdown();
        SafeRelease(events_);
        SafeRelease(manager_);
        SafeRelease(attributes_);
        --gObjects;
    }

    bool Unlocked() const {
        UINT32 v = 0;
        return SUCCEEDED(attributes_->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &v)) && v;
    }

    DWORD MaxOutputSize() const {
        const DWORD mbs = ((width_ + 15) / 16) * ((height_ + 15) / 16);
        return mbs * 400 + 4096;
    }

    HRESULT MakeType(const GUID& subtype, IMFMediaType** out) {
        IMFMediaType* t = nullptr;
        HRESULT hr = MFCreateMediaType(&t);
        if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_SUBTYPE, subtype);
        if (SUCCEEDED(hr) && outputSet_) {
            hr = MFSetAttributeSize(t, MF_MT_FRAME_SIZE, width_, height_);
            if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(t, MF_MT_FRAME_RATE, fpsNum_, fpsDen_);
            if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(t, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
            if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
            if (SUCCEEDED(hr) && subtype == MFVideoFormat_H264) {
                hr = t->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_ConstrainedBase);
                const std::vector<uint8_t> ps = writer_.ParameterSets();
                if (SUCCEEDED(hr))
                    hr = t->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, ps.data(), static_cast<UINT32>(ps.size()));
            }
        }
        if (FAILED(hr)) {
            SafeRelease(t);
            return hr;
        }
        *out = t;
        return S_OK;
    }

    // The picture as tight NV12 rows, from system memory or a DXGI surface
    // (whose buffer maps it through a staging copy).
    HRESULT ReadPicture(IMFSample* sample, std::vector<uint8_t>* nv12) {
        IMFMediaBuffer* b = nullptr;
        HRESULT hr = sample->GetBufferByIndex(0, &b);
        if (FAILED(hr)) return hr;
        IMFDXGIBuffer* dxgi = nullptr;
        if (SUCCEEDED(b->QueryInterface(IID_IMFDXGIBuffer, reinterpret_cast<void**>(&dxgi)))) {
            if (!sawDxgi_) Record("dxgi-input");
            sawDxgi_ = true;
            SafeRelease(dxgi);
        }
        const size_t w = width_, h = height_;
        nv12->resize(w * h * 3 / 2);
        IMF2DBuffer* b2 = nullptr;
        BYTE* p = nullptr;
        LONG pitch = 0;
        if (SUCCEEDED(b->QueryInterface(IID_IMF2DBuffer, reinterpret_cast<void**>(&b2))) &&
            SUCCEEDED(b2->Lock2D(&p, &pitch))) {
            for (size_t r = 0; r < h * 3 / 2; ++r) std::memcpy(nv12->data() + r * w, p + r * static_cast<size_t>(pitch), w);
            b2->Unlock2D();
        } else {
            DWORD len = 0;
            hr = b->Lock(&p, nullptr, &len);
            if (SUCCEEDED(hr)) {
                if (len >= nv12->size())
                    std::memcpy(nv12->data(), p, nv12->size());
                else
                    hr = MF_E_BUFFERTOOSMALL;
                b->Unlock();
            }
        }
        SafeRelease(b2);
        SafeRelease(b);
        return hr;
    }

    HRESULT NewSample(const std::vector<uint8_t>& bytes, IMFSample** out) {
        IMFSample* s = nullptr;
        IMFMediaBuffer* b = nullptr;
        HRESULT hr = MFCreateSample(&s);
        if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &b);
        BYTE* p = nullptr;
        if (SUCCEEDED(hr)) hr = b->Lock(&p, nullptr, nullptr);
        if (SUCCEEDED(hr)) {
            std::memcpy(p, bytes.data(), bytes.size());
            b->Unlock();
            hr = b->SetCurrentLength(static_cast<DWORD>(bytes.size()));
        }
        if (SUCCEEDED(hr)) hr = s->AddBuffer(b);
        SafeRelease(b);
        if (FAILED(hr)) {
            SafeRelease(s);
            return hr;
        }
        *out = s;
        return S_OK;
    }

    void Queue(MediaEventType type) {
        IMFMediaEvent* e = nullptr;
        if (SUCCEEDED(MFCreateMediaEvent(type, kNoExtendedType, S_OK, nullptr, &e))) {
            e->SetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, 0);
            events_->QueueEvent(e);
            e->Release();
        }
    }
    void RequestInput() {
        if (!withholding_) Queue(METransformNeedInput);
    }
    void FinishDrain() {
        draining_ = false;
        if (HasFault(faults_, "no-drain-complete")) return;
        Queue(METransformDrainComplete);
        // After a drain the stream goes on: ask for the next picture.
        RequestInput();
    }

    std::atomic<long> refs_{1};
    const bool async_;
    const std::string faults_;
    const std::string dump_;
    std::mutex m_;
    IMFAttributes* attributes_ = nullptr;
    IMFMediaEventQueue* events_ = nullptr;
    IMFDXGIDeviceManager* manager_ = nullptr;
    UINT32 width_ = 0, height_ = 0, fpsNum_ = 30, fpsDen_ = 1;
    bool inputSet_ = false, outputSet_ = false, shut_ = false, draining_ = false;
    bool keyPending_ = true, failedInput_ = false, streamChangePending_ = false, sawDxgi_ = false, withholding_ = false;
    UINT32 gop_ = 0, sinceKey_ = 0, pictures_ = 0;
    ULONGLONG values_[kPropertyCount] = {};
    Veltrix::testing::H264PcmWriter writer_{16, 16};
    std::deque<Output> pending_;
};

class Factory final : public IClassFactory {
public:
    explicit Factory(bool async) : async_(async) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static instances
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (Env("VX_TEST_MFT_DISABLE") == (async_ ? "async" : "sync")) return CLASS_E_CLASSNOTAVAILABLE;
        auto* e = new (std::nothrow) TestEncoder(async_);
        if (!e) return E_OUTOFMEMORY;
        const HRESULT hr = e->QueryInterface(iid, out);
        e->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            ++gLocks;
        else
            --gLocks;
        return S_OK;
    }

private:
    bool async_;
};

Factory gSyncFactory(false), gAsyncFactory(true);

std::wstring ClsidText(const CLSID& c) {
    wchar_t buf[64];
    StringFromGUID2(c, buf, 64);
    return buf;
}

HRESULT RegisterClass(const CLSID& clsid, const wchar_t* name) {
    wchar_t path[MAX_PATH];
    if (!GetModuleFileNameW(gModule, path, MAX_PATH)) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring key = L"CLSID\\" + ClsidText(clsid);
    const std::wstring server = key + L"\\InprocServer32";
    auto set = [](const std::wstring& k, const wchar_t* value, const wchar_t* data) {
        return RegSetKeyValueW(HKEY_CLASSES_ROOT, k.c_str(), value, REG_SZ, data,
                               static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
    };
    LSTATUS s = set(key, nullptr, name);
    if (s == ERROR_SUCCESS) s = set(server, nullptr, path);
    if (s == ERROR_SUCCESS) s = set(server, L"ThreadingModel", L"Both");
    return HRESULT_FROM_WIN32(s);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid == kSyncClsid) return gSyncFactory.QueryInterface(iid, out);
    if (clsid == kAsyncClsid) return gAsyncFactory.QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT WINAPI DllCanUnloadNow() { return gObjects.load() == 0 && gLocks.load() == 0 ? S_OK : S_FALSE; }

HRESULT WINAPI DllRegisterServer() {
    HRESULT hr = RegisterClass(kSyncClsid, kSyncName);
    if (SUCCEEDED(hr)) hr = RegisterClass(kAsyncClsid, kAsyncName);
    if (FAILED(hr)) return hr;
    MFT_REGISTER_TYPE_INFO in{MFMediaType_Video, MFVideoFormat_NV12};
    MFT_REGISTER_TYPE_INFO out{MFMediaType_Video, MFVideoFormat_H264};
    hr = MFTRegister(kSyncClsid, MFT_CATEGORY_VIDEO_ENCODER, const_cast<LPWSTR>(kSyncName), MFT_ENUM_FLAG_SYNCMFT, 1,
                     &in, 1, &out, nullptr);
    if (FAILED(hr)) return hr;
    IMFAttributes* a = nullptr;
    hr = MFCreateAttributes(&a, 1);
    if (SUCCEEDED(hr)) hr = a->SetString(kVendorIdAttribute, L"VEN_10DE");
    if (SUCCEEDED(hr))
        hr = MFTRegister(kAsyncClsid, MFT_CATEGORY_VIDEO_ENCODER, const_cast<LPWSTR>(kAsyncName),
                         MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_ASYNCMFT, 1, &in, 1, &out, a);
    SafeRelease(a);
    return hr;
}

HRESULT WINAPI DllUnregisterServer() {
    MFTUnregister(kSyncClsid);
    MFTUnregister(kAsyncClsid);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + ClsidText(kSyncClsid)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + ClsidText(kAsyncClsid)).c_str());
    return S_OK;
}

}  // extern "C"
