#ifndef TESTS_SUPPORT_UPDATE_LINES_H
#define TESTS_SUPPORT_UPDATE_LINES_H

// The container most tests update (every component, a few parts each) and the
// messages the engine logs for it against the emulator, as building blocks of the
// expected sequences. The emulator's fresh device reports 1.0.0.0 (Jan  1 2024).

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"

namespace testsupport
{

// Part counts: host 3, device 8, TI 8, Wi-Fi 4, NVCM0 4, NVCM1 4, usercode 1 (8 bytes).
// Versions 1.2.3.1 host, 1.2.3.2 device, 1.2.3.3 TI, 1.2.3.4 Wi-Fi, 1.4.5 FPGA.
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
        {
            AffImageBlock b;
            b.type = type;
            b.data = affImagePattern(size, static_cast<uint8_t>(type));
            b.partSize = part;
            b.version = {code, "Mar 14 2025"};
            img.blocks.push_back(b);
        }
    img.formatVersion = format;
    img.productId = 1;
    img.hostUc = {10203001, "Mar 14 2025"};
    img.deviceUc = {10203002, "Mar 14 2025"};
    img.wifi = {10203004, "Mar 14 2025"};
    img.fpga = {10405, "Mar 14 2025"};
    return img;
}

// The engine's log lines as one text, each line after a '|'.
inline std::string bootLines(bool fromApplication = true)
{
    return fromApplication
               ? "|Checking if device is in BOOT mode...|Entering bootloader...|Checking if device is "
                 "in BOOT mode...|Entered bootloader, locking..."
               : "|Checking if device is in BOOT mode...|Entered bootloader, locking...";
}

inline std::string helloLines(const std::string &firmware, const std::string &components,
                              unsigned product = 1, unsigned hardware = 0)
{
    return "|Requesting bootloader information|Bootloader version: 20100000 (Jan 15 2024), product id: " +
           std::to_string(product) + ", hw id: " + std::to_string(hardware) +
           "|Firmware version: " + firmware + "|Components:" + components;
}

inline std::string ucLines(const std::string &who)
{
    return "|Programming " + who + "|Uploading " + who + " firmware|Finishing data transfer|" + who + " Done";
}

const std::string kFresh = "1.0.0.0 (Jan  1 2024)";
const std::string kTiLines =
    "|Programming DEVICE Ti|Uploading DEVICE TI firmware|Finishing data transfer|DEVICE Ti Done";
const std::string kFpgaLines = "|Programming FPGA|FPGA Done";
const std::string kFreshHost = "|\tHOST: 1.0.0.0 (Jan  1 2024) -> 1.2.3.1 (Mar 14 2025)";
const std::string kFreshWifi = "|\tWIFI: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)";
const std::string kFreshFpga = "|\tFPGA: 1.0.0 (Jan  1 2024) -> 1.4.5 (Mar 14 2025)";
const std::string kFreshUc = "|\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.2 (Mar 14 2025)";
const std::string kFreshTi = "|\t  Ti: 1.0.0.0 (Jan  1 2024) -> 1.2.3.3 (Mar 14 2025)";
// After the hand-over the Wi-Fi image takes the microcontroller's line; the TI is done.
const std::string kHandOverUc = "|\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)";
const std::string kHandOverTi = "|\t  Ti: 1.2.3.3 (Mar 14 2025) -> 1.2.3.3 (Mar 14 2025)";

const std::string kFreshDevice = kFreshWifi + kFreshFpga + kFreshUc + kFreshTi;

// Up to the device's bootloader: the host bootloader's hello and the host uC's image.
inline std::string hostLines()
{
    return bootLines() + helloLines(kFresh, kFreshHost) + ucLines("HOST uC") + "|Entering DEVICE bootloader";
}

// From the device's hello on: its microcontroller, the TI (hasTi), the Wi-Fi image and the FPGA.
inline std::string deviceLines(bool hasTi = true)
{
    return helloLines(kFresh, kFreshWifi + kFreshFpga + kFreshUc + (hasTi ? kFreshTi : "")) +
           ucLines("DEVICE uC") + (hasTi ? kTiLines : "") + "|Programming WIFI" +
           helloLines(kFresh, kFreshFpga + kHandOverUc + (hasTi ? kHandOverTi : "")) + ucLines("DEVICE uC") +
           kFpgaLines + "|Leaving BOOT mode...";
}

// Every message of an update of fiveComponents() on a fresh device running its application.
inline std::string fiveComponentLines()
{
    return hostLines() + deviceLines();
}

} // namespace testsupport

#endif
