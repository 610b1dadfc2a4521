#ifndef TESTS_SUPPORT_COMPONENT_FIXTURE_H
#define TESTS_SUPPORT_COMPONENT_FIXTURE_H

// Helpers for driving the component programmers directly: in-memory containers
// of format versions 2 and 3, an engine context over a FakeLink, and a decoder
// of the request frames the host wrote (forwarded requests unwrapped).

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "engine/updater.h"
#include "protocol/crc.h"
#include "protocol/slip.h"
#include "tests/support/fake_link.h"

namespace testsupport
{

struct BlockSpec
{
    uint32_t type, size, partSize, imageSize;
    std::vector<uint8_t> data = {}; // size bytes; a pattern distinct per block and offset when empty
};

inline std::vector<uint8_t> blockData(const std::vector<BlockSpec> &blocks, size_t n)
{
    if (!blocks[n].data.empty())
        return blocks[n].data;
    std::vector<uint8_t> d(blocks[n].size);
    for (uint32_t i = 0; i < d.size(); i++)
        d[i] = (uint8_t)(i * 7u + n * 31u + (i >> 8) * 13u);
    return d;
}

// Part p of block n as stored, without its CRC.
inline std::vector<uint8_t> partBytes(const std::vector<BlockSpec> &blocks, size_t n, uint32_t p)
{
    std::vector<uint8_t> d = blockData(blocks, n);
    auto first = d.begin() + (size_t)p * blocks[n].partSize;
    return std::vector<uint8_t>(first, first + blocks[n].partSize);
}

inline std::vector<uint8_t> le32(uint32_t v)
{
    std::vector<uint8_t> b(4);
    lePutU32(b.data(), v);
    return b;
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

// Version 3: every whole part followed by its stored CRC, any remainder raw.
// Version 2: a 97-byte header with component versions, 44-byte block headers, raw data.
inline std::vector<uint8_t> buildAff(uint16_t version, const std::vector<BlockSpec> &blocks)
{
    std::vector<uint8_t> out(version == 3 ? AFF_HEADER_SIZE_V3 : AFF_HEADER_SIZE_V2, 0);
    std::vector<uint8_t> iv = testIv();
    if (version == 3)
    {
        _tAffHeader h{};
        h.usVersion = 3;
        h.ubBlockCount = (uint8_t)blocks.size();
        memcpy(h.aubIv, iv.data(), AFF_IV_SIZE);
        affPackHeader(&h, out.data());
    }
    else
    {
        lePutU16(&out[0], 2);
        for (uint32_t off : {4u, 20u, 36u, 52u})
            lePutU32(&out[off], 0x01020300);
        out[80] = (uint8_t)blocks.size();
        memcpy(&out[81], iv.data(), AFF_IV_SIZE);
    }
    for (size_t n = 0; n < blocks.size(); n++)
    {
        const BlockSpec &b = blocks[n];
        std::vector<uint8_t> d = blockData(blocks, n);
        if (version == 3)
        {
            _tAffBlockHeader bh{};
            bh.ulType = b.type;
            bh.ulSize = b.size;
            bh.ulPartSize = b.partSize;
            bh.ulImageSize = b.imageSize;
            bh.sVersion.ulCode = 0x01000000;
            uint8_t hdr[AFF_BLOCK_HEADER_SIZE_V3];
            out.insert(out.end(), hdr, hdr + affPackBlockHeader(&bh, hdr));
            for (uint32_t p = 0; p < b.size / b.partSize; p++)
            {
                std::vector<uint8_t> part = partBytes(blocks, n, p);
                out.insert(out.end(), part.begin(), part.end());
                std::vector<uint8_t> crc =
                    le32(crc16(CRC16_POLY, CRC16_INIT_AFF, part.data(), (int16_t)part.size()));
                out.insert(out.end(), crc.begin(), crc.end());
            }
            out.insert(out.end(), d.begin() + (size_t)(b.size / b.partSize) * b.partSize, d.end());
        }
        else
        {
            std::vector<uint8_t> hdr =
                concat(concat(concat(le32(b.type), le32(b.size)), le32(b.partSize)), le32(b.imageSize));
            hdr.resize(AFF_BLOCK_HEADER_SIZE_V12, 0);
            out.insert(out.end(), hdr.begin(), hdr.end());
            out.insert(out.end(), d.begin(), d.end());
        }
    }
    return out;
}

struct Request
{
    uint8_t cmd = 0xFF;
    std::vector<uint8_t> data;
    bool forwarded = false; // arrived as the data of a forwarding request
};

// Decodes one frame (both END bytes included) with the protocol module; fails
// the test when an escape, the direction or the checksum is bad.
inline Request decodeFrame(const std::vector<uint8_t> &frame)
{
    std::vector<uint8_t> pkt;
    for (size_t i = 0; i < frame.size();)
    {
        uint8_t b = 0;
        uint8_t used = slipDecodeByte(&frame[i], &b);
        if (used == 0)
        {
            ADD_FAILURE() << "bad escape in " << hex(frame);
            return Request{};
        }
        pkt.push_back(b);
        i += used;
    }
    Request r;
    if (slipIsPacketValid(pkt.data(), (uint16_t)pkt.size(), 1) != 1 ||
        slipGetDir(pkt.data()) != SLIP_DIR_REQUEST)
    {
        ADD_FAILURE() << "bad request " << hex(pkt);
        return r;
    }
    r.cmd = slipGetCmd(pkt.data());
    r.data.assign(slipGetDataStart(pkt.data()), slipGetDataStart(pkt.data()) + slipGetDataLength(pkt.data()));
    if (r.cmd == 0x09) // forwarding: the data is the encoded inner frame
    {
        r = decodeFrame(r.data);
        r.forwarded = true;
    }
    return r;
}

inline std::vector<Request> decodeRequests(const std::vector<uint8_t> &tx)
{
    std::vector<Request> out;
    for (size_t i = 0; i < tx.size();)
    {
        size_t end = i + 1;
        while (end < tx.size() && tx[end] != SLIP_END)
            end++;
        if (tx[i] != SLIP_END || end >= tx.size())
        {
            ADD_FAILURE() << "not a frame at " << i << ": " << hex(tx);
            break;
        }
        out.push_back(decodeFrame(std::vector<uint8_t>(tx.begin() + i, tx.begin() + end + 1)));
        i = end + 1;
    }
    return out;
}

// An engine context over a FakeLink holding a container, set up as after the
// hello (format version and block-header size known) with one component in the
// run, so the reported progress is the programmer's own percentage.
class ComponentHarness
{
  public:
    FakeLink link;
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
        clear();
    }
    void clear()
    {
        link.tx.clear();
        link.logs.clear();
        link.progress.clear();
    }
    std::vector<Request> requests() const { return decodeRequests(link.tx); }
    bool logged(const std::string &line) const
    {
        for (const std::string &l : link.logs)
            if (l == line)
                return true;
        return false;
    }
};

} // namespace testsupport

#endif
