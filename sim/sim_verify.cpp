#include "sim/sim_verify.h"

#include <vector>

#include "sim/sim_container.h"
#include "sim/sim_device.h"
#include "sim/sim_store.h"

namespace devsim
{

namespace
{

constexpr uint32_t kFpgaPageSize = 16;

struct Target
{
    Image image;
    uint32_t blockType;
};

const Target kTargets[] = {
    {Image::HostUc, AFF_BLOCK_HOST_UC},
    {Image::DeviceUc, AFF_BLOCK_DEVICE_UC},
    {Image::Ti, AFF_BLOCK_TI},
    {Image::Wifi, AFF_BLOCK_ESP_FLASH},
    {Image::Nvcm0, AFF_BLOCK_FPGA_NVCM0},
    {Image::Nvcm1, AFF_BLOCK_FPGA_NVCM1},
    {Image::Usercode, AFF_BLOCK_FPGA_USERCODE},
};

bool isFpga(Image image)
{
    return image == Image::Nvcm0 || image == Image::Nvcm1 || image == Image::Usercode;
}

// Describes how the device's bytes differ from the expected ones; empty when equal.
std::string difference(const std::vector<uint8_t> &device, const std::vector<uint8_t> &expected)
{
    size_t common = std::min(device.size(), expected.size());
    for (size_t i = 0; i < common; i++)
    {
        if (device[i] != expected[i])
            return format("at byte %zu of %zu (device 0x%02X, container 0x%02X)", i, expected.size(),
                          device[i], expected[i]);
    }
    if (device.size() != expected.size())
        return format("the device holds %zu bytes, the container %zu", device.size(), expected.size());
    return "";
}

// Prints why the updater would not write this component; false when it would.
bool reportSkipped(FILE *out, const Target &target, const std::optional<ContainerBlock> &block, bool isNoHost,
                   bool hasWholeFpga)
{
    const char *label = imageLabel(target.image);
    if (!block)
    {
        std::fprintf(out, "%-10s absent    not in the container\n", label);
        return true;
    }
    const char *reason = nullptr;
    if (target.image == Image::HostUc && isNoHost)
        reason = "the device has no host microcontroller";
    else if (isFpga(target.image) && !hasWholeFpga)
        reason = "the container lacks an FPGA block, the updater does not program it";
    else if (target.image == Image::Nvcm1 && block->header.ulImageSize / kFpgaPageSize == 0)
        reason = "the container's NVCM1 image has no pages, the updater does not write it";
    if (reason == nullptr)
        return false;
    std::fprintf(out, "%-10s skipped   %s\n", label, reason);
    return true;
}

// Prints how the device's image compares with the block; true when they match.
bool reportComparison(FILE *out, const Target &target, const ContainerBlock &block,
                      const ComponentStore &store)
{
    const char *label = imageLabel(target.image);
    if (!block.partCrcsOk)
    {
        std::fprintf(out, "%-10s DAMAGED   part %u of the container fails its CRC, the updater refuses it\n",
                     label, block.firstBadPart);
        return false;
    }
    std::string diff = difference(store.image(target.image), block.data);
    if (!diff.empty())
    {
        std::fprintf(out, "%-10s DIFFERS   %s\n", label, diff.c_str());
        return false;
    }
    std::fprintf(out, "%-10s match     %zu bytes\n", label, block.data.size());
    return true;
}

} // namespace

int runVerify(const std::string &stateDir, const std::string &affPath, bool isNoHost, FILE *out, FILE *err)
{
    std::string error;
    ComponentStore store;
    Container container;
    if (!store.open(stateDir, &error, true) || !container.load(affPath, &error))
    {
        std::fprintf(err, "devsim: error: %s\n", error.c_str());
        return 1;
    }

    // The updater programs the FPGA only from a container with all three of its blocks.
    bool hasWholeFpga = container.firstBlock(AFF_BLOCK_FPGA_NVCM0) &&
                        container.firstBlock(AFF_BLOCK_FPGA_NVCM1) &&
                        container.firstBlock(AFF_BLOCK_FPGA_USERCODE);
    int matches = 0;
    int differences = 0;
    for (const Target &target : kTargets)
    {
        std::optional<ContainerBlock> block = container.firstBlock(target.blockType);
        if (reportSkipped(out, target, block, isNoHost, hasWholeFpga))
            continue;
        if (reportComparison(out, target, *block, store))
            matches++;
        else
            differences++;
    }
    std::fprintf(out, "verify: %d component%s match, %d differ%s\n", matches, matches == 1 ? "" : "s",
                 differences, differences == 1 ? "s" : "");
    return differences == 0 ? 0 : 1;
}

} // namespace devsim
