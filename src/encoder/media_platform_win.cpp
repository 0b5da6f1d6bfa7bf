// Windows: the Media Foundation back end of the seam is not built yet. Until it
// is, the platform answers every start-up with E_NOTIMPL and lists nothing, so
// the encoder reports "no transform" instead of pretending to encode.
#include "encoder/media_platform.h"

namespace Veltrix::media {
namespace {

class UnavailablePlatform final : public Platform {
public:
    HResult Startup() override { return kE_NOTIMPL; }
    HResult Shutdown() override { return kS_OK; }
    HResult EnumAdapter(uint32_t, AdapterInfo*) override { return kDXGI_ERROR_NOT_FOUND; }
    HResult CreateDevice(const AdapterInfo*, std::unique_ptr<Device>*) override { return kE_NOTIMPL; }
    HResult CreateDeviceManager(Device&, std::unique_ptr<DeviceManager>*) override { return kE_NOTIMPL; }
    HResult EnumTransforms(uint32_t, Subtype, std::vector<std::unique_ptr<Activation>>* out) override {
        if (out) out->clear();
        return kE_NOTIMPL;
    }
};

}  // namespace

std::shared_ptr<Platform> DefaultPlatform() {
    static const std::shared_ptr<Platform> platform = std::make_shared<UnavailablePlatform>();
    return platform;
}

}  // namespace Veltrix::media
