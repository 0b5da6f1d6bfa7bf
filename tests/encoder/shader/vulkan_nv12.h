// Runs the BGRA-to-NV12 compute shader (as SPIR-V) on a Vulkan device, bound
// the way the Direct3D 11 path binds it: the B8G8R8A8 picture as a sampled
// image at binding 0 (t0), Y as an R8 storage image at binding 1 (u0) and the
// interleaved chroma as an R8G8 storage image of half size at binding 2 (u1).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

namespace Veltrix::testing {

class VulkanNv12 {
public:
    // Opens the first device the loader offers; Error() says why when none works.
    explicit VulkanNv12(const std::vector<uint32_t>& spirv);
    ~VulkanNv12();
    VulkanNv12(const VulkanNv12&) = delete;
    VulkanNv12& operator=(const VulkanNv12&) = delete;

    const std::string& Error() const { return error_; }
    const std::string& DeviceName() const { return deviceName_; }

    // One conversion with the encoder's dispatch ((w + 15) / 16 by (h + 15) / 16
    // groups). Y comes back with pitch w, UV with pitch w and h / 2 rows, as in
    // the NV12 buffer; outputs start cleared to 0 so an unwritten texel shows.
    bool Convert(const uint8_t* bgra, int pitch, int w, int h, std::vector<uint8_t>& y, std::vector<uint8_t>& uv);

private:
    bool Fail(const std::string& what, VkResult r);
    bool Open(const std::vector<uint32_t>& spirv);
    uint32_t MemoryType(uint32_t bits, VkMemoryPropertyFlags want) const;

    std::string error_, deviceName_;
    VkInstance instance_ = VK_NULL_HANDLE;
    VkPhysicalDevice physical_ = VK_NULL_HANDLE;
    VkDevice device_ = VK_NULL_HANDLE;
    VkQueue queue_ = VK_NULL_HANDLE;
    uint32_t queueFamily_ = 0;
    VkShaderModule module_ = VK_NULL_HANDLE;
    VkDescriptorSetLayout setLayout_ = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout_ = VK_NULL_HANDLE;
    VkPipeline pipeline_ = VK_NULL_HANDLE;
    VkCommandPool commandPool_ = VK_NULL_HANDLE;
};

}  // namespace Veltrix::testing
