#ifndef TESTS_SUPPORT_E2E_CONTAINER_H
#define TESTS_SUPPORT_E2E_CONTAINER_H

// Containers for end-to-end runs, built by the real affpack from deterministic
// pseudo-random images written into a test's directory.
//
//   E2eContainerDef def = e2eFiveComponents();
//   E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", def);
//   ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
//   ... updater PORT -update aff.path ...

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport
{

// Version codes and date of the blocks of e2eFiveComponents(). The codes are chosen
// so that their texts are easy to read: 1.2.3.1 (host uC), 1.2.3.2 (device uC),
// 1.2.3.3 (TI), 1.2.3.4 (Wi-Fi), 1.4.5 (FPGA, three-part form).
constexpr uint32_t kE2eHostUcCode = 10203001;
constexpr uint32_t kE2eDeviceUcCode = 10203002;
constexpr uint32_t kE2eTiCode = 10203003;
constexpr uint32_t kE2eWifiCode = 10203004;
constexpr uint32_t kE2eFpgaCode = 10405;
extern const char *const kE2eBlockDate; // "Mar 14 2025"

struct E2eBlock
{
    std::string type;   // affpack's name: host-uc, device-uc, ti, wifi, nvcm0, nvcm1, usercode
    size_t size = 4096; // bytes of the image file (affpack pads it to whole parts)
    uint32_t seed = 1;  // the image's bytes follow from it
    uint32_t partSize = 1024;
    uint32_t version = 0;
    std::string date = kE2eBlockDate;
};

struct E2eContainerDef
{
    int format = 3;
    uint32_t productId = 1;
    uint32_t hardwareId = 0;
    std::string iv = "00112233445566778899aabbccddeeff";
    std::vector<E2eBlock> blocks;
};

struct E2eContainer
{
    std::string path;                                   // the container; empty when it could not be built
    std::string affpackOutput;                          // what affpack printed, for failure messages
    std::map<std::string, std::vector<uint8_t>> images; // image bytes by block type name

    bool ok() const { return !path.empty(); }
};

// size bytes of a xorshift sequence started from seed: the same seed always gives
// the same bytes, different seeds different bytes.
std::vector<uint8_t> e2eImage(size_t size, uint32_t seed);

// Host uC, device uC, TI, Wi-Fi and the FPGA's three blocks (NVCM0, NVCM1, usercode),
// a few KiB each with different part sizes, one image not a whole number of parts.
E2eContainerDef e2eFiveComponents();

// The definition without the blocks of the given type names.
E2eContainerDef e2eWithout(E2eContainerDef def, const std::vector<std::string> &types);

// Writes each block's image as DIR/NAME-TYPE.bin and runs affpack to build DIR/NAME.aff.
E2eContainer e2eBuildContainer(const std::string &dir, const std::string &name, const E2eContainerDef &def);

// File offset of the stored CRC of part partIdx of block blockIdx in a format-3
// container file, found by walking its block headers; 0 when there is no such part.
size_t e2ePartCrcOffset(const std::string &path, size_t blockIdx, size_t partIdx);

// XORs the byte at offset with mask in place; false when the file is shorter.
bool e2eFlipByte(const std::string &path, size_t offset, uint8_t mask);

// A whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> e2eReadBytes(const std::string &path);

} // namespace testsupport

#endif
