#ifndef TESTS_SUPPORT_AFF_IMAGE_H
#define TESTS_SUPPORT_AFF_IMAGE_H

// AFF container images of format versions 1 to 3 built in memory straight from the byte layout,
// independently of the container module. Nothing is validated: tests may describe broken files.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport
{

struct AffImageVersion
{
    uint32_t code = 0;
    std::string date; // stored as 11 characters (v3) or 12 bytes (v1/v2), zero padded
};

struct AffImageBlock
{
    uint32_t type = 0;
    std::vector<uint8_t> data; // ulSize is data.size() unless sizeOverride is set
    uint32_t partSize = 1024;  // 0 is written as it is; no part CRCs are then added
    int64_t sizeOverride = -1; // a ulSize that differs from the data actually written
    uint32_t imageSize = 0;    // 0 stands for data.size()
    AffImageVersion version;   // version-3 block headers only
    uint32_t aux0 = 0, aux1 = 0, aux2 = 0;
    std::array<uint8_t, 16> auxBytes{};
};

struct AffImage
{
    uint16_t formatVersion = 3;
    uint16_t legacyWord = 0; // version 3: the word at offset 0
    uint32_t productId = 0, hardwareId = 0, auxWord = 0;
    AffImageVersion fileVersion; // version 3
    std::array<uint8_t, 16> iv{};
    AffImageVersion deviceUc, fpga, wifi, hostUc; // versions 1 and 2 (host: version 2 only)
    std::vector<AffImageBlock> blocks;
    int blockCountOverride = -1; // a ubBlockCount that differs from blocks.size()

    std::vector<uint8_t> build() const;
};

// CRC-16, polynomial 0x1021, initial value 0xFFFF, as the container stores it.
uint16_t affImageCrc(const uint8_t *p, size_t n);
// n bytes of a recognisable pattern that differs with the seed.
std::vector<uint8_t> affImagePattern(size_t n, uint8_t seed);
// Offset of block idx's header in an image built from img (no validation).
size_t affImageBlockOffset(const AffImage &img, size_t idx);

} // namespace testsupport

#endif
