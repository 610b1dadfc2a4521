#ifndef TESTS_SUPPORT_UPDATE_LINES_H
#define TESTS_SUPPORT_UPDATE_LINES_H

// The container most tests update: every component, a few parts each. Part counts: host 3, device 8,
// TI 8, Wi-Fi 4, NVCM0 4, NVCM1 4, usercode 1 (8 bytes). Versions 1.2.3.1 host, 1.2.3.2 device,
// 1.2.3.3 TI, 1.2.3.4 Wi-Fi, 1.4.5 FPGA.

#include <algorithm>
#include <initializer_list>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"

namespace testsupport
{

inline AffImage fiveComponents(uint16_t format = 3, std::initializer_list<uint32_t> without = {})
{
    const uint32_t shapes[][4] = {
        {AFF_BLOCK_HOST_UC, 3072, 1024, 10203001}, {AFF_BLOCK_DEVICE_UC, 4096, 512, 10203002},
        {AFF_BLOCK_TI, 2048, 256, 10203003},       {AFF_BLOCK_ESP_FLASH, 4096, 1024, 10203004},
        {AFF_BLOCK_FPGA_NVCM0, 4096, 1024, 10405}, {AFF_BLOCK_FPGA_NVCM1, 2048, 512, 10405},
        {AFF_BLOCK_FPGA_USERCODE, 8, 8, 10405}};
    AffImage img;
    for (const auto &[type, size, part, code] : shapes)
        if (std::find(without.begin(), without.end(), type) == without.end())
            img.blocks.push_back(
                {type, affImagePattern(size, uint8_t(type)), part, -1, 0, {code, "Mar 14 2025"}});
    img.formatVersion = format;
    img.productId = 1;
    img.hostUc = {10203001, "Mar 14 2025"};
    img.deviceUc = {10203002, "Mar 14 2025"};
    img.wifi = {10203004, "Mar 14 2025"};
    img.fpga = {10405, "Mar 14 2025"};
    return img;
}

} // namespace testsupport

#endif
