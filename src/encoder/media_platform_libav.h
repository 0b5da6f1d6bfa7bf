// Hardware encoders of the libavcodec back end and how they are found.
//
// NVENC (vendor 10DE), VAAPI (the vendor of the render node's device) and QSV
// (vendor 8086) are listed as hardware transforms only when they actually open
// with a small frame on this machine; anything that fails is skipped silently.
// The probe runs once per platform, on the first hardware enumeration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoder/media_platform.h"

namespace Veltrix::media::libav {

enum class HardwareApi { Nvenc, Vaapi, Qsv };

struct HardwareEncoder {
    std::string codecName;  // "h264_nvenc", "hevc_vaapi", ...
    HardwareApi api = HardwareApi::Nvenc;
    Subtype output = Subtype::H264;
    uint32_t vendorId = 0;  // PCI vendor
    std::string device;     // render node path (VAAPI), empty otherwise
};

// What the probe asks of the machine.
struct ProbeOps {
    std::function<bool(const std::string& codecName)> compiledIn;
    std::function<std::vector<std::string>()> renderNodes;        // "renderD128", ... sorted
    std::function<uint32_t(const std::string& node)> nodeVendor;  // 0 when unknown
    std::function<std::string(const std::string& node)> nodePath; // "/dev/dri/renderD128"
    std::function<bool(const HardwareEncoder&)> opens;            // opens with a small frame
};

// The real machine: libavcodec's encoder list, render nodes under devDri, their
// vendors under sysDrm ("<node>/device/vendor"), and real opens.
ProbeOps DefaultProbeOps(std::string devDri = "/dev/dri", std::string sysDrm = "/sys/class/drm");

// The hardware encoders that open, NVENC first, then VAAPI (first render node that
// opens, per codec), then QSV (only with an Intel render node).
std::vector<HardwareEncoder> ProbeHardware(const ProbeOps& ops);

// "VEN_10DE" for 0x10DE: the form of the vendor-id attribute.
std::string VendorIdText(uint32_t vendorId);

// A libavcodec platform whose hardware list comes from probe (called once, lazily).
std::shared_ptr<Platform> MakePlatform(std::function<std::vector<HardwareEncoder>()> probe);

}  // namespace Veltrix::media::libav
