// The container builder's round trip. The input is affpack's command line (arguments
// separated by NUL bytes) up to a double NUL, then a pool of bytes cut into the block
// images. Parsing must fail with a message or succeed; a container that is built must
// read back through the container module with every header field, where and how large
// each block is (the tools' tests check the parts and their CRCs).

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aff/aff_container.h"
#include "tools/affpack.h"

static void check(bool isOk, const char *szWhat)
{
    if (!isOk)
        std::fprintf(stderr, "round trip broken: %s\n", szWhat), std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    std::vector<std::string> args(1);
    size_t at = 0;
    for (; at < ulSize && !(pData[at] == 0 && at + 1 < ulSize && pData[at + 1] == 0); at++)
        pData[at] == 0 ? (void)args.emplace_back() : args.back().push_back(char(pData[at]));
    if (args.back().empty())
        args.pop_back();
    at = std::min(ulSize, at + 2);
    const std::vector<uint8_t> pool(pData + at, pData + std::min(ulSize, at + 8192));
    affpack::Options opt;
    std::string error;
    if (!affpack::parseArgs(args, opt, error) || opt.help)
        return check(opt.help || !error.empty(), "refused arguments without a message"), 0;
    std::vector<std::vector<uint8_t>> images(opt.blocks.size()); // block i's: the i-th slice of the pool
    for (size_t i = 0, n = images.size(); i < n; i++)
        images[i].assign(pool.begin() + pool.size() * i / n, pool.begin() + pool.size() * (i + 1) / n);
    std::vector<uint8_t> file;
    if (!affpack::buildContainer(opt, images, file, error))
        return check(!error.empty(), "refused container without a message"), 0;

    uint8_t bad = 0;
    _tAffHeader h;
    check(affFileSupported(file.data(), uint32_t(file.size())) == 1 &&
              affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &bad) == AFF_CHECK_OK &&
              affReadHeader(readAffFromMem, &h) == 1,
          "built container unsupported, broken or unreadable");
    check(h.usVersion == opt.format && h.ulProductId == opt.productId && h.ulHardwareId == opt.hardwareId &&
              h.ulAuxWord == opt.auxWord && h.ubBlockCount == opt.blocks.size() &&
              memcmp(h.aubIv, opt.iv.data(), AFF_IV_SIZE) == 0 &&
              (opt.format != 3 || h.sVersion.ulCode == opt.fileVersionCode),
          "file header fields differ");
    uint32_t pos = affGetHeaderSize(opt.format);
    for (size_t i = 0; i < opt.blocks.size(); i++)
    {
        const affpack::BlockDef &def = opt.blocks[i];
        const size_t parts = (images[i].size() + def.partSize - 1) / def.partSize;
        _tAffBlockHeader b;
        check(affGetBlockStartPos(readAffFromMem, uint8_t(i)) == pos &&
                  affReadBlockHeader(readAffFromMem, pos, &b) == 1,
              "a block not where the blocks before it end");
        // Formats 1 and 2 keep versions in the file header's component records.
        check(b.ulType == def.type && b.ulPartSize == def.partSize && b.ulSize == parts * def.partSize &&
                  b.ulImageSize == (def.hasImageSize ? def.imageSize : images[i].size()) &&
                  b.ulAux0 == def.aux0 && b.ulAux1 == def.aux1 && b.ulAux2 == def.aux2 &&
                  (opt.format != 3 || b.sVersion.ulCode == def.versionCode),
              "block header fields differ");
        const uint32_t size = affGetBlockHeaderSize(opt.format) + // a CRC after each part in format 3
                              uint32_t(parts) * (def.partSize + (opt.format == 3 ? AFF_PART_CRC_SIZE : 0));
        check(affGetBlockTotalSize(opt.format, &b) == size, "a block's size differs from the bytes written");
        pos += size;
    }
    check(pos == file.size(), "bytes after the last block");
    return 0;
}
