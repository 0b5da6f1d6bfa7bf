// Windows back end of the media-platform seam: Media Foundation transforms,
// media types, samples and events; Direct3D 11 and DXGI for the device, the
// GPU converter's textures and views; D3DCompile for the shader. Every call's
// result goes back to the logic unchanged, so its log lines show what the
// system answered.
#include <initguid.h>

#include <windows.h>

#include <codecapi.h>
#include <d3d10.h>
#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi.h>
#include <strmif.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "encoder/media_platform_win.h"

// strmif.h declares ICodecAPI without its interface id (icodecapi.h, which has
// it, clashes with strmif.h).
__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda)

namespace Veltrix::media {
namespace {

// Not in mingw-w64's headers (values from the Windows SDK).
constexpr GUID kVendorIdAttribute = {0x3aecb0cc, 0x035b, 0x4bcc, {0x81, 0x85, 0x2b, 0x8d, 0x55, 0x1e, 0xf3, 0xaf}};
constexpr GUID kBuffersPerSample = {0x873c5171, 0x1e3d, 0x4e25, {0x98, 0x8d, 0xb4, 0x33, 0xce, 0x04, 0x19, 0x83}};
// Our own sample attributes: the two planes' unordered-access views cached on an allocator sample.
constexpr GUID kCachedYView = {0x7e2b9a40, 0x1c3d, 0x4f5e, {0x8a, 0x6b, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65}};
constexpr GUID kCachedUvView = {0x7e2b9a41, 0x1c3d, 0x4f5e, {0x8a, 0x6b, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65}};

// A minimal owning COM pointer.
template <typename T>
class Com {
public:
    Com() = default;
    explicit Com(T* p) : p_(p) {}  // adopts a reference
    Com(const Com& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    Com& operator=(const Com& o) {
        if (this != &o) {
            Reset();
            p_ = o.p_;
            if (p_) p_->AddRef();
        }
        return *this;
    }
    ~Com() { Reset(); }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    template <typename U>
    HRESULT As(Com<U>* out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(__uuidof(U), out->PutVoid());
    }

private:
    T* p_ = nullptr;
};

std::string Utf8(const wchar_t* w) {
    if (!w || !*w) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

// A string attribute of at most `units` UTF-16 units.
HResult GetStringAttribute(IMFAttributes* a, REFGUID key, size_t units, std::string* out) {
    if (!out) return E_POINTER;
    std::wstring buf(units, L'\0');
    UINT32 len = 0;
    HRESULT hr = a->GetString(key, buf.data(), static_cast<UINT32>(units), &len);
    if (FAILED(hr)) return hr;
    buf.resize(len);
    *out = Utf8(buf.c_str());
    return S_OK;
}

// --- media types ---

const GUID* SubtypeGuid(Subtype s) {
    switch (s) {
        case Subtype::H264:
            return &MFVideoFormat_H264;
        case Subtype::Hevc:
            return &MFVideoFormat_HEVC;
        case Subtype::Nv12:
            return &MFVideoFormat_NV12;
        default:
            return nullptr;
    }
}

Subtype SubtypeOf(const GUID& g) {
    if (g == MFVideoFormat_H264) return Subtype::H264;
    if (g == MFVideoFormat_HEVC) return Subtype::Hevc;
    if (g == MFVideoFormat_NV12) return Subtype::Nv12;
    return Subtype::Unknown;
}

// Writes the fields the logic sets onto a native type.
HRESULT FillNative(IMFMediaType* t, const MediaType& m) {
    HRESULT hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(hr) && SubtypeGuid(m.subtype)) hr = t->SetGUID(MF_MT_SUBTYPE, *SubtypeGuid(m.subtype));
    if (SUCCEEDED(hr) && m.avgBitrate) hr = t->SetUINT32(MF_MT_AVG_BITRATE, m.avgBitrate);
    if (SUCCEEDED(hr) && m.width && m.height) hr = MFSetAttributeSize(t, MF_MT_FRAME_SIZE, m.width, m.height);
    if (SUCCEEDED(hr) && m.fpsNum && m.fpsDen) hr = MFSetAttributeRatio(t, MF_MT_FRAME_RATE, m.fpsNum, m.fpsDen);
    if (SUCCEEDED(hr) && m.parNum && m.parDen) hr = MFSetAttributeRatio(t, MF_MT_PIXEL_ASPECT_RATIO, m.parNum, m.parDen);
    if (SUCCEEDED(hr) && m.interlace) hr = t->SetUINT32(MF_MT_INTERLACE_MODE, m.interlace);
    if (SUCCEEDED(hr) && m.profile) hr = t->SetUINT32(MF_MT_MPEG2_PROFILE, m.profile);
    if (SUCCEEDED(hr) && m.yuvMatrix) hr = t->SetUINT32(MF_MT_YUV_MATRIX, m.yuvMatrix);
    if (SUCCEEDED(hr) && m.nominalRange) hr = t->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, m.nominalRange);
    if (SUCCEEDED(hr) && m.primaries) hr = t->SetUINT32(MF_MT_VIDEO_PRIMARIES, m.primaries);
    if (SUCCEEDED(hr) && m.transferFunction) hr = t->SetUINT32(MF_MT_TRANSFER_FUNCTION, m.transferFunction);
    return hr;
}

HRESULT NewNative(const MediaType& m, Com<IMFMediaType>* out) {
    HRESULT hr = MFCreateMediaType(out->Put());
    if (SUCCEEDED(hr)) hr = FillNative(out->Get(), m);
    return hr;
}

MediaType FromNative(IMFMediaType* t) {
    MediaType m;
    GUID g{};
    m.video = SUCCEEDED(t->GetGUID(MF_MT_MAJOR_TYPE, &g)) && g == MFMediaType_Video;
    if (SUCCEEDED(t->GetGUID(MF_MT_SUBTYPE, &g))) m.subtype = SubtypeOf(g);
    UINT32 a = 0, b = 0;
    if (SUCCEEDED(t->GetUINT32(MF_MT_AVG_BITRATE, &a))) m.avgBitrate = a;
    if (SUCCEEDED(MFGetAttributeSize(t, MF_MT_FRAME_SIZE, &a, &b))) m.width = a, m.height = b;
    if (SUCCEEDED(MFGetAttributeRatio(t, MF_MT_FRAME_RATE, &a, &b))) m.fpsNum = a, m.fpsDen = b;
    if (SUCCEEDED(MFGetAttributeRatio(t, MF_MT_PIXEL_ASPECT_RATIO, &a, &b))) m.parNum = a, m.parDen = b;
    if (SUCCEEDED(t->GetUINT32(MF_MT_INTERLACE_MODE, &a))) m.interlace = a;
    if (SUCCEEDED(t->GetUINT32(MF_MT_MPEG2_PROFILE, &a))) m.profile = a;
    if (SUCCEEDED(t->GetUINT32(MF_MT_YUV_MATRIX, &a))) m.yuvMatrix = a;
    if (SUCCEEDED(t->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &a))) m.nominalRange = a;
    if (SUCCEEDED(t->GetUINT32(MF_MT_VIDEO_PRIMARIES, &a))) m.primaries = a;
    if (SUCCEEDED(t->GetUINT32(MF_MT_TRANSFER_FUNCTION, &a))) m.transferFunction = a;
    UINT32 size = 0;
    if (SUCCEEDED(t->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) && size > 0) {
        m.sequenceHeader.resize(size);
        if (FAILED(t->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, m.sequenceHeader.data(), size, &size)))
            m.sequenceHeader.clear();
        else
            m.sequenceHeader.resize(size);
    }
    return m;
}

bool SameShape(const MediaType& a, const MediaType& b) {
    return a.subtype == b.subtype && a.width == b.width && a.height == b.height && a.fpsNum == b.fpsNum &&
           a.fpsDen == b.fpsDen;
}

// --- buffers and samples ---

class WinMemoryBuffer final : public MediaBuffer {
public:
    explicit WinMemoryBuffer(Com<IMFMediaBuffer> b) : b_(std::move(b)) {}
    HResult Lock(uint8_t** data, size_t* maxLength, size_t* currentLength) override {
        if (!data) return E_POINTER;
        DWORD max = 0, cur = 0;
        BYTE* p = nullptr;
        HRESULT hr = b_->Lock(&p, &max, &cur);
        if (FAILED(hr)) return hr;
        *data = p;
        if (maxLength) *maxLength = max;
        if (currentLength) *currentLength = cur;
        return S_OK;
    }
    HResult Unlock() override { return b_->Unlock(); }
    HResult SetCurrentLength(size_t length) override {
        if (length > MAXDWORD) return E_INVALIDARG;
        return b_->SetCurrentLength(static_cast<DWORD>(length));
    }
    size_t CurrentLength() const override {
        DWORD n = 0;
        return SUCCEEDED(b_->GetCurrentLength(&n)) ? n : 0;
    }
    IMFMediaBuffer* Native() const { return b_.Get(); }

private:
    Com<IMFMediaBuffer> b_;
};

struct WinTexture final : GpuObject {
    Com<ID3D11Texture2D> t;
};
struct WinSrv final : GpuObject {
    Com<ID3D11ShaderResourceView> v;
};
struct WinUav final : GpuObject {
    Com<ID3D11UnorderedAccessView> v;
};
struct WinShader final : GpuObject {
    Com<ID3D11ComputeShader> s;
};
struct WinQuery final : GpuObject {
    Com<ID3D11Query> q;
};

class WinDxgiBuffer final : public GpuBuffer {
public:
    WinDxgiBuffer(Com<IMFMediaBuffer> b, Com<IMFDXGIBuffer> d) : b_(std::move(b)), d_(std::move(d)) {}
    HResult Lock(uint8_t**, size_t*, size_t*) override { return E_NOTIMPL; }
    HResult Unlock() override { return S_OK; }
    HResult SetCurrentLength(size_t length) override { return b_->SetCurrentLength(static_cast<DWORD>(length)); }
    size_t CurrentLength() const override {
        DWORD n = 0;
        return SUCCEEDED(b_->GetCurrentLength(&n)) ? n : 0;
    }
    HResult GetTexture(GpuRef* out) override {
        auto t = std::make_shared<WinTexture>();
        HRESULT hr = d_->GetResource(__uuidof(ID3D11Texture2D), t->t.PutVoid());
        if (SUCCEEDED(hr)) *out = t;
        return hr;
    }
    HResult GetSubresourceIndex(uint32_t* out) override {
        UINT i = 0;
        HRESULT hr = d_->GetSubresourceIndex(&i);
        if (SUCCEEDED(hr)) *out = i;
        return hr;
    }

private:
    Com<IMFMediaBuffer> b_;
    Com<IMFDXGIBuffer> d_;
};

class WinNativeSample final : public NativeSample {
public:
    explicit WinNativeSample(Com<IMFSample> s) : s_(std::move(s)) {}
    HResult GetCachedViews(GpuRef* y, GpuRef* uv) override {
        auto a = std::make_shared<WinUav>(), b = std::make_shared<WinUav>();
        HRESULT hr = s_->GetUnknown(kCachedYView, __uuidof(ID3D11UnorderedAccessView), a->v.PutVoid());
        if (SUCCEEDED(hr)) hr = s_->GetUnknown(kCachedUvView, __uuidof(ID3D11UnorderedAccessView), b->v.PutVoid());
        if (FAILED(hr)) return hr;
        *y = a;
        *uv = b;
        return S_OK;
    }
    HResult SetCachedViews(const GpuRef& y, const GpuRef& uv) override {
        auto* a = dynamic_cast<WinUav*>(y.get());
        auto* b = dynamic_cast<WinUav*>(uv.get());
        if (!a || !b) return E_INVALIDARG;
        HRESULT hr = s_->SetUnknown(kCachedYView, a->v.Get());
        if (SUCCEEDED(hr)) hr = s_->SetUnknown(kCachedUvView, b->v.Get());
        return hr;
    }
    IMFSample* Native() const { return s_.Get(); }

private:
    Com<IMFSample> s_;
};

// The native sample for the logic's sample: the allocator's own, or a new one
// over the same buffers (system-memory buffers are copied only when they are
// not ours).
HRESULT ToNative(Sample& s, Com<IMFSample>* out) {
    if (auto* n = dynamic_cast<WinNativeSample*>(s.Native())) {
        n->Native()->AddRef();
        *out = Com<IMFSample>(n->Native());
    } else {
        HRESULT hr = MFCreateSample(out->Put());
        if (FAILED(hr)) return hr;
        for (size_t i = 0; i < s.BufferCount(); ++i) {
            std::shared_ptr<MediaBuffer> b = s.Buffer(i);
            if (auto* w = dynamic_cast<WinMemoryBuffer*>(b.get())) {
                hr = (*out)->AddBuffer(w->Native());
            } else {
                uint8_t* src = nullptr;
                size_t len = 0;
                hr = b->Lock(&src, nullptr, &len);
                if (FAILED(hr)) return hr;
                Com<IMFMediaBuffer> copy;
                hr = MFCreateMemoryBuffer(static_cast<DWORD>(len ? len : 1), copy.Put());
                BYTE* dst = nullptr;
                if (SUCCEEDED(hr)) hr = copy->Lock(&dst, nullptr, nullptr);
                if (SUCCEEDED(hr)) {
                    if (len) std::memcpy(dst, src, len);
                    copy->Unlock();
                    hr = copy->SetCurrentLength(static_cast<DWORD>(len));
                }
                b->Unlock();
                if (SUCCEEDED(hr)) hr = (*out)->AddBuffer(copy.Get());
            }
            if (FAILED(hr)) return hr;
        }
    }
    HRESULT hr = (*out)->SetSampleTime(s.Time());
    if (SUCCEEDED(hr)) hr = (*out)->SetSampleDuration(s.Duration());
    if (SUCCEEDED(hr)) {
        if (s.HasCleanPoint())
            hr = (*out)->SetUINT32(MFSampleExtension_CleanPoint, s.CleanPoint());
        else
            (*out)->DeleteItem(MFSampleExtension_CleanPoint);
    }
    return hr;
}

void ReadBack(IMFSample* n, Sample& s) {
    LONGLONG t = 0;
    if (SUCCEEDED(n->GetSampleTime(&t))) s.SetTime(t);
    if (SUCCEEDED(n->GetSampleDuration(&t))) s.SetDuration(t);
    UINT32 clean = 0;
    if (SUCCEEDED(n->GetUINT32(MFSampleExtension_CleanPoint, &clean)))
        s.SetCleanPoint(clean);
    else
        s.ClearCleanPoint();
}

// --- codec properties ---

class WinCodecApi final : public CodecApi {
public:
    explicit WinCodecApi(Com<ICodecAPI> api) : api_(std::move(api)) {}
    HResult SetValue(CodecProperty property, uint32_t value) override {
        const GUID* key = nullptr;
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_UI4;
        v.ulVal = value;
        switch (property) {
            case CodecProperty::LowLatencyMode:
                key = &CODECAPI_AVLowLatencyMode;
                v.vt = VT_BOOL;
                v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            case CodecProperty::RealTime: key = &CODECAPI_AVEncCommonRealTime; break;
            case CodecProperty::RateControlMode: key = &CODECAPI_AVEncCommonRateControlMode; break;
            case CodecProperty::MeanBitRate: key = &CODECAPI_AVEncCommonMeanBitRate; break;
            case CodecProperty::MaxBitRate: key = &CODECAPI_AVEncCommonMaxBitRate; break;
            case CodecProperty::BufferSize: key = &CODECAPI_AVEncCommonBufferSize; break;
            case CodecProperty::Quality: key = &CODECAPI_AVEncCommonQuality; break;
            case CodecProperty::GopSize: key = &CODECAPI_AVEncMPVGOPSize; break;
            case CodecProperty::BPictureCount: key = &CODECAPI_AVEncMPVDefaultBPictureCount; break;
            case CodecProperty::ForceKeyFrame: key = &CODECAPI_AVEncVideoForceKeyFrame; break;
            case CodecProperty::EncodeQp:
                key = &CODECAPI_AVEncVideoEncodeQP;
                v.vt = VT_UI8;  // this property is a 64-bit value
                v.ullVal = value;
                break;
        }
        if (!key) return E_INVALIDARG;
        return api_->SetValue(key, &v);
    }

private:
    Com<ICodecAPI> api_;
};

// --- asynchronous events ---

class WinAsyncResult final : public AsyncResult {
public:
    explicit WinAsyncResult(IMFAsyncResult* r) : r(r) {}
    IMFAsyncResult* r;
};

// The COM face of the logic's callback: reference counted by Media
// Foundation, holding the logic's object until its last release.
class ComAsyncCallback final : public IMFAsyncCallback {
public:
    explicit ComAsyncCallback(std::shared_ptr<AsyncCallback> cb) : cb_(std::move(cb)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFAsyncCallback)) {
            *out = static_cast<IMFAsyncCallback*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long n = --refs_;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    STDMETHODIMP GetParameters(DWORD* flags, DWORD* queue) override {
        if (flags) *flags = 0;
        if (queue) *queue = 0;
        return S_OK;
    }
    STDMETHODIMP Invoke(IMFAsyncResult* result) override {
        // A system thread: nothing may escape.
        try {
            WinAsyncResult r(result);
            cb_->Invoke(r);
        } catch (...) {
        }
        return S_OK;
    }

private:
    std::atomic<long> refs_{1};
    std::shared_ptr<AsyncCallback> cb_;
};

class WinEventGenerator final : public EventGenerator {
public:
    explicit WinEventGenerator(Com<IMFMediaEventGenerator> g) : g_(std::move(g)) {}
    HResult BeginGetEvent(std::shared_ptr<AsyncCallback> callback) override {
        if (!callback) return E_POINTER;
        auto* com = new (std::nothrow) ComAsyncCallback(std::move(callback));
        if (!com) return E_OUTOFMEMORY;
        HRESULT hr = g_->BeginGetEvent(com, nullptr);
        com->Release();  // the generator holds its own reference until Invoke
        return hr;
    }
    HResult EndGetEvent(AsyncResult& result, uint32_t* eventType) override {
        auto* r = dynamic_cast<WinAsyncResult*>(&result);
        if (!r || !eventType) return E_INVALIDARG;
        Com<IMFMediaEvent> event;
        HRESULT hr = g_->EndGetEvent(r->r, event.Put());
        if (FAILED(hr)) return hr;
        MediaEventType type = 0;
        hr = event->GetType(&type);
        if (SUCCEEDED(hr)) *eventType = static_cast<uint32_t>(type);
        return hr;
    }

private:
    Com<IMFMediaEventGenerator> g_;
};

// --- device ---

class WinDeviceManager final : public DeviceManager {
public:
    Com<IMFDXGIDeviceManager> m;
    UINT token = 0;
};

DXGI_FORMAT DxgiFormat(GpuFormat f) {
    switch (f) {
        case GpuFormat::Bgra8: return DXGI_FORMAT_B8G8R8A8_UNORM;
        case GpuFormat::R8: return DXGI_FORMAT_R8_UNORM;
        case GpuFormat::R8G8: return DXGI_FORMAT_R8G8_UNORM;
        case GpuFormat::Nv12: return DXGI_FORMAT_NV12;
    }
    return DXGI_FORMAT_UNKNOWN;
}

class WinDevice final : public Device {
public:
    WinDevice(Com<ID3D11Device> d, Com<ID3D11DeviceContext> c) : d_(std::move(d)), c_(std::move(c)) {}
    ID3D11Device* Native() const { return d_.Get(); }
    bool HasContext() const override { return static_cast<bool>(c_); }

    HResult CreateComputeShader(const std::vector<uint8_t>& code, GpuRef* out) override {
        auto s = std::make_shared<WinShader>();
        HRESULT hr = d_->CreateComputeShader(code.data(), code.size(), nullptr, s->s.Put());
        if (SUCCEEDED(hr)) *out = s;
        return hr;
    }
    HResult CreateTexture(const TextureDesc& desc, GpuRef* out) override {
        D3D11_TEXTURE2D_DESC d{};
        d.Width = desc.width;
        d.Height = desc.height;
        d.MipLevels = 1;
        d.ArraySize = 1;
        d.Format = DxgiFormat(desc.format);
        d.SampleDesc.Count = 1;
        d.Usage = desc.usage == GpuUsage::Dynamic   ? D3D11_USAGE_DYNAMIC
                  : desc.usage == GpuUsage::Staging ? D3D11_USAGE_STAGING
                                                    : D3D11_USAGE_DEFAULT;
        d.BindFlags = desc.bindFlags;
        d.CPUAccessFlags = (desc.cpuWrite ? D3D11_CPU_ACCESS_WRITE : 0) | (desc.cpuRead ? D3D11_CPU_ACCESS_READ : 0);
        auto t = std::make_shared<WinTexture>();
        HRESULT hr = d_->CreateTexture2D(&d, nullptr, t->t.Put());
        if (SUCCEEDED(hr)) *out = t;
        return hr;
    }
    HResult CreateShaderResourceView(GpuObject& texture, GpuRef* out) override {
        auto* t = dynamic_cast<WinTexture*>(&texture);
        if (!t) return E_INVALIDARG;
        auto v = std::make_shared<WinSrv>();
        HRESULT hr = d_->CreateShaderResourceView(t->t.Get(), nullptr, v->v.Put());
        if (SUCCEEDED(hr)) *out = v;
        return hr;
    }
    HResult CreateUnorderedAccessView(GpuObject& texture, GpuFormat format, int slice, GpuRef* out) override {
        auto* t = dynamic_cast<WinTexture*>(&texture);
        if (!t) return E_INVALIDARG;
        D3D11_UNORDERED_ACCESS_VIEW_DESC d{};
        d.Format = DxgiFormat(format);
        if (slice < 0) {
            d.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2D;
            d.Texture2D.MipSlice = 0;
        } else {
            d.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
            d.Texture2DArray.MipSlice = 0;
            d.Texture2DArray.FirstArraySlice = static_cast<UINT>(slice);
            d.Texture2DArray.ArraySize = 1;
        }
        auto v = std::make_shared<WinUav>();
        HRESULT hr = d_->CreateUnorderedAccessView(t->t.Get(), &d, v->v.Put());
        if (SUCCEEDED(hr)) *out = v;
        return hr;
    }
    HResult CreateEventQuery(GpuRef* out) override {
        D3D11_QUERY_DESC d{};
        d.Query = D3D11_QUERY_EVENT;
        auto q = std::make_shared<WinQuery>();
        HRESULT hr = d_->CreateQuery(&d, q->q.Put());
        if (SUCCEEDED(hr)) *out = q;
        return hr;
    }
    HResult Map(GpuObject& texture, MapMode mode, MappedTexture* out) override {
        auto* t = dynamic_cast<WinTexture*>(&texture);
        if (!t || !c_) return E_INVALIDARG;
        D3D11_MAPPED_SUBRESOURCE m{};
        HRESULT hr = c_->Map(t->t.Get(), 0, mode == MapMode::Read ? D3D11_MAP_READ : D3D11_MAP_WRITE_DISCARD, 0, &m);
        if (FAILED(hr)) return hr;
        out->data = static_cast<uint8_t*>(m.pData);
        out->rowPitch = m.RowPitch;
        return S_OK;
    }
    void Unmap(GpuObject& texture) override {
        if (auto* t = dynamic_cast<WinTexture*>(&texture); t && c_) c_->Unmap(t->t.Get(), 0);
    }
    void Dispatch(GpuObject& shader, GpuObject& source, GpuObject& y, GpuObject& uv, uint32_t gx, uint32_t gy,
                  bool unbindSource) override {
        auto* s = dynamic_cast<WinShader*>(&shader);
        auto* src = dynamic_cast<WinSrv*>(&source);
        auto* yv = dynamic_cast<WinUav*>(&y);
        auto* uvv = dynamic_cast<WinUav*>(&uv);
        if (!c_ || !s || !src || !yv || !uvv) return;
        ID3D11ShaderResourceView* srvs[1] = {src->v.Get()};
        ID3D11UnorderedAccessView* uavs[2] = {yv->v.Get(), uvv->v.Get()};
        c_->CSSetShader(s->s.Get(), nullptr, 0);
        c_->CSSetShaderResources(0, 1, srvs);
        c_->CSSetUnorderedAccessViews(0, 2, uavs, nullptr);
        c_->Dispatch(gx, gy, 1);
        ID3D11UnorderedAccessView* noUavs[2] = {nullptr, nullptr};
        c_->CSSetUnorderedAccessViews(0, 2, noUavs, nullptr);
        if (unbindSource) {
            ID3D11ShaderResourceView* noSrv[1] = {nullptr};
            c_->CSSetShaderResources(0, 1, noSrv);
        }
    }
    void CopyResource(GpuObject& dst, GpuObject& src) override {
        auto* d = dynamic_cast<WinTexture*>(&dst);
        auto* s = dynamic_cast<WinTexture*>(&src);
        if (c_ && d && s) c_->CopyResource(d->t.Get(), s->t.Get());
    }
    void EndQuery(GpuObject& query) override {
        if (auto* q = dynamic_cast<WinQuery*>(&query); q && c_) c_->End(q->q.Get());
    }
    HResult GetQueryData(GpuObject& query, uint32_t* done) override {
        auto* q = dynamic_cast<WinQuery*>(&query);
        if (!q || !c_ || !done) return E_INVALIDARG;
        UINT32 value = 0;
        HRESULT hr = c_->GetData(q->q.Get(), &value, sizeof value, 0);
        *done = hr == S_OK ? value : 0;
        return hr;
    }
    void Flush() override {
        if (c_) c_->Flush();
    }

private:
    Com<ID3D11Device> d_;
    Com<ID3D11DeviceContext> c_;
};

// --- transforms ---

class WinTransform final : public Transform {
public:
    explicit WinTransform(Com<IMFTransform> t) : t_(std::move(t)) {
        Com<ICodecAPI> api;
        if (SUCCEEDED(t_.As(&api)) && api) codecApi_ = std::make_unique<WinCodecApi>(api);
    }

    HResult GetAttributes(TransformAttributes* out) override {
        if (!out) return E_POINTER;
        Com<IMFAttributes> a;
        HRESULT hr = t_->GetAttributes(a.Put());
        if (FAILED(hr)) return hr;
        if (!a) return E_NOINTERFACE;
        *out = {};
        UINT32 v = 0;
        if (SUCCEEDED(a->GetUINT32(MF_TRANSFORM_ASYNC, &v))) out->async = v != 0;
        v = 0;
        if (SUCCEEDED(a->GetUINT32(MF_SA_D3D11_AWARE, &v))) out->d3d11Aware = v != 0;
        return S_OK;
    }
    HResult SetAsyncUnlock() override {
        Com<IMFAttributes> a;
        HRESULT hr = t_->GetAttributes(a.Put());
        if (FAILED(hr)) return hr;
        if (!a) return E_NOINTERFACE;
        return a->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, TRUE);
    }
    HResult ProcessMessage(TransformMessage message, DeviceManager* manager) override {
        MFT_MESSAGE_TYPE type = MFT_MESSAGE_COMMAND_FLUSH;
        ULONG_PTR param = 0;
        switch (message) {
            case TransformMessage::CommandFlush: type = MFT_MESSAGE_COMMAND_FLUSH; break;
            case TransformMessage::CommandDrain: type = MFT_MESSAGE_COMMAND_DRAIN; break;
            case TransformMessage::SetD3DManager: {
                auto* m = dynamic_cast<WinDeviceManager*>(manager);
                if (!m) return E_INVALIDARG;
                type = MFT_MESSAGE_SET_D3D_MANAGER;
                param = reinterpret_cast<ULONG_PTR>(m->m.Get());
                break;
            }
            case TransformMessage::NotifyBeginStreaming: type = MFT_MESSAGE_NOTIFY_BEGIN_STREAMING; break;
            case TransformMessage::NotifyEndStreaming: type = MFT_MESSAGE_NOTIFY_END_STREAMING; break;
            case TransformMessage::NotifyStartOfStream: type = MFT_MESSAGE_NOTIFY_START_OF_STREAM; break;
            case TransformMessage::NotifyEndOfStream: type = MFT_MESSAGE_NOTIFY_END_OF_STREAM; break;
        }
        return t_->ProcessMessage(type, param);
    }
    HResult SetOutputType(int stream, const MediaType& type) override {
        // During a stream change the logic hands back the type the transform offered: set that one itself.
        std::lock_guard<std::mutex> g(typesLock_);
        Com<IMFMediaType> native;
        if (offeredOutput_ && SameShape(FromNative(offeredOutput_.Get()), type)) {
            native = offeredOutput_;
        } else {
            HRESULT hr = NewNative(type, &native);
            if (FAILED(hr)) return hr;
        }
        return t_->SetOutputType(static_cast<DWORD>(stream), native.Get(), 0);
    }
    HResult GetInputAvailableType(int stream, uint32_t index, MediaType* out) override {
        if (!out) return E_POINTER;
        Com<IMFMediaType> native;
        HRESULT hr = t_->GetInputAvailableType(static_cast<DWORD>(stream), index, native.Put());
        if (FAILED(hr)) return hr;
        *out = FromNative(native.Get());
        std::lock_guard<std::mutex> g(typesLock_);
        if (out->subtype == Subtype::Nv12 && !offeredInput_) offeredInput_ = native;
        return S_OK;
    }
    HResult SetInputType(int stream, const MediaType& type) override {
        // Start from the transform's own NV12 type when it offered one, keeping its other attributes.
        Com<IMFMediaType> native;
        HRESULT hr;
        {
            std::lock_guard<std::mutex> g(typesLock_);
            if (offeredInput_ && type.subtype == Subtype::Nv12) {
                hr = MFCreateMediaType(native.Put());
                if (SUCCEEDED(hr)) hr = offeredInput_->CopyAllItems(native.Get());
                if (SUCCEEDED(hr)) hr = FillNative(native.Get(), type);
            } else {
                hr = NewNative(type, &native);
            }
        }
        if (FAILED(hr)) return hr;
        return t_->SetInputType(static_cast<DWORD>(stream), native.Get(), 0);
    }
    HResult GetOutputCurrentType(int stream, MediaType* out) override {
        if (!out) return E_POINTER;
        Com<IMFMediaType> native;
        HRESULT hr = t_->GetOutputCurrentType(static_cast<DWORD>(stream), native.Put());
        if (FAILED(hr)) return hr;
        *out = FromNative(native.Get());
        return S_OK;
    }
    HResult GetOutputAvailableType(int stream, uint32_t index, MediaType* out) override {
        if (!out) return E_POINTER;
        Com<IMFMediaType> native;
        HRESULT hr = t_->GetOutputAvailableType(static_cast<DWORD>(stream), index, native.Put());
        if (FAILED(hr)) return hr;
        *out = FromNative(native.Get());
        std::lock_guard<std::mutex> g(typesLock_);
        offeredOutput_ = native;
        return S_OK;
    }
    CodecApi* GetCodecApi() override { return codecApi_.get(); }
    HResult GetOutputStreamInfo(int stream, OutputStreamInfo* out) override {
        if (!out) return E_POINTER;
        MFT_OUTPUT_STREAM_INFO info{};
        HRESULT hr = t_->GetOutputStreamInfo(static_cast<DWORD>(stream), &info);
        if (FAILED(hr)) return hr;
        out->providesSamples = (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
        out->sampleSize = info.cbSize;
        return S_OK;
    }
    HResult ProcessInput(int stream, Sample& sample) override {
        Com<IMFSample> native;
        HRESULT hr = ToNative(sample, &native);
        if (FAILED(hr)) return hr;
        return t_->ProcessInput(static_cast<DWORD>(stream), native.Get(), 0);
    }
    HResult ProcessOutput(int stream, std::shared_ptr<Sample>* sample) override {
        if (!sample) return E_POINTER;
        Com<IMFSample> mine;
        if (*sample) {
            HRESULT hr = ToNative(**sample, &mine);
            if (FAILED(hr)) return hr;
        }
        MFT_OUTPUT_DATA_BUFFER db{};
        db.dwStreamID = static_cast<DWORD>(stream);
        db.pSample = mine.Get();
        DWORD status = 0;
        HRESULT hr = t_->ProcessOutput(0, 1, &db, &status);
        if (db.pEvents) db.pEvents->Release();
        if (FAILED(hr)) {
            if (db.pSample && db.pSample != mine.Get()) db.pSample->Release();
            return hr;
        }
        if (mine) {
            // Our buffers hold the data; only time and attributes come back.
            ReadBack(mine.Get(), **sample);
            return hr;
        }
        if (!db.pSample) {
            sample->reset();
            return hr;
        }
        Com<IMFSample> theirs(db.pSample);
        Com<IMFMediaBuffer> buffer;
        HRESULT b = theirs->ConvertToContiguousBuffer(buffer.Put());
        auto out = std::make_shared<Sample>();
        if (SUCCEEDED(b) && buffer) out->AddBuffer(std::make_shared<WinMemoryBuffer>(buffer));
        ReadBack(theirs.Get(), *out);
        *sample = std::move(out);
        return hr;
    }
    HResult GetEventGenerator(std::shared_ptr<EventGenerator>* out) override {
        if (!out) return E_POINTER;
        Com<IMFMediaEventGenerator> g;
        HRESULT hr = t_.As(&g);
        if (FAILED(hr)) return hr;
        if (!g) return E_NOINTERFACE;
        *out = std::make_shared<WinEventGenerator>(g);
        return S_OK;
    }
    HResult Shutdown() override {
        Com<IMFShutdown> s;
        if (FAILED(t_.As(&s)) || !s) return E_NOTIMPL;
        return s->Shutdown();
    }

private:
    Com<IMFTransform> t_;
    std::unique_ptr<WinCodecApi> codecApi_;
    std::mutex typesLock_;  // the event thread renegotiates output types
    Com<IMFMediaType> offeredInput_, offeredOutput_;
};

class WinActivation final : public Activation {
public:
    explicit WinActivation(Com<IMFActivate> a) : a_(std::move(a)) {}
    HResult GetFriendlyName(std::string* out) override {
        return GetStringAttribute(a_.Get(), MFT_FRIENDLY_NAME_Attribute, 256, out);
    }
    HResult GetHardwareVendorId(std::string* out) override {
        return GetStringAttribute(a_.Get(), kVendorIdAttribute, 64, out);
    }
    HResult ActivateTransform(std::unique_ptr<Transform>* out) override {
        if (!out) return E_POINTER;
        Com<IMFTransform> t;
        HRESULT hr = a_->ActivateObject(__uuidof(IMFTransform), t.PutVoid());
        if (FAILED(hr)) return hr;
        if (!t) return E_NOINTERFACE;
        *out = std::make_unique<WinTransform>(t);
        return S_OK;
    }

private:
    Com<IMFActivate> a_;
};

// --- GPU-resident input ---

class WinSampleAllocator final : public SampleAllocator {
public:
    explicit WinSampleAllocator(Com<IMFVideoSampleAllocatorEx> a) : a_(std::move(a)) {}
    ~WinSampleAllocator() override {
        if (initialised_) a_->UninitializeSampleAllocator();
    }
    HResult SetDirectXManager(DeviceManager& manager) override {
        auto* m = dynamic_cast<WinDeviceManager*>(&manager);
        if (!m) return E_INVALIDARG;
        return a_->SetDirectXManager(m->m.Get());
    }
    HResult SetAttributes(uint32_t usage, uint32_t bindFlags, uint32_t buffersPerSample) override {
        HRESULT hr = MFCreateAttributes(attributes_.Put(), 3);
        if (SUCCEEDED(hr)) hr = attributes_->SetUINT32(MF_SA_D3D11_USAGE, usage);
        if (SUCCEEDED(hr)) hr = attributes_->SetUINT32(MF_SA_D3D11_BINDFLAGS, bindFlags);
        if (SUCCEEDED(hr)) hr = attributes_->SetUINT32(kBuffersPerSample, buffersPerSample);
        return hr;
    }
    HResult SetMediaType(const MediaType& type) override { return NewNative(type, &type_); }
    HResult Initialize(uint32_t initialSamples, uint32_t maxSamples) override {
        HRESULT hr = a_->InitializeSampleAllocatorEx(initialSamples, maxSamples, attributes_.Get(), type_.Get());
        initialised_ = SUCCEEDED(hr);
        return hr;
    }
    HResult AllocateSample(std::shared_ptr<Sample>* out) override {
        if (!out) return E_POINTER;
        Com<IMFSample> s;
        HRESULT hr = a_->AllocateSample(s.Put());
        if (FAILED(hr)) return hr;
        Com<IMFMediaBuffer> buffer;
        hr = s->GetBufferByIndex(0, buffer.Put());
        if (FAILED(hr)) return hr;
        Com<IMFDXGIBuffer> dxgi;
        hr = buffer.As(&dxgi);
        if (FAILED(hr)) return hr;
        auto sample = std::make_shared<Sample>();
        sample->AddBuffer(std::make_shared<WinDxgiBuffer>(buffer, dxgi));
        sample->SetNative(std::make_shared<WinNativeSample>(s));
        *out = std::move(sample);
        return S_OK;
    }

private:
    Com<IMFVideoSampleAllocatorEx> a_;
    Com<IMFAttributes> attributes_;
    Com<IMFMediaType> type_;
    bool initialised_ = false;
};

// --- the platform ---

class WinPlatform final : public Platform {
public:
    HResult Startup() override { return MFStartup(MF_VERSION, MFSTARTUP_LITE); }
    HResult Shutdown() override { return MFShutdown(); }

    HResult EnumAdapter(uint32_t index, AdapterInfo* out) override {
        if (!out) return E_POINTER;
        Com<IDXGIAdapter1> adapter;
        HRESULT hr = Adapter(index, &adapter);
        // Without a factory there is nothing to list (Wine without a display
        // answers DXGI_ERROR_UNSUPPORTED here); the default device reports why.
        if (FAILED(hr)) return hr == DXGI_ERROR_NOT_FOUND || !factoryWorks_ ? kDXGI_ERROR_NOT_FOUND : hr;
        DXGI_ADAPTER_DESC1 d{};
        hr = adapter->GetDesc1(&d);
        if (FAILED(hr)) return hr;
        out->index = index;
        out->vendorId = d.VendorId;
        out->dedicatedVideoMemory = d.DedicatedVideoMemory;
        out->software = (d.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
        out->description = Utf8(d.Description);
        return S_OK;
    }

    HResult CreateDevice(const AdapterInfo* adapter, std::unique_ptr<Device>* out) override {
        if (!out) return E_POINTER;
        Com<IDXGIAdapter1> a;
        if (adapter) {
            HRESULT hr = Adapter(adapter->index, &a);
            if (FAILED(hr)) return hr;
        }
        static const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                    D3D_FEATURE_LEVEL_10_1};
        const UINT flags = D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT;
        Com<ID3D11Device> device;
        Com<ID3D11DeviceContext> context;
        D3D_FEATURE_LEVEL level{};
        auto create = [&](const D3D_FEATURE_LEVEL* levels, UINT n) {
            return D3D11CreateDevice(a.Get(), a ? D3D_DRIVER_TYPE_UNKNOWN : D3D_DRIVER_TYPE_HARDWARE, nullptr, flags,
                                     levels, n, D3D11_SDK_VERSION, device.Put(), &level, context.Put());
        };
        HRESULT hr = create(kLevels, 3);
        // A runtime without 11.1 refuses the whole list; it may still have 11.0.
        if (hr == E_INVALIDARG) hr = create(kLevels + 1, 2);
        if (FAILED(hr)) return hr;
        Com<ID3D10Multithread> mt;
        if (SUCCEEDED(device.As(&mt)) && mt) mt->SetMultithreadProtected(TRUE);
        *out = std::make_unique<WinDevice>(device, context);
        return S_OK;
    }

    HResult CreateDeviceManager(Device& device, std::unique_ptr<DeviceManager>* out) override {
        auto* d = dynamic_cast<WinDevice*>(&device);
        if (!d || !out) return E_INVALIDARG;
        auto m = std::make_unique<WinDeviceManager>();
        HRESULT hr = MFCreateDXGIDeviceManager(&m->token, m->m.Put());
        if (SUCCEEDED(hr)) hr = m->m->ResetDevice(d->Native(), m->token);
        if (FAILED(hr)) return hr;
        *out = std::move(m);
        return S_OK;
    }

    HResult EnumTransforms(uint32_t flags, Subtype output, std::vector<std::unique_ptr<Activation>>* out) override {
        if (!out) return E_POINTER;
        out->clear();
        const GUID* subtype = SubtypeGuid(output);
        if (!subtype) return E_INVALIDARG;
        MFT_REGISTER_TYPE_INFO info{MFMediaType_Video, *subtype};
        IMFActivate** list = nullptr;
        UINT32 count = 0;
        HRESULT hr = MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, flags, nullptr, &info, &list, &count);
        if (FAILED(hr)) return hr;
        for (UINT32 i = 0; i < count; ++i)
            if (list[i]) out->push_back(std::make_unique<WinActivation>(Com<IMFActivate>(list[i])));
        CoTaskMemFree(list);
        return S_OK;
    }

    HResult CreateMemoryBuffer(size_t maxLength, std::shared_ptr<MediaBuffer>* out) override {
        if (!out) return E_POINTER;
        if (maxLength > MAXDWORD) return E_INVALIDARG;
        Com<IMFMediaBuffer> b;
        HRESULT hr = MFCreateMemoryBuffer(static_cast<DWORD>(maxLength), b.Put());
        if (FAILED(hr)) return hr;
        *out = std::make_shared<WinMemoryBuffer>(b);
        return S_OK;
    }

    HResult CompileShader(const std::string& source, const char* sourceName, const char* entry, const char* target,
                          std::vector<uint8_t>* bytecode, std::string* message) override {
        if (!bytecode) return E_POINTER;
        Com<ID3DBlob> code, errors;
        HRESULT hr = D3DCompile(source.data(), source.size(), sourceName, nullptr, nullptr, entry, target, 0, 0,
                                code.Put(), errors.Put());
        if (message) {
            message->clear();
            if (errors && errors->GetBufferSize())
                message->assign(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
        }
        if (FAILED(hr)) return hr;
        if (!code) return E_FAIL;
        const auto* p = static_cast<const uint8_t*>(code->GetBufferPointer());
        bytecode->assign(p, p + code->GetBufferSize());
        return S_OK;
    }

    HResult CreateVideoSampleAllocator(std::unique_ptr<SampleAllocator>* out) override {
        if (!out) return E_POINTER;
        Com<IMFVideoSampleAllocatorEx> a;
        HRESULT hr = MFCreateVideoSampleAllocatorEx(__uuidof(IMFVideoSampleAllocatorEx), a.PutVoid());
        if (FAILED(hr)) return hr;
        if (!a) return E_NOINTERFACE;
        *out = std::make_unique<WinSampleAllocator>(a);
        return S_OK;
    }

private:
    // A fresh factory each time: adapters come and go (docking, driver updates).
    // This thread's last factory result (the seam is called under each encoder's lock).
    static HRESULT Adapter(uint32_t index, Com<IDXGIAdapter1>* out) {
        Com<IDXGIFactory1> factory;
        HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), factory.PutVoid());
        factoryWorks_ = SUCCEEDED(hr);
        if (FAILED(hr)) return hr;
        return factory->EnumAdapters1(index, out->Put());
    }
    static thread_local bool factoryWorks_;
};

thread_local bool WinPlatform::factoryWorks_ = false;

}  // namespace

std::shared_ptr<EventGenerator> WrapEventGenerator(void* unknown) {
    if (!unknown) return nullptr;
    Com<IMFMediaEventGenerator> g;
    if (FAILED(static_cast<IUnknown*>(unknown)->QueryInterface(__uuidof(IMFMediaEventGenerator), g.PutVoid())) || !g)
        return nullptr;
    return std::make_shared<WinEventGenerator>(g);
}

std::shared_ptr<Platform> DefaultPlatform() {
    static const std::shared_ptr<Platform> platform = std::make_shared<WinPlatform>();
    return platform;
}

}  // namespace Veltrix::media
