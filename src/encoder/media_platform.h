// The media-platform seam: the few platform calls the production encoder makes
// (start-up, adapters, devices, encoder transforms, media types, codec
// properties, samples and buffers), small enough to implement over Media
// Foundation on Windows, over libavcodec on Linux, and as a scripted fake in
// tests. Every call answers an HRESULT-valued code so log lines read the same
// on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Veltrix::media {

// HRESULT values (the same numbers Windows uses).
using HResult = int32_t;
constexpr HResult Hr(uint32_t v) { return static_cast<HResult>(v); }
inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_NOTIMPL = Hr(0x80004001u);
inline constexpr HResult kE_NOINTERFACE = Hr(0x80004002u);
inline constexpr HResult kE_POINTER = Hr(0x80004003u);
inline constexpr HResult kE_FAIL = Hr(0x80004005u);
inline constexpr HResult kE_ACCESSDENIED = Hr(0x80070005u);
inline constexpr HResult kE_OUTOFMEMORY = Hr(0x8007000Eu);
inline constexpr HResult kE_INVALIDARG = Hr(0x80070057u);
inline constexpr HResult kMF_E_INVALIDSTREAMNUMBER = Hr(0xC00D36B3u);
inline constexpr HResult kMF_E_INVALIDMEDIATYPE = Hr(0xC00D36B4u);
inline constexpr HResult kMF_E_NOTACCEPTING = Hr(0xC00D36B5u);
inline constexpr HResult kMF_E_NO_MORE_TYPES = Hr(0xC00D36B9u);
inline constexpr HResult kMF_E_ATTRIBUTENOTFOUND = Hr(0xC00D36E6u);
inline constexpr HResult kMF_E_TRANSFORM_TYPE_NOT_SET = Hr(0xC00D6D60u);
inline constexpr HResult kMF_E_TRANSFORM_STREAM_CHANGE = Hr(0xC00D6D61u);
inline constexpr HResult kMF_E_TRANSFORM_INPUT_REMAINING = Hr(0xC00D6D62u);
inline constexpr HResult kMF_E_TRANSFORM_NEED_MORE_INPUT = Hr(0xC00D6D72u);
inline constexpr HResult kMF_E_UNSUPPORTED_D3D_TYPE = Hr(0xC00D6D76u);
inline constexpr HResult kMF_E_TRANSFORM_ASYNC_LOCKED = Hr(0xC00D6D77u);
inline constexpr HResult kDXGI_ERROR_NOT_FOUND = Hr(0x887A0002u);
inline constexpr HResult kS_FALSE = 1;
inline constexpr HResult kMF_E_SAMPLEALLOCATOR_EMPTY = Hr(0xC00D4A3Eu);

inline bool Succeeded(HResult hr) { return hr >= 0; }
inline bool Failed(HResult hr) { return hr < 0; }

// One graphics adapter as the platform describes it.
struct AdapterInfo {
    uint32_t index = 0;
    uint32_t vendorId = 0;
    uint64_t dedicatedVideoMemory = 0;
    bool software = false;
    std::string description;  // UTF-8
};

// --- Direct3D 11 as the GPU converter uses it ---

// A texture, view, compute shader or query; what it is depends on how it was made.
class GpuObject {
public:
    virtual ~GpuObject() = default;
};
using GpuRef = std::shared_ptr<GpuObject>;

enum class GpuFormat { Bgra8, R8, R8G8, Nv12 };  // DXGI_FORMAT_B8G8R8A8/R8/R8G8_UNORM, NV12
enum class GpuUsage { Default, Dynamic, Staging };
// D3D11_BIND_* values.
inline constexpr uint32_t kBindShaderResource = 0x08;
inline constexpr uint32_t kBindRenderTarget = 0x20;
inline constexpr uint32_t kBindUnorderedAccess = 0x80;

struct TextureDesc {
    uint32_t width = 0, height = 0;
    GpuFormat format = GpuFormat::Bgra8;
    GpuUsage usage = GpuUsage::Default;
    uint32_t bindFlags = 0;
    bool cpuWrite = false, cpuRead = false;
};

enum class MapMode { WriteDiscard, Read };
struct MappedTexture {
    uint8_t* data = nullptr;
    size_t rowPitch = 0;
};

// A graphics device and its immediate context. Without a context (the default
// here) every operation fails and the encoder stays on the CPU.
class Device {
public:
    virtual ~Device() = default;
    virtual bool HasContext() const { return false; }
    virtual HResult CreateComputeShader(const std::vector<uint8_t>& bytecode, GpuRef* out);
    virtual HResult CreateTexture(const TextureDesc& desc, GpuRef* out);
    virtual HResult CreateShaderResourceView(GpuObject& texture, GpuRef* out);
    // arraySlice < 0: a 2-D view; otherwise a 2-D array view of that one slice.
    virtual HResult CreateUnorderedAccessView(GpuObject& texture, GpuFormat format, int arraySlice, GpuRef* out);
    virtual HResult CreateEventQuery(GpuRef* out);
    virtual HResult Map(GpuObject& texture, MapMode mode, MappedTexture* out);
    virtual void Unmap(GpuObject& texture);
    // Binds the shader, source at t0, y and uv at u0 and u1, dispatches the
    // groups, then unbinds the two UAVs (and the source when unbindSource).
    virtual void Dispatch(GpuObject& shader, GpuObject& source, GpuObject& y, GpuObject& uv, uint32_t groupsX,
                          uint32_t groupsY, bool unbindSource);
    virtual void CopyResource(GpuObject& dst, GpuObject& src);
    virtual void EndQuery(GpuObject& query);
    // kS_OK with *done set once the GPU passed the query, kS_FALSE before.
    virtual HResult GetQueryData(GpuObject& query, uint32_t* done);
    virtual void Flush();
};

// Shares a device with transforms (IMFDXGIDeviceManager).
class DeviceManager {
public:
    virtual ~DeviceManager() = default;
};

// Transform enumeration flags (the MFT_ENUM_FLAG_* values).
enum EnumFlags : uint32_t {
    kEnumSyncMft = 0x01,
    kEnumAsyncMft = 0x02,
    kEnumHardware = 0x04,
    kEnumSortAndFilter = 0x40,
};

enum class Subtype { Unknown, H264, Hevc, Nv12 };

inline constexpr uint32_t kInterlaceProgressive = 2;
inline constexpr uint32_t kProfileH264High = 100;
inline constexpr uint32_t kProfileHevcMain = 1;

// A video media type. sequenceHeader is MF_MT_MPEG_SEQUENCE_HEADER: an
// avcC/hvcC decoder configuration record on output types, empty otherwise.
struct MediaType {
    bool video = true;
    Subtype subtype = Subtype::Unknown;
    uint32_t avgBitrate = 0;
    uint32_t width = 0, height = 0;
    uint32_t fpsNum = 0, fpsDen = 0;
    uint32_t parNum = 0, parDen = 0;
    uint32_t interlace = 0;
    uint32_t profile = 0;
    // Colour description (MF_MT_YUV_MATRIX, MF_MT_VIDEO_NOMINAL_RANGE,
    // MF_MT_VIDEO_PRIMARIES, MF_MT_TRANSFER_FUNCTION); 0: not set.
    uint32_t yuvMatrix = 0, nominalRange = 0, primaries = 0, transferFunction = 0;
    std::vector<uint8_t> sequenceHeader;
};
// The colour values our converter produces: BT.709, limited range.
inline constexpr uint32_t kYuvMatrixBt709 = 1;        // MFVideoTransferMatrix_BT709
inline constexpr uint32_t kNominalRange16To235 = 2;   // MFNominalRange_16_235
inline constexpr uint32_t kPrimariesBt709 = 2;        // MFVideoPrimaries_BT709
inline constexpr uint32_t kTransferFunction709 = 5;   // MFVideoTransFunc_709

// Codec properties (the CODECAPI_* values the encoder sets).
enum class CodecProperty {
    LowLatencyMode,      // boolean
    RealTime,            // CODECAPI_AVEncCommonRealTime
    RateControlMode,     // 0 CBR, 1 peak-constrained VBR, 3 quality
    MeanBitRate,
    MaxBitRate,
    BufferSize,          // CODECAPI_AVEncCommonBufferSize, bits
    Quality,             // 0..100
    GopSize,             // CODECAPI_AVEncMPVGOPSize
    BPictureCount,       // CODECAPI_AVEncMPVDefaultBPictureCount
    ForceKeyFrame,       // CODECAPI_AVEncVideoForceKeyFrame
    EncodeQp,            // CODECAPI_AVEncVideoEncodeQP
};
inline constexpr uint32_t kRateControlModeCbr = 0;
inline constexpr uint32_t kRateControlModePeakConstrainedVbr = 1;
inline constexpr uint32_t kRateControlModeQuality = 3;

// ICodecAPI: properties of a running transform; results are advisory.
class CodecApi {
public:
    virtual ~CodecApi() = default;
    virtual HResult SetValue(CodecProperty property, uint32_t value) = 0;
};

// A block of memory. Lock hands out the data pointer until Unlock.
class MediaBuffer {
public:
    virtual ~MediaBuffer() = default;
    virtual HResult Lock(uint8_t** data, size_t* maxLength, size_t* currentLength) = 0;
    virtual HResult Unlock() = 0;
    virtual HResult SetCurrentLength(size_t length) = 0;
    virtual size_t CurrentLength() const = 0;
};

// Plain system memory; what the platforms hand out unless told otherwise.
class MemoryBuffer : public MediaBuffer {
public:
    explicit MemoryBuffer(size_t maxLength) : bytes_(maxLength) {}
    HResult Lock(uint8_t** data, size_t* maxLength, size_t* currentLength) override;
    HResult Unlock() override { return kS_OK; }
    HResult SetCurrentLength(size_t length) override;
    size_t CurrentLength() const override { return current_; }

private:
    std::vector<uint8_t> bytes_;
    size_t current_ = 0;
};

// The platform's own object behind a sample taken from a video sample
// allocator; it lives as long as the platform recycles the sample, so views
// cached on it survive the next allocation.
class NativeSample {
public:
    virtual ~NativeSample() = default;
    // The two unordered-access views cached on the sample; kMF_E_ATTRIBUTENOTFOUND when absent.
    virtual HResult GetCachedViews(GpuRef* y, GpuRef* uv) = 0;
    virtual HResult SetCachedViews(const GpuRef& y, const GpuRef& uv) = 0;
};

// A buffer that is a texture (IMFDXGIBuffer); Lock is not available.
class GpuBuffer : public MediaBuffer {
public:
    virtual HResult GetTexture(GpuRef* out) = 0;
    virtual HResult GetSubresourceIndex(uint32_t* out) = 0;
};

// A sample: buffers plus time (100 ns units) and the clean-point attribute.
class Sample {
public:
    void SetNative(std::shared_ptr<NativeSample> native) { native_ = std::move(native); }
    NativeSample* Native() const { return native_.get(); }

    void AddBuffer(std::shared_ptr<MediaBuffer> buffer) { buffers_.push_back(std::move(buffer)); }
    void RemoveAllBuffers() { buffers_.clear(); }
    size_t BufferCount() const { return buffers_.size(); }
    std::shared_ptr<MediaBuffer> Buffer(size_t i) const { return buffers_.at(i); }
    // One buffer holding all the data (a copy when there are several).
    HResult ConvertToContiguousBuffer(std::shared_ptr<MediaBuffer>* out);

    void SetTime(int64_t t) { time_ = t; }
    int64_t Time() const { return time_; }
    void SetDuration(int64_t d) { duration_ = d; }
    int64_t Duration() const { return duration_; }
    // MFSampleExtension_CleanPoint: absent, or a value.
    void SetCleanPoint(uint32_t v) { cleanPoint_ = v; hasCleanPoint_ = true; }
    void ClearCleanPoint() { hasCleanPoint_ = false; cleanPoint_ = 0; }
    bool HasCleanPoint() const { return hasCleanPoint_; }
    uint32_t CleanPoint() const { return hasCleanPoint_ ? cleanPoint_ : 0; }

private:
    std::vector<std::shared_ptr<MediaBuffer>> buffers_;
    int64_t time_ = 0;
    int64_t duration_ = 0;
    uint32_t cleanPoint_ = 0;
    bool hasCleanPoint_ = false;
    std::shared_ptr<NativeSample> native_;
};

// Transform attributes the encoder reads.
struct TransformAttributes {
    bool async = false;       // MF_TRANSFORM_ASYNC
    bool d3d11Aware = false;  // MF_SA_D3D11_AWARE
};

enum class TransformMessage {
    CommandFlush,
    CommandDrain,
    SetD3DManager,
    NotifyBeginStreaming,
    NotifyEndStreaming,
    NotifyStartOfStream,
    NotifyEndOfStream,
};

struct OutputStreamInfo {
    bool providesSamples = false;  // MFT_OUTPUT_STREAM_PROVIDES_SAMPLES
    size_t sampleSize = 0;
};

// --- asynchronous transforms (IMFMediaEventGenerator) ---

// Event types.
inline constexpr uint32_t kMEError = 1;
inline constexpr uint32_t kMETransformNeedInput = 601;
inline constexpr uint32_t kMETransformHaveOutput = 602;
inline constexpr uint32_t kMETransformDrainComplete = 603;

// The completed request handed to the callback (IMFAsyncResult).
class AsyncResult {
public:
    virtual ~AsyncResult() = default;
};

// IMFAsyncCallback: Invoke runs on the platform's thread once per BeginGetEvent.
// The generator keeps the callback alive until then.
class AsyncCallback {
public:
    virtual ~AsyncCallback() = default;
    virtual void Invoke(AsyncResult& result) = 0;
};

class EventGenerator {
public:
    virtual ~EventGenerator() = default;
    // Asks for the next event; callback->Invoke follows on another thread.
    virtual HResult BeginGetEvent(std::shared_ptr<AsyncCallback> callback) = 0;
    // The event of a completed request: its type.
    virtual HResult EndGetEvent(AsyncResult& result, uint32_t* eventType) = 0;
};

// An encoder transform (IMFTransform), stream 0 only.
class Transform {
public:
    virtual ~Transform() = default;
    virtual HResult GetAttributes(TransformAttributes* out) = 0;
    virtual HResult SetAsyncUnlock() = 0;  // MF_TRANSFORM_ASYNC_UNLOCK = 1
    // manager is used by SetD3DManager only.
    virtual HResult ProcessMessage(TransformMessage message, DeviceManager* manager) = 0;
    virtual HResult SetOutputType(int stream, const MediaType& type) = 0;
    // kMF_E_NO_MORE_TYPES past the last one.
    virtual HResult GetInputAvailableType(int stream, uint32_t index, MediaType* out) = 0;
    virtual HResult SetInputType(int stream, const MediaType& type) = 0;
    virtual HResult GetOutputCurrentType(int stream, MediaType* out) = 0;
    virtual HResult GetOutputAvailableType(int stream, uint32_t index, MediaType* out) = 0;
    // ICodecAPI of this transform; null when it has none. Owned by the transform.
    virtual CodecApi* GetCodecApi() = 0;
    virtual HResult GetOutputStreamInfo(int stream, OutputStreamInfo* out) = 0;
    // kMF_E_NOTACCEPTING while output is waiting to be collected.
    virtual HResult ProcessInput(int stream, Sample& sample) = 0;
    // sample: caller's sample (filled) or, when the stream provides samples, set
    // by the transform. kMF_E_TRANSFORM_NEED_MORE_INPUT when nothing is ready,
    // kMF_E_TRANSFORM_STREAM_CHANGE when the output type must be renegotiated.
    virtual HResult ProcessOutput(int stream, std::shared_ptr<Sample>* sample) = 0;
    // The event generator of an asynchronous transform; E_NOINTERFACE otherwise.
    virtual HResult GetEventGenerator(std::shared_ptr<EventGenerator>* out);
    // IMFShutdown: ends the transform's session and its event queue (further
    // BeginGetEvent calls fail). Owed before release by every transform that
    // has it; kE_NOTIMPL for those that have not.
    virtual HResult Shutdown();
};

// IMFVideoSampleAllocatorEx: NV12 texture samples for GPU-resident input.
// Uninitialised when destroyed.
class SampleAllocator {
public:
    virtual ~SampleAllocator() = default;
    virtual HResult SetDirectXManager(DeviceManager& manager) = 0;
    // The allocator attributes (MFCreateAttributes): MF_SA_D3D11_USAGE,
    // MF_SA_D3D11_BINDFLAGS, MF_SA_BUFFERS_PER_SAMPLE.
    virtual HResult SetAttributes(uint32_t usage, uint32_t bindFlags, uint32_t buffersPerSample) = 0;
    // The sample media type (MFCreateMediaType).
    virtual HResult SetMediaType(const MediaType& type) = 0;
    virtual HResult Initialize(uint32_t initialSamples, uint32_t maxSamples) = 0;
    // A sample with one GpuBuffer and a NativeSample; kMF_E_SAMPLEALLOCATOR_EMPTY when all are in use.
    virtual HResult AllocateSample(std::shared_ptr<Sample>* out) = 0;
};

// One enumerated transform before activation (IMFActivate).
class Activation {
public:
    virtual ~Activation() = default;
    // MFT_FRIENDLY_NAME_Attribute (UTF-8); kMF_E_ATTRIBUTENOTFOUND when missing.
    virtual HResult GetFriendlyName(std::string* out) = 0;
    // MFT_ENUM_HARDWARE_VENDOR_ID_Attribute (UTF-8), e.g. "VEN_10DE".
    virtual HResult GetHardwareVendorId(std::string* out) = 0;
    virtual HResult ActivateTransform(std::unique_ptr<Transform>* out) = 0;
};

// The platform itself. Calls are made under the encoder's lock; an
// implementation is shared by every encoder of the process and must be safe to
// call from several encoders at once.
class Platform {
public:
    virtual ~Platform() = default;
    virtual HResult Startup() = 0;
    virtual HResult Shutdown() = 0;
    // kDXGI_ERROR_NOT_FOUND past the last adapter.
    virtual HResult EnumAdapter(uint32_t index, AdapterInfo* out) = 0;
    // adapter null: the default hardware adapter.
    virtual HResult CreateDevice(const AdapterInfo* adapter, std::unique_ptr<Device>* out) = 0;
    virtual HResult CreateDeviceManager(Device& device, std::unique_ptr<DeviceManager>* out) = 0;
    // Video encoders producing `output`, in the platform's merit order.
    virtual HResult EnumTransforms(uint32_t flags, Subtype output,
                                   std::vector<std::unique_ptr<Activation>>* out) = 0;
    virtual HResult CreateMemoryBuffer(size_t maxLength, std::shared_ptr<MediaBuffer>* out);
    virtual HResult CreateSample(std::shared_ptr<Sample>* out);
    // D3DCompile; message: the compiler's text when there is one.
    virtual HResult CompileShader(const std::string& source, const char* sourceName, const char* entry,
                                  const char* target, std::vector<uint8_t>* bytecode, std::string* message);
    virtual HResult CreateVideoSampleAllocator(std::unique_ptr<SampleAllocator>* out);
};

// The platform of this build (Media Foundation on Windows, libavcodec on Linux).
std::shared_ptr<Platform> DefaultPlatform();

}  // namespace Veltrix::media
