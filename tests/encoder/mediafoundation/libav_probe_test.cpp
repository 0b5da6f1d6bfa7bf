// Hardware encoders of the libavcodec back end: listed only when they open.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "encoder/media_platform_libav.h"
#include "tests/testing/test_env.h"

namespace Veltrix::media {
namespace {

using libav::HardwareApi;
using libav::HardwareEncoder;

// Every encoder compiled in; an Intel and an AMD render node; opens as scripted.
struct ScriptedMachine {
    std::vector<std::string> nodes = {"renderD128", "renderD129"};
    std::set<std::string> opening;  // "codec" or "codec@node path"
    std::vector<std::string> tried;

    libav::ProbeOps Ops() {
        libav::ProbeOps ops;
        ops.compiledIn = [](const std::string&) { return true; };
        ops.renderNodes = [this] { return nodes; };
        ops.nodeVendor = [](const std::string& n) -> uint32_t {
            return n == "renderD128" ? 0x8086 : n == "renderD129" ? 0x1002 : 0;
        };
        ops.nodePath = [](const std::string& n) { return "/dev/dri/" + n; };
        ops.opens = [this](const HardwareEncoder& hw) {
            const std::string key = hw.device.empty() ? hw.codecName : hw.codecName + "@" + hw.device;
            tried.push_back(key);
            return opening.count(key) > 0;
        };
        return ops;
    }
};

std::vector<std::string> VendorsOf(Platform& platform, Subtype output) {
    std::vector<std::unique_ptr<Activation>> list;
    EXPECT_EQ(platform.EnumTransforms(kEnumHardware | kEnumSyncMft | kEnumSortAndFilter, output, &list), kS_OK);
    std::vector<std::string> vendors;
    for (auto& a : list) {
        std::string v;
        EXPECT_EQ(a->GetHardwareVendorId(&v), kS_OK);
        vendors.push_back(v);
    }
    return vendors;
}

TEST(LibavHardwareProbe, NothingIsListedWhenNothingOpens) {
    ScriptedMachine machine;
    auto platform = libav::MakePlatform([&] { return libav::ProbeHardware(machine.Ops()); });
    EXPECT_TRUE(VendorsOf(*platform, Subtype::H264).empty());
    EXPECT_TRUE(VendorsOf(*platform, Subtype::Hevc).empty());
    EXPECT_EQ(machine.tried,
              (std::vector<std::string>{"h264_nvenc", "hevc_nvenc", "h264_vaapi@/dev/dri/renderD128",
                                        "h264_vaapi@/dev/dri/renderD129", "hevc_vaapi@/dev/dri/renderD128",
                                        "hevc_vaapi@/dev/dri/renderD129", "h264_qsv", "hevc_qsv"}));
    // Probed once, not on every enumeration.
    const size_t tries = machine.tried.size();
    VendorsOf(*platform, Subtype::H264);
    EXPECT_EQ(machine.tried.size(), tries);
    // The software encoders are there all the same.
    std::vector<std::unique_ptr<Activation>> software;
    ASSERT_EQ(platform->EnumTransforms(kEnumSyncMft | kEnumSortAndFilter, Subtype::H264, &software), kS_OK);
    ASSERT_EQ(software.size(), 1u);
    std::string vendor;
    EXPECT_EQ(software[0]->GetHardwareVendorId(&vendor), kMF_E_ATTRIBUTENOTFOUND);
}

TEST(LibavHardwareProbe, WhatOpensIsListedWithItsDevicesVendor) {
    ScriptedMachine machine;
    machine.opening = {"h264_nvenc", "hevc_vaapi@/dev/dri/renderD129", "h264_qsv"};
    const auto found = libav::ProbeHardware(machine.Ops());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].codecName, "h264_nvenc");
    EXPECT_EQ(found[0].vendorId, 0x10DEu);
    EXPECT_EQ(found[1].codecName, "hevc_vaapi");
    EXPECT_EQ(found[1].api, HardwareApi::Vaapi);
    EXPECT_EQ(found[1].vendorId, 0x1002u);  // the AMD node, after the Intel one failed
    EXPECT_EQ(found[1].device, "/dev/dri/renderD129");
    EXPECT_EQ(found[2].codecName, "h264_qsv");
    EXPECT_EQ(found[2].vendorId, 0x8086u);

    auto platform = libav::MakePlatform([&] { return found; });
    EXPECT_EQ(VendorsOf(*platform, Subtype::H264), (std::vector<std::string>{"VEN_10DE", "VEN_8086"}));
    EXPECT_EQ(VendorsOf(*platform, Subtype::Hevc), (std::vector<std::string>{"VEN_1002"}));

    // Without render nodes neither VAAPI nor QSV is tried.
    ScriptedMachine bare;
    bare.nodes.clear();
    EXPECT_TRUE(libav::ProbeHardware(bare.Ops()).empty());
    EXPECT_EQ(bare.tried, (std::vector<std::string>{"h264_nvenc", "hevc_nvenc"}));
    // Only an AMD node: no QSV.
    ScriptedMachine amd;
    amd.nodes = {"renderD129"};
    libav::ProbeHardware(amd.Ops());
    EXPECT_EQ(amd.tried.back(), "hevc_vaapi@/dev/dri/renderD129");
}

TEST(LibavHardwareProbe, RealOpensOfNodesThatAreNoDevicesFailQuietly) {
    const auto root = testing::MakeTempDir("vx-probe");
    const auto dev = root / "dev", sys = root / "sys";
    std::filesystem::create_directories(dev);
    for (const char* node : {"renderD128", "renderD129", "card0"}) {
        std::ofstream(dev / node) << "not a device";
        std::filesystem::create_directories(sys / node / "device");
    }
    std::ofstream(sys / "renderD128" / "device" / "vendor") << "0x8086\n";
    std::ofstream(sys / "renderD129" / "device" / "vendor") << "garbage\n";

    const auto ops = libav::DefaultProbeOps(dev.string(), sys.string());
    EXPECT_EQ(ops.renderNodes(), (std::vector<std::string>{"renderD128", "renderD129"}));
    EXPECT_EQ(ops.nodeVendor("renderD128"), 0x8086u);
    EXPECT_EQ(ops.nodeVendor("renderD129"), 0u);
    EXPECT_EQ(ops.nodeVendor("renderD130"), 0u);
    EXPECT_EQ(ops.nodePath("renderD128"), (dev / "renderD128").string());
    // VAAPI on a file that is no device and QSV without an Intel GPU both fail to open.
    for (const auto& hw : libav::ProbeHardware(ops)) EXPECT_EQ(hw.api, HardwareApi::Nvenc) << hw.codecName;
    std::filesystem::remove_all(root);
}

TEST(LibavHardwareProbe, TheMachinesOwnProbeListsOnlyEncodersWithTheirVendors) {
    // No GPU on the development machines: normally empty; wherever it is not, the
    // vendors are right.
    for (const auto& hw : libav::ProbeHardware(libav::DefaultProbeOps())) {
        if (hw.api == HardwareApi::Nvenc) {
            EXPECT_EQ(hw.vendorId, 0x10DEu);
        } else if (hw.api == HardwareApi::Qsv) {
            EXPECT_EQ(hw.vendorId, 0x8086u);
        } else {
            EXPECT_NE(hw.vendorId, 0u);
        }
    }
}

}  // namespace
}  // namespace Veltrix::media
