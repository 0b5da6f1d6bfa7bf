#include "vulkan_nv12.h"

#include <cstring>

namespace Veltrix::testing {

namespace {

// A zeroed Vulkan structure of the given type.
template <class T>
T Info(VkStructureType type) {
    T v{};
    v.sType = type;
    return v;
}

// What one conversion allocates, released in one place whatever step failed.
struct Frame {
    VkDevice device;
    VkImage images[3] = {};
    VkImageView views[3] = {};
    VkBuffer buffers[2] = {};  // upload, read-back
    VkDeviceMemory memory[5] = {};
    VkDescriptorPool pool = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;

    explicit Frame(VkDevice d) : device(d) {}
    ~Frame() {
        if (fence) vkDestroyFence(device, fence, nullptr);
        if (pool) vkDestroyDescriptorPool(device, pool, nullptr);
        for (VkImageView v : views)
            if (v) vkDestroyImageView(device, v, nullptr);
        for (VkImage i : images)
            if (i) vkDestroyImage(device, i, nullptr);
        for (VkBuffer b : buffers)
            if (b) vkDestroyBuffer(device, b, nullptr);
        for (VkDeviceMemory m : memory)
            if (m) vkFreeMemory(device, m, nullptr);
    }
};

VkImageMemoryBarrier Barrier(VkImage image, VkImageLayout from, VkImageLayout to, VkAccessFlags src,
                             VkAccessFlags dst) {
    auto b = Info<VkImageMemoryBarrier>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER);
    b.srcAccessMask = src;
    b.dstAccessMask = dst;
    b.oldLayout = from;
    b.newLayout = to;
    b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = image;
    b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    return b;
}

constexpr VkImageSubresourceLayers kLayer{VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};

}  // namespace

VulkanNv12::VulkanNv12(const std::vector<uint32_t>& spirv) { Open(spirv); }

VulkanNv12::~VulkanNv12() {
    if (device_) {
        vkDeviceWaitIdle(device_);
        if (commandPool_) vkDestroyCommandPool(device_, commandPool_, nullptr);
        if (pipeline_) vkDestroyPipeline(device_, pipeline_, nullptr);
        if (pipelineLayout_) vkDestroyPipelineLayout(device_, pipelineLayout_, nullptr);
        if (setLayout_) vkDestroyDescriptorSetLayout(device_, setLayout_, nullptr);
        if (module_) vkDestroyShaderModule(device_, module_, nullptr);
        vkDestroyDevice(device_, nullptr);
    }
    if (instance_) vkDestroyInstance(instance_, nullptr);
}

bool VulkanNv12::Fail(const std::string& what, VkResult r) {
    error_ = what + " failed (VkResult " + std::to_string(static_cast<int>(r)) + ")";
    return false;
}

uint32_t VulkanNv12::MemoryType(uint32_t bits, VkMemoryPropertyFlags want) const {
    VkPhysicalDeviceMemoryProperties p;
    vkGetPhysicalDeviceMemoryProperties(physical_, &p);
    for (uint32_t i = 0; i < p.memoryTypeCount; ++i)
        if ((bits & (1u << i)) && (p.memoryTypes[i].propertyFlags & want) == want) return i;
    return UINT32_MAX;
}

bool VulkanNv12::Open(const std::vector<uint32_t>& spirv) {
    auto app = Info<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
    app.pApplicationName = "bgra_to_nv12_shader_tests";
    app.apiVersion = VK_API_VERSION_1_0;
    auto ici = Info<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
    ici.pApplicationInfo = &app;
    if (VkResult r = vkCreateInstance(&ici, nullptr, &instance_); r != VK_SUCCESS) return Fail("vkCreateInstance", r);
    uint32_t count = 1;
    VkResult r = vkEnumeratePhysicalDevices(instance_, &count, &physical_);
    if ((r != VK_SUCCESS && r != VK_INCOMPLETE) || count == 0) return Fail("no Vulkan device: vkEnumeratePhysicalDevices", r);
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(physical_, &props);
    deviceName_ = props.deviceName;

    // Direct3D writes typed UAVs through the view's format; the SPIR-V leaves
    // the format Unknown, which needs this feature.
    VkPhysicalDeviceFeatures have;
    vkGetPhysicalDeviceFeatures(physical_, &have);
    if (!have.shaderStorageImageWriteWithoutFormat) {
        error_ = deviceName_ + " lacks shaderStorageImageWriteWithoutFormat";
        return false;
    }
    for (auto [format, feature] : {std::pair{VK_FORMAT_B8G8R8A8_UNORM, VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT},
                                   std::pair{VK_FORMAT_R8_UNORM, VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT},
                                   std::pair{VK_FORMAT_R8G8_UNORM, VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT}}) {
        VkFormatProperties fp;
        vkGetPhysicalDeviceFormatProperties(physical_, format, &fp);
        if (!(fp.optimalTilingFeatures & feature)) {
            error_ = deviceName_ + " cannot use format " + std::to_string(format) + " as the shader needs";
            return false;
        }
    }

    uint32_t families = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &families, nullptr);
    std::vector<VkQueueFamilyProperties> fam(families);
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &families, fam.data());
    queueFamily_ = UINT32_MAX;
    for (uint32_t i = 0; i < families && queueFamily_ == UINT32_MAX; ++i)
        if (fam[i].queueFlags & VK_QUEUE_COMPUTE_BIT) queueFamily_ = i;
    if (queueFamily_ == UINT32_MAX) {
        error_ = deviceName_ + " has no compute queue";
        return false;
    }
    const float priority = 1.0f;
    auto qci = Info<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
    qci.queueFamilyIndex = queueFamily_;
    qci.queueCount = 1;
    qci.pQueuePriorities = &priority;
    VkPhysicalDeviceFeatures want{};
    want.shaderStorageImageWriteWithoutFormat = VK_TRUE;
    auto dci = Info<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
    dci.queueCreateInfoCount = 1;
    dci.pQueueCreateInfos = &qci;
    dci.pEnabledFeatures = &want;
    if ((r = vkCreateDevice(physical_, &dci, nullptr, &device_)) != VK_SUCCESS) return Fail("vkCreateDevice", r);
    vkGetDeviceQueue(device_, queueFamily_, 0, &queue_);

    auto smci = Info<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
    smci.codeSize = spirv.size() * sizeof(uint32_t);
    smci.pCode = spirv.data();
    if ((r = vkCreateShaderModule(device_, &smci, nullptr, &module_)) != VK_SUCCESS)
        return Fail("vkCreateShaderModule", r);
    VkDescriptorSetLayoutBinding bindings[3] = {
        {0, VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
        {1, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
        {2, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr}};
    auto dslci = Info<VkDescriptorSetLayoutCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO);
    dslci.bindingCount = 3;
    dslci.pBindings = bindings;
    if ((r = vkCreateDescriptorSetLayout(device_, &dslci, nullptr, &setLayout_)) != VK_SUCCESS)
        return Fail("vkCreateDescriptorSetLayout", r);
    auto plci = Info<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
    plci.setLayoutCount = 1;
    plci.pSetLayouts = &setLayout_;
    if ((r = vkCreatePipelineLayout(device_, &plci, nullptr, &pipelineLayout_)) != VK_SUCCESS)
        return Fail("vkCreatePipelineLayout", r);
    auto cpci = Info<VkComputePipelineCreateInfo>(VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO);
    cpci.stage = Info<VkPipelineShaderStageCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO);
    cpci.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    cpci.stage.module = module_;
    cpci.stage.pName = "main";
    cpci.layout = pipelineLayout_;
    if ((r = vkCreateComputePipelines(device_, VK_NULL_HANDLE, 1, &cpci, nullptr, &pipeline_)) != VK_SUCCESS)
        return Fail("vkCreateComputePipelines", r);
    auto cpoolci = Info<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
    cpoolci.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    cpoolci.queueFamilyIndex = queueFamily_;
    if ((r = vkCreateCommandPool(device_, &cpoolci, nullptr, &commandPool_)) != VK_SUCCESS)
        return Fail("vkCreateCommandPool", r);
    return true;
}

bool VulkanNv12::Convert(const uint8_t* bgra, int pitch, int w, int h, std::vector<uint8_t>& y,
                         std::vector<uint8_t>& uv) {
    // Even sizes only, as the encoder's GPU paths.
    if (!commandPool_ || w < 2 || h < 2 || (w & 1) || (h & 1) || pitch < 4 * w || pitch % 4) {
        if (error_.empty()) error_ = "bad Convert arguments";
        return false;
    }
    Frame f(device_);
    VkResult r;
    const VkFormat formats[3] = {VK_FORMAT_B8G8R8A8_UNORM, VK_FORMAT_R8_UNORM, VK_FORMAT_R8G8_UNORM};
    const VkExtent3D extents[3] = {{uint32_t(w), uint32_t(h), 1}, {uint32_t(w), uint32_t(h), 1},
                                   {uint32_t(w / 2), uint32_t(h / 2), 1}};
    const VkImageUsageFlags usage[3] = {
        VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT,
        VK_IMAGE_USAGE_STORAGE_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT,
        VK_IMAGE_USAGE_STORAGE_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT};
    auto bind = [&](VkMemoryRequirements req, VkMemoryPropertyFlags want, VkDeviceMemory* out) {
        auto mai = Info<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
        mai.allocationSize = req.size;
        mai.memoryTypeIndex = MemoryType(req.memoryTypeBits, want);
        if (mai.memoryTypeIndex == UINT32_MAX) return VK_ERROR_FEATURE_NOT_PRESENT;
        return vkAllocateMemory(device_, &mai, nullptr, out);
    };
    for (int i = 0; i < 3; ++i) {
        auto ci = Info<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
        ci.imageType = VK_IMAGE_TYPE_2D;
        ci.format = formats[i];
        ci.extent = extents[i];
        ci.mipLevels = ci.arrayLayers = 1;
        ci.samples = VK_SAMPLE_COUNT_1_BIT;
        ci.tiling = VK_IMAGE_TILING_OPTIMAL;
        ci.usage = usage[i];
        ci.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        if ((r = vkCreateImage(device_, &ci, nullptr, &f.images[i])) != VK_SUCCESS) return Fail("vkCreateImage", r);
        VkMemoryRequirements req;
        vkGetImageMemoryRequirements(device_, f.images[i], &req);
        if ((r = bind(req, 0, &f.memory[i])) != VK_SUCCESS) return Fail("image memory", r);
        vkBindImageMemory(device_, f.images[i], f.memory[i], 0);
        auto vci = Info<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
        vci.image = f.images[i];
        vci.viewType = VK_IMAGE_VIEW_TYPE_2D;
        vci.format = formats[i];
        vci.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        if ((r = vkCreateImageView(device_, &vci, nullptr, &f.views[i])) != VK_SUCCESS)
            return Fail("vkCreateImageView", r);
    }
    const VkDeviceSize uploadSize = VkDeviceSize(pitch) * h, ySize = VkDeviceSize(w) * h, uvSize = ySize / 2;
    const VkDeviceSize sizes[2] = {uploadSize, ySize + uvSize};
    uint8_t* mapped[2] = {};
    for (int i = 0; i < 2; ++i) {
        auto bci = Info<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
        bci.size = sizes[i];
        bci.usage = i == 0 ? VK_BUFFER_USAGE_TRANSFER_SRC_BIT : VK_BUFFER_USAGE_TRANSFER_DST_BIT;
        if ((r = vkCreateBuffer(device_, &bci, nullptr, &f.buffers[i])) != VK_SUCCESS)
            return Fail("vkCreateBuffer", r);
        VkMemoryRequirements req;
        vkGetBufferMemoryRequirements(device_, f.buffers[i], &req);
        if ((r = bind(req, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                      &f.memory[3 + i])) != VK_SUCCESS)
            return Fail("buffer memory", r);
        vkBindBufferMemory(device_, f.buffers[i], f.memory[3 + i], 0);
        void* p = nullptr;
        if ((r = vkMapMemory(device_, f.memory[3 + i], 0, VK_WHOLE_SIZE, 0, &p)) != VK_SUCCESS)
            return Fail("vkMapMemory", r);
        mapped[i] = static_cast<uint8_t*>(p);
    }
    std::memcpy(mapped[0], bgra, uploadSize);

    VkDescriptorPoolSize poolSizes[2] = {{VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, 1}, {VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, 2}};
    auto dpci = Info<VkDescriptorPoolCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO);
    dpci.maxSets = 1;
    dpci.poolSizeCount = 2;
    dpci.pPoolSizes = poolSizes;
    if ((r = vkCreateDescriptorPool(device_, &dpci, nullptr, &f.pool)) != VK_SUCCESS)
        return Fail("vkCreateDescriptorPool", r);
    auto dsai = Info<VkDescriptorSetAllocateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO);
    dsai.descriptorPool = f.pool;
    dsai.descriptorSetCount = 1;
    dsai.pSetLayouts = &setLayout_;
    VkDescriptorSet set;
    if ((r = vkAllocateDescriptorSets(device_, &dsai, &set)) != VK_SUCCESS) return Fail("vkAllocateDescriptorSets", r);
    VkDescriptorImageInfo infos[3] = {{VK_NULL_HANDLE, f.views[0], VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
                                      {VK_NULL_HANDLE, f.views[1], VK_IMAGE_LAYOUT_GENERAL},
                                      {VK_NULL_HANDLE, f.views[2], VK_IMAGE_LAYOUT_GENERAL}};
    VkWriteDescriptorSet writes[3];
    for (uint32_t i = 0; i < 3; ++i) {
        writes[i] = Info<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
        writes[i].dstSet = set;
        writes[i].dstBinding = i;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType = i == 0 ? VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE : VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
        writes[i].pImageInfo = &infos[i];
    }
    vkUpdateDescriptorSets(device_, 3, writes, 0, nullptr);

    auto cbai = Info<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
    cbai.commandPool = commandPool_;
    cbai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    cbai.commandBufferCount = 1;
    VkCommandBuffer cb;
    if ((r = vkAllocateCommandBuffers(device_, &cbai, &cb)) != VK_SUCCESS) return Fail("vkAllocateCommandBuffers", r);
    struct FreeCb {
        VkDevice d;
        VkCommandPool p;
        VkCommandBuffer c;
        ~FreeCb() { vkFreeCommandBuffers(d, p, 1, &c); }
    } freeCb{device_, commandPool_, cb};
    auto begin = Info<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(cb, &begin);

    // Upload the picture; clear both planes so that a texel the shader skips reads 0.
    VkImageMemoryBarrier toTransfer[3];
    for (int i = 0; i < 3; ++i)
        toTransfer[i] = Barrier(f.images[i], VK_IMAGE_LAYOUT_UNDEFINED,
                                i == 0 ? VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL : VK_IMAGE_LAYOUT_GENERAL, 0,
                                VK_ACCESS_TRANSFER_WRITE_BIT);
    vkCmdPipelineBarrier(cb, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                         nullptr, 3, toTransfer);
    VkBufferImageCopy upload{};
    upload.bufferRowLength = uint32_t(pitch / 4);
    upload.imageSubresource = kLayer;
    upload.imageExtent = extents[0];
    vkCmdCopyBufferToImage(cb, f.buffers[0], f.images[0], VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &upload);
    const VkClearColorValue zero{};
    const VkImageSubresourceRange all{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdClearColorImage(cb, f.images[1], VK_IMAGE_LAYOUT_GENERAL, &zero, 1, &all);
    vkCmdClearColorImage(cb, f.images[2], VK_IMAGE_LAYOUT_GENERAL, &zero, 1, &all);
    VkImageMemoryBarrier toShader[3] = {
        Barrier(f.images[0], VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT),
        Barrier(f.images[1], VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL, VK_ACCESS_TRANSFER_WRITE_BIT,
                VK_ACCESS_SHADER_WRITE_BIT),
        Barrier(f.images[2], VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL, VK_ACCESS_TRANSFER_WRITE_BIT,
                VK_ACCESS_SHADER_WRITE_BIT)};
    vkCmdPipelineBarrier(cb, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, 0, 0, nullptr, 0,
                         nullptr, 3, toShader);

    vkCmdBindPipeline(cb, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_);
    vkCmdBindDescriptorSets(cb, VK_PIPELINE_BIND_POINT_COMPUTE, pipelineLayout_, 0, 1, &set, 0, nullptr);
    vkCmdDispatch(cb, uint32_t(w + 15) / 16, uint32_t(h + 15) / 16, 1);

    VkImageMemoryBarrier toRead[2] = {
        Barrier(f.images[1], VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_ACCESS_SHADER_WRITE_BIT,
                VK_ACCESS_TRANSFER_READ_BIT),
        Barrier(f.images[2], VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_ACCESS_SHADER_WRITE_BIT,
                VK_ACCESS_TRANSFER_READ_BIT)};
    vkCmdPipelineBarrier(cb, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                         nullptr, 2, toRead);
    VkBufferImageCopy readY{}, readUV{};
    readY.imageSubresource = readUV.imageSubresource = kLayer;
    readY.imageExtent = extents[1];
    readUV.bufferOffset = ySize;
    readUV.imageExtent = extents[2];
    vkCmdCopyImageToBuffer(cb, f.images[1], VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, f.buffers[1], 1, &readY);
    vkCmdCopyImageToBuffer(cb, f.images[2], VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, f.buffers[1], 1, &readUV);
    auto toHost = Info<VkBufferMemoryBarrier>(VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER);
    toHost.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    toHost.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    toHost.srcQueueFamilyIndex = toHost.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    toHost.buffer = f.buffers[1];
    toHost.size = VK_WHOLE_SIZE;
    vkCmdPipelineBarrier(cb, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr, 1, &toHost, 0,
                         nullptr);
    if ((r = vkEndCommandBuffer(cb)) != VK_SUCCESS) return Fail("vkEndCommandBuffer", r);

    auto fci = Info<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
    if ((r = vkCreateFence(device_, &fci, nullptr, &f.fence)) != VK_SUCCESS) return Fail("vkCreateFence", r);
    auto si = Info<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
    si.commandBufferCount = 1;
    si.pCommandBuffers = &cb;
    if ((r = vkQueueSubmit(queue_, 1, &si, f.fence)) != VK_SUCCESS) return Fail("vkQueueSubmit", r);
    if ((r = vkWaitForFences(device_, 1, &f.fence, VK_TRUE, 60'000'000'000ull)) != VK_SUCCESS)
        return Fail("vkWaitForFences", r);
    // The NV12 buffer's chroma rows are w bytes: the UV image is w / 2 texels of two bytes.
    y.assign(mapped[1], mapped[1] + ySize);
    uv.assign(mapped[1] + ySize, mapped[1] + ySize + uvSize);
    return true;
}

}  // namespace Veltrix::testing
