#include "encoder/media_platform.h"

#include <cstring>

namespace Veltrix::media {

HResult MemoryBuffer::Lock(uint8_t** data, size_t* maxLength, size_t* currentLength) {
    if (!data) return kE_POINTER;
    *data = bytes_.data();
    if (maxLength) *maxLength = bytes_.size();
    if (currentLength) *currentLength = current_;
    return kS_OK;
}

HResult MemoryBuffer::SetCurrentLength(size_t length) {
    if (length > bytes_.size()) return kE_INVALIDARG;
    current_ = length;
    return kS_OK;
}

HResult Sample::ConvertToContiguousBuffer(std::shared_ptr<MediaBuffer>* out) {
    if (!out) return kE_POINTER;
    if (buffers_.empty()) return kE_FAIL;
    if (buffers_.size() == 1) {
        *out = buffers_.front();
        return kS_OK;
    }
    size_t total = 0;
    for (auto& b : buffers_) total += b->CurrentLength();
    auto joined = std::make_shared<MemoryBuffer>(total);
    uint8_t* dst = nullptr;
    joined->Lock(&dst, nullptr, nullptr);
    size_t at = 0;
    for (auto& b : buffers_) {
        uint8_t* src = nullptr;
        size_t len = 0;
        HResult hr = b->Lock(&src, nullptr, &len);
        if (Failed(hr)) return hr;
        if (len) std::memcpy(dst + at, src, len);
        at += len;
        b->Unlock();
    }
    joined->Unlock();
    joined->SetCurrentLength(total);
    buffers_.clear();
    buffers_.push_back(joined);
    *out = joined;
    return kS_OK;
}

HResult Platform::CreateMemoryBuffer(size_t maxLength, std::shared_ptr<MediaBuffer>* out) {
    if (!out) return kE_POINTER;
    *out = std::make_shared<MemoryBuffer>(maxLength);
    return kS_OK;
}

HResult Platform::CreateSample(std::shared_ptr<Sample>* out) {
    if (!out) return kE_POINTER;
    *out = std::make_shared<Sample>();
    return kS_OK;
}

HResult Platform::CompileShader(const std::string&, const char*, const char*, const char*, std::vector<uint8_t>*,
                               std::string*) {
    return kE_NOTIMPL;
}

HResult Platform::CreateVideoSampleAllocator(std::unique_ptr<SampleAllocator>*) { return kE_NOTIMPL; }

HResult Transform::GetEventGenerator(std::shared_ptr<EventGenerator>* out) {
    if (out) out->reset();
    return kE_NOINTERFACE;
}

HResult Transform::Shutdown() { return kE_NOTIMPL; }

HResult Device::CreateComputeShader(const std::vector<uint8_t>&, GpuRef*) { return kE_NOTIMPL; }
HResult Device::CreateTexture(const TextureDesc&, GpuRef*) { return kE_NOTIMPL; }
HResult Device::CreateShaderResourceView(GpuObject&, GpuRef*) { return kE_NOTIMPL; }
HResult Device::CreateUnorderedAccessView(GpuObject&, GpuFormat, int, GpuRef*) { return kE_NOTIMPL; }
HResult Device::CreateEventQuery(GpuRef*) { return kE_NOTIMPL; }
HResult Device::Map(GpuObject&, MapMode, MappedTexture*) { return kE_NOTIMPL; }
void Device::Unmap(GpuObject&) {}
void Device::Dispatch(GpuObject&, GpuObject&, GpuObject&, GpuObject&, uint32_t, uint32_t, bool) {}
void Device::CopyResource(GpuObject&, GpuObject&) {}
void Device::EndQuery(GpuObject&) {}
HResult Device::GetQueryData(GpuObject&, uint32_t*) { return kE_NOTIMPL; }
void Device::Flush() {}

}  // namespace Veltrix::media
