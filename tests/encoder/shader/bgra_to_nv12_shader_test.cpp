// The encoder's BGRA-to-NV12 compute shader, compiled from the embedded HLSL by
// glslang and run on Mesa's software Vulkan device, against the CPU converter.
// Both must give the same bytes: the phone shows GPU and CPU frames in turn.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>

#include "encoder/media_foundation_encoder.h"
#include "encoder/nv12_converter.h"
#include "tests/testing/test_env.h"
#include "vulkan_nv12.h"

namespace Veltrix {
namespace {

// glslang's HLSL front end: register(tN) and register(uN) share one binding
// space, so the UAVs move up by one (u0 -> 1, u1 -> 2); and the UAVs keep an
// Unknown format, so the view's R8 / R8G8 decides the stored bytes as a typed
// UAV does in Direct3D (glslang would otherwise declare R32f / Rg32f).
std::vector<uint32_t> CompileShader(std::string* log) {
    const char* tool = std::getenv("VX_GLSLANG");
    if (!tool || !*tool) {
        *log = "VX_GLSLANG is not set (the build did not find glslangValidator)";
        return {};
    }
    const auto dir = testing::MakeTempDir("bgra_to_nv12");
    const auto source = dir / "bgra_to_nv12.comp.hlsl", output = dir / "bgra_to_nv12.spv";
    std::ofstream(source, std::ios::binary) << kBgraToNv12Shader;
    const std::string command = std::string("'") + tool +
                                "' -D -S comp -e main -V --hlsl-iomap --shift-uav-binding comp 1 --no-storage-format"
                                " -o '" + output.string() + "' '" + source.string() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        *log = "cannot run " + command;
        return {};
    }
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) log->append(buffer, n);
    const int status = pclose(pipe.release());
    std::ifstream in(output, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (status != 0 || bytes.empty() || bytes.size() % 4) return {};
    std::vector<uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

class BgraToNv12Shader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Mesa keeps allocations referenced from its own static data. The loader
        // unloads the driver with the instance, LeakSanitizer then finds them
        // unreferenced (and cannot name the frames): keep the driver loaded.
        if (const char* driver = std::getenv("VX_LAVAPIPE_LIBRARY")) dlopen(driver, RTLD_NOW | RTLD_NODELETE);
        std::string log;
        const std::vector<uint32_t> spirv = CompileShader(&log);
        compileLog_ = new std::string(log);
        if (!spirv.empty()) device_ = new testing::VulkanNv12(spirv);
    }
    static void TearDownTestSuite() {
        delete device_;
        delete compileLog_;
        device_ = nullptr;
        compileLog_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(device_, nullptr) << "glslang rejected the shader:\n" << *compileLog_;
        ASSERT_EQ(device_->Error(), "");
        // The build points the loader at lavapipe alone; a real GPU here would make the result the machine's.
        ASSERT_EQ(device_->DeviceName().rfind("llvmpipe", 0), 0u) << device_->DeviceName();
    }

    // Converts one picture both ways and compares the planes byte for byte.
    void Compare(const std::vector<uint8_t>& bgra, int pitch, int w, int h) {
        std::vector<uint8_t> gpuY, gpuUV;
        ASSERT_TRUE(device_->Convert(bgra.data(), pitch, w, h, gpuY, gpuUV)) << device_->Error();
        std::vector<uint8_t> cpu(static_cast<size_t>(w) * h * 3 / 2);
        converter_.Convert(bgra.data(), pitch, cpu.data(), cpu.data() + static_cast<size_t>(w) * h, w, h);
        ExpectPlane("Y", gpuY.data(), cpu.data(), w, h, bgra, pitch, 1);
        ExpectPlane("UV", gpuUV.data(), cpu.data() + static_cast<size_t>(w) * h, w, h / 2, bgra, pitch, 2);
    }

    // Names the first differing byte and the source pixel (top left of its block for chroma).
    static void ExpectPlane(const char* plane, const uint8_t* gpu, const uint8_t* cpu, int w, int rows,
                            const std::vector<uint8_t>& bgra, int pitch, int step) {
        size_t differ = 0, first = SIZE_MAX;
        for (size_t i = 0; i < static_cast<size_t>(w) * rows; ++i)
            if (gpu[i] != cpu[i] && differ++ == 0) first = i;
        if (differ == 0) return;
        const int x = static_cast<int>(first % w), row = static_cast<int>(first / w);
        const int sx = step == 1 ? x : x / 2 * 2, sy = row * step;
        const uint8_t* p = bgra.data() + static_cast<size_t>(sy) * pitch + 4 * sx;
        ADD_FAILURE() << plane << " of " << w << "x" << rows * step << ": " << differ << " bytes differ; first at ("
                      << x << ", " << row << ") GPU " << int(gpu[first]) << " CPU " << int(cpu[first])
                      << ", source pixel (" << sx << ", " << sy << ") BGRA " << int(p[0]) << " " << int(p[1]) << " "
                      << int(p[2]);
    }

    static std::vector<uint8_t> Random(std::mt19937& rng, size_t bytes) {
        std::vector<uint8_t> v(bytes);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        return v;
    }

    static testing::VulkanNv12* device_;
    static std::string* compileLog_;
    Nv12Converter converter_;
};

testing::VulkanNv12* BgraToNv12Shader::device_ = nullptr;
std::string* BgraToNv12Shader::compileLog_ = nullptr;

// Encoder sizes: one thread of one group, whole groups, partial groups on
// either side (1080 and 360 rows are not multiples of 16), a chroma plane of
// odd width (1366 / 2), and padded source rows as a host's stride gives them.
TEST_F(BgraToNv12Shader, RandomPicturesMatchTheCpuConverter) {
    std::mt19937 rng(26);
    for (auto [w, h] : {std::pair{2, 2}, std::pair{16, 16}, std::pair{30, 18}, std::pair{640, 360},
                        std::pair{1366, 768}, std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const int pitch = 4 * w + (w % 3) * 64;
        Compare(Random(rng, static_cast<size_t>(pitch) * h), pitch, w, h);
    }
}

// The GPU paths take even sizes only. An odd source reaches the shader after
// the encoder's resize to its (even) frame size: that picture is compared.
TEST_F(BgraToNv12Shader, OddSourcesResizedToTheEncoderSize) {
    std::mt19937 rng(27);
    struct Case {
        int sw, sh, w, h;
    };
    for (Case c : {Case{1281, 721, 640, 360}, Case{17, 17, 16, 16}, Case{33, 15, 34, 16}, Case{1921, 1079, 1920, 1080}}) {
        SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " -> " + std::to_string(c.w) + "x" +
                     std::to_string(c.h));
        const std::vector<uint8_t> source = Random(rng, static_cast<size_t>(c.sw) * c.sh * 4);
        std::vector<uint8_t> scaled(static_cast<size_t>(c.w) * c.h * 4);
        ScaleNearest(source.data(), c.sw * 4, c.sw, c.sh, scaled.data(), c.w * 4, c.w, c.h);
        Compare(scaled, c.w * 4, c.w, c.h);
    }
}

}  // namespace
}  // namespace Veltrix
