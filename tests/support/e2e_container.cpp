#include "tests/support/e2e_container.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tests/support/devsim_runner.h"

namespace testsupport
{

const char *const kE2eBlockDate = "Mar 14 2025";

namespace
{

constexpr int kAffpackTimeoutMs = 30000;

// Layout of a format-3 file, read back to find part CRCs.
constexpr size_t kV3HeaderSize = 130;
constexpr size_t kV3BlockCountAt = 109;
constexpr size_t kV3BlockHeaderSize = 63;
constexpr size_t kBlockSizeAt = 4;
constexpr size_t kBlockPartSizeAt = 8;
constexpr size_t kPartCrcSize = 4;

uint32_t get32(const std::vector<uint8_t> &bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace

std::vector<uint8_t> e2eImage(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u; // never 0, spread over the bits
    for (uint8_t &b : bytes)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x >> 24);
    }
    return bytes;
}

E2eContainerDef e2eFiveComponents()
{
    E2eContainerDef def;
    def.blocks = {
        {"host-uc", 3000, 1, 1024, kE2eHostUcCode},    // three parts, the last one padded
        {"device-uc", 4096, 2, 512, kE2eDeviceUcCode}, // eight parts
        {"ti", 2048, 3, 256, kE2eTiCode},
        {"wifi", 4096, 4, 1024, kE2eWifiCode},
        {"nvcm0", 4096, 5, 1024, kE2eFpgaCode}, // 256 pages
        {"nvcm1", 2048, 6, 512, kE2eFpgaCode},  // 128 pages
        {"usercode", 8, 7, 8, kE2eFpgaCode},
    };
    return def;
}

E2eContainerDef e2eWithout(E2eContainerDef def, const std::vector<std::string> &types)
{
    auto dropped = [&](const E2eBlock &b)
    { return std::find(types.begin(), types.end(), b.type) != types.end(); };
    def.blocks.erase(std::remove_if(def.blocks.begin(), def.blocks.end(), dropped), def.blocks.end());
    return def;
}

E2eContainer e2eBuildContainer(const std::string &dir, const std::string &name, const E2eContainerDef &def)
{
    E2eContainer result;
    std::string aff = dir + "/" + name + ".aff";
    std::vector<std::string> args = {"-o",         aff,
                                     "--format",   std::to_string(def.format),
                                     "--product",  std::to_string(def.productId),
                                     "--hardware", std::to_string(def.hardwareId),
                                     "--iv",       def.iv};
    for (const E2eBlock &b : def.blocks)
    {
        std::string image = dir + "/" + name + "-" + b.type + ".bin";
        std::vector<uint8_t> bytes = e2eImage(b.size, b.seed);
        if (!writeBytes(image, bytes))
        {
            result.affpackOutput = "cannot write " + image;
            return result;
        }
        result.images[b.type] = bytes;
        args.push_back("--block");
        args.push_back(b.type + ":" + image + ":" + std::to_string(b.partSize) +
                       ":version=" + std::to_string(b.version) + ":date=" + b.date);
    }
    ProgramResult r = runProgram(programPath("affpack"), args, kAffpackTimeoutMs);
    result.affpackOutput = r.out + r.err;
    if (r.exitCode == 0)
        result.path = aff;
    return result;
}

size_t e2ePartCrcOffset(const std::string &path, size_t blockIdx, size_t partIdx)
{
    std::vector<uint8_t> bytes = e2eReadBytes(path);
    if (bytes.size() < kV3HeaderSize || blockIdx >= bytes[kV3BlockCountAt])
        return 0;
    size_t at = kV3HeaderSize;
    for (size_t i = 0;; i++)
    {
        if (at + kV3BlockHeaderSize > bytes.size())
            return 0;
        uint32_t size = get32(bytes, at + kBlockSizeAt);
        uint32_t partSize = get32(bytes, at + kBlockPartSizeAt);
        if (partSize == 0)
            return 0;
        size_t parts = size / partSize;
        if (i == blockIdx)
        {
            size_t crc = at + kV3BlockHeaderSize + partIdx * (partSize + kPartCrcSize) + partSize;
            return partIdx < parts && crc + kPartCrcSize <= bytes.size() ? crc : 0;
        }
        at += kV3BlockHeaderSize + size + kPartCrcSize * parts;
    }
}

bool e2eFlipByte(const std::string &path, size_t offset, uint8_t mask)
{
    std::vector<uint8_t> bytes = e2eReadBytes(path);
    if (offset >= bytes.size())
        return false;
    bytes[offset] ^= mask;
    return writeBytes(path, bytes);
}

std::vector<uint8_t> e2eReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testsupport
