#ifndef TESTS_SUPPORT_COMPONENT_FIXTURE_H
#define TESTS_SUPPORT_COMPONENT_FIXTURE_H

// Helpers for driving the component programmers directly: in-memory containers
// of format versions 2 and 3 and an engine context over a SimLink whose far
// end records the requests the host wrote (forwarded requests unwrapped).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "engine/updater.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

namespace testsupport
{

using Request = ScriptedDevice::Request;

struct BlockSpec
{
    uint32_t type, size, partSize, imageSize;
    std::vector<uint8_t> data = {}; // size bytes; a pattern distinct per block when empty
};

inline std::vector<uint8_t> blockData(const std::vector<BlockSpec> &blocks, size_t n)
{
    return blocks[n].data.empty() ? affImagePattern(blocks[n].size, uint8_t(n + 1)) : blocks[n].data;
}

// Part p of block n as stored, without its CRC.
inline std::vector<uint8_t> partBytes(const std::vector<BlockSpec> &blocks, size_t n, uint32_t p)
{
    std::vector<uint8_t> d = blockData(blocks, n);
    auto first = d.begin() + (size_t)p * blocks[n].partSize;
    return std::vector<uint8_t>(first, first + blocks[n].partSize);
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> testIv()
{
    return unhex("A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF");
}

inline AffImage componentImage(uint16_t version, const std::vector<BlockSpec> &blocks)
{
    AffImage img;
    img.formatVersion = version;
    std::vector<uint8_t> iv = testIv();
    std::copy(iv.begin(), iv.end(), img.iv.begin());
    for (size_t n = 0; n < blocks.size(); n++)
    {
        AffImageBlock b;
        b.type = blocks[n].type;
        b.data = blockData(blocks, n);
        b.partSize = blocks[n].partSize;
        b.imageSize = blocks[n].imageSize;
        b.version.code = 0x01000000;
        img.blocks.push_back(b);
    }
    return img;
}

inline std::vector<uint8_t> buildAff(uint16_t version, const std::vector<BlockSpec> &blocks)
{
    return componentImage(version, blocks).build();
}

// An engine context over a SimLink holding a container, set up as after the
// hello (format version and block-header size known) with one component in the
// run, so the reported progress is the programmer's own percentage.
class ComponentHarness
{
  public:
    SimLink link;
    ScriptedDevice dev{link};
    _tUpdaterCallbacks cbs{};
    std::unique_ptr<_tUpdater> ctx{new _tUpdater()};
    std::vector<uint8_t> file;

    void load(std::vector<uint8_t> bytes, uint16_t version)
    {
        file = std::move(bytes);
        affSetMemFile(file.data(), (uint32_t)file.size());
        cbs = link.callbacks();
        cbs.cbReadAff = readAffFromMem;
        ASSERT_EQ(updaterInit(ctx.get(), UPDATER_OP_READ_VERSIONS, 1, 0, &cbs), 1);
        ctx->usAffVersion = version;
        ctx->usBlockHeaderSize = affGetBlockHeaderSize(version);
        ctx->ubComponentCount = 1;
        link.tx.clear();
        link.logs.clear();
        dev.requests.clear();
    }
    const std::vector<Request> &requests() const { return dev.requests; }
    bool logged(const std::string &line) const
    {
        return std::find(link.logs.begin(), link.logs.end(), line) != link.logs.end();
    }
};

} // namespace testsupport

#endif
