// The engine factory: the encoder engines the phone can choose from, and the
// production encoder bound to one of them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "encoder/hardware_encoder.h"
#include "encoder/media_platform.h"

namespace Veltrix {

// "nvidia", "intel", "amd" for each hardware vendor with an encoder transform,
// then "software" (always, last). Recomputed on every call.
std::vector<EngineInfo> EnumerateEngines();
std::vector<EngineInfo> EnumerateEngines(media::Platform& platform);

// A MediaFoundationEncoder with engine "auto".
std::unique_ptr<IHardwareEncoder> CreateDefaultEncoder();
// A MediaFoundationEncoder bound to engineId (lower-cased; empty means "auto").
std::unique_ptr<IHardwareEncoder> CreateForEngine(const std::string& engineId);
// The same on a given platform. Both read the install setting
// "enableAsyncHwEncoders" at every Configure.
std::unique_ptr<IHardwareEncoder> CreateForEngine(const std::string& engineId,
                                                  std::shared_ptr<media::Platform> platform);

}  // namespace Veltrix
