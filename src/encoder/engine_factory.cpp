#include "encoder/engine_factory.h"

#include <cctype>

#include "encoder/media_foundation_encoder.h"
#include "store/install_identity.h"
#include "support/log.h"

namespace Veltrix {
namespace {
const LogChannel kLog{kLogSubsystem, "factories_win"};
}

std::vector<EngineInfo> EnumerateEngines(media::Platform& platform) {
    const bool started = media::Succeeded(platform.Startup());
    bool nvidia = false, intel = false, amd = false, other = false;
    for (media::Subtype codec : {media::Subtype::H264, media::Subtype::Hevc}) {
        std::vector<std::unique_ptr<media::Activation>> list;
        platform.EnumTransforms(media::kEnumHardware | media::kEnumSortAndFilter, codec, &list);
        for (auto& a : list) {
            std::string vendor;
            if (media::Failed(a->GetHardwareVendorId(&vendor)) || vendor.empty()) continue;
            if (vendor.size() > 127) vendor.resize(127);
            for (char& c : vendor) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (vendor.find("10DE") != std::string::npos)
                nvidia = true;
            else if (vendor.find("8086") != std::string::npos)
                intel = true;
            else if (vendor.find("1002") != std::string::npos)
                amd = true;
            else
                other = true;
        }
    }
    std::vector<EngineInfo> engines;
    if (nvidia) engines.push_back({"nvidia", "NVIDIA NVENC", ""});
    if (intel) engines.push_back({"intel", "Intel Quick Sync", ""});
    if (amd) engines.push_back({"amd", "AMD AMF", ""});
    const bool anyHw = nvidia || intel || amd || other;
    engines.push_back({"software", "Software (CPU)",
                       anyHw ? "CPU encoder (Media Foundation software MFT)"
                             : "No hardware encoder detected. Using CPU — expect higher CPU load and lower quality."});
    if (started) platform.Shutdown();
    Log(kLog, kLogInfo, "EnumerateEngines: nvidia=%d intel=%d amd=%d other=%d → %zu entries", nvidia ? 1 : 0,
        intel ? 1 : 0, amd ? 1 : 0, other ? 1 : 0, engines.size());
    return engines;
}

std::vector<EngineInfo> EnumerateEngines() { return EnumerateEngines(*media::DefaultPlatform()); }

std::unique_ptr<IHardwareEncoder> CreateDefaultEncoder() { return CreateForEngine("auto", nullptr); }

std::unique_ptr<IHardwareEncoder> CreateForEngine(const std::string& engineId) {
    return CreateForEngine(engineId, nullptr);
}

std::unique_ptr<IHardwareEncoder> CreateForEngine(const std::string& engineId,
                                                  std::shared_ptr<media::Platform> platform) {
    MediaFoundationEncoderOptions options;
    options.platform = std::move(platform);
    options.asyncHwEncodersEnabled = [] { return AsyncHwEncodersEnabled(); };
    auto e = std::make_unique<MediaFoundationEncoder>(std::move(options));
    e->SetEngine(engineId);
    return e;
}

}  // namespace Veltrix
