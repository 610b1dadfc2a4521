// The container builder's round trip. The input is affpack's command line
// (arguments separated by NUL bytes) up to a double NUL, then a pool of bytes
// from which the block images are cut. Whatever the arguments, parsing must
// fail cleanly or succeed; a container that is built must read back through
// the container module with every header field, every part and every part
// CRC as given.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "tests/support/aff_image.h"
#include "tools/affpack.h"

namespace
{

constexpr uint8_t kPadByte = 0xFF;
constexpr uint32_t kHostUcType = AFF_BLOCK_HOST_UC;
constexpr size_t kMaxPoolUsed = 8192;

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "round trip broken: %s\n", what.c_str());
    abort();
}

void splitInput(const uint8_t *pData, size_t ulSize, std::vector<std::string> &args,
                std::vector<uint8_t> &pool)
{
    size_t at = 0;
    std::string cur;
    while (at < ulSize)
    {
        if (pData[at] == 0 && at + 1 < ulSize && pData[at + 1] == 0)
        {
            at += 2;
            break;
        }
        if (pData[at] == 0)
        {
            args.push_back(cur);
            cur.clear();
        }
        else
            cur.push_back(char(pData[at]));
        at++;
    }
    if (!cur.empty())
        args.push_back(cur);
    size_t poolSize = ulSize - at > kMaxPoolUsed ? kMaxPoolUsed : ulSize - at;
    pool.assign(pData + at, pData + at + poolSize);
}

// Header offset of a component's version record in format 1 or 2, 0 for none.
size_t legacyRecordOffset(uint16_t format, uint32_t type)
{
    if (type >= AFF_BLOCK_ESP_RAM && type <= AFF_BLOCK_ESP_FLASH)
        return 36;
    if (type >= AFF_BLOCK_FPGA_NVCM0 && type <= AFF_BLOCK_FPGA_USERCODE)
        return 20;
    if (type == AFF_BLOCK_DEVICE_UC)
        return 4;
    if (type == kHostUcType && format == 2)
        return 52;
    return 0;
}

void checkRoundTrip(const affpack::Options &opt, const std::vector<std::vector<uint8_t>> &images,
                    const std::vector<uint8_t> &file)
{
    if (file.size() > UINT32_MAX)
        fail("container larger than 4 GiB");
    if (affFileSupported(file.data(), uint32_t(file.size())) != 1)
        fail("built container not supported");
    uint8_t bad = 0;
    if (affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &bad) != AFF_CHECK_OK)
        fail("built container fails the integrity check at block " + std::to_string(bad));
    _tAffHeader h;
    if (affReadHeader(readAffFromMem, &h) != 1)
        fail("header unreadable");
    if (h.usVersion != opt.format || h.ulProductId != opt.productId || h.ulHardwareId != opt.hardwareId ||
        h.ulAuxWord != opt.auxWord || h.ubBlockCount != opt.blocks.size() ||
        memcmp(h.aubIv, opt.iv.data(), AFF_IV_SIZE) != 0)
        fail("header fields differ");
    if (opt.format == 3 && h.sVersion.ulCode != opt.fileVersionCode)
        fail("file version differs");

    // The version each legacy component record should hold: that of its first
    // block that states a version or a date.
    std::map<size_t, uint32_t> legacyCodes;
    for (const affpack::BlockDef &b : opt.blocks)
    {
        size_t at = legacyRecordOffset(opt.format, b.type);
        if (at != 0 && (b.hasVersion || b.hasDate) && legacyCodes.count(at) == 0)
            legacyCodes[at] = b.versionCode;
    }

    uint32_t pos = affGetHeaderSize(opt.format);
    for (size_t i = 0; i < opt.blocks.size(); i++)
    {
        const affpack::BlockDef &def = opt.blocks[i];
        if (affGetBlockStartPos(readAffFromMem, uint8_t(i)) != pos)
            fail("block " + std::to_string(i) + " is not where the blocks before it end");
        _tAffBlockHeader b;
        if (affReadBlockHeader(readAffFromMem, pos, &b) != 1)
            fail("block header unreadable");
        const std::vector<uint8_t> &img = images[i];
        size_t parts = (img.size() + def.partSize - 1) / def.partSize;
        uint32_t imageSize = def.hasImageSize ? def.imageSize : uint32_t(img.size());
        if (b.ulType != def.type || b.ulPartSize != def.partSize || b.ulSize != parts * def.partSize ||
            b.ulImageSize != imageSize || b.ulAux0 != def.aux0 || b.ulAux1 != def.aux1 ||
            b.ulAux2 != def.aux2)
            fail("block " + std::to_string(i) + " header fields differ");
        if (opt.format == 3 && b.sVersion.ulCode != def.versionCode)
            fail("block version differs");
        if (opt.format != 3)
        {
            size_t at = legacyRecordOffset(opt.format, def.type);
            if (at != 0)
            {
                uint32_t want = legacyCodes.count(at) ? legacyCodes[at] : 0;
                if (b.sVersion.ulCode != want)
                    fail("legacy component version differs");
            }
        }
        uint32_t data = pos + affGetBlockHeaderSize(opt.format);
        for (size_t p = 0; p < parts; p++)
        {
            std::vector<uint8_t> part(def.partSize);
            if (readAffFromMem(part.data(), data, def.partSize) != 1)
                fail("part unreadable");
            for (size_t k = 0; k < def.partSize; k++)
            {
                size_t src = p * def.partSize + k;
                uint8_t want = src < img.size() ? img[src] : kPadByte;
                if (part[k] != want)
                    fail("part bytes differ");
            }
            data += def.partSize;
            if (opt.format == 3)
            {
                uint8_t crc[AFF_PART_CRC_SIZE];
                if (readAffFromMem(crc, data, AFF_PART_CRC_SIZE) != 1 ||
                    leGetU32(crc) != testsupport::affImageCrc(part.data(), part.size()))
                    fail("part CRC wrong");
                data += AFF_PART_CRC_SIZE;
            }
        }
        if (affGetBlockTotalSize(opt.format, &b) != data - pos)
            fail("block size differs from the bytes written");
        pos = data;
    }
    if (pos != file.size())
        fail("bytes after the last block");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    std::vector<std::string> args;
    std::vector<uint8_t> pool;
    splitInput(pData, ulSize, args, pool);

    affpack::Options opt;
    std::string error;
    if (!affpack::parseArgs(args, opt, error))
    {
        if (error.empty())
            fail("refused arguments without a message");
        return 0;
    }
    if (opt.help)
        return 0;

    // Block i's image: the i-th slice of the pool.
    std::vector<std::vector<uint8_t>> images(opt.blocks.size());
    for (size_t i = 0; i < images.size(); i++)
    {
        size_t n = images.size();
        size_t from = pool.size() * i / n;
        size_t to = pool.size() * (i + 1) / n;
        images[i].assign(pool.begin() + from, pool.begin() + to);
    }
    std::vector<uint8_t> file;
    if (!affpack::buildContainer(opt, images, file, error))
    {
        if (error.empty())
            fail("refused container without a message");
        return 0;
    }
    checkRoundTrip(opt, images, file);
    return 0;
}
