#include "tests/support/aff_image.h"

#include <algorithm>

namespace testsupport
{
namespace
{

struct Writer
{
    std::vector<uint8_t> &out;
    void le(uint32_t v, int bytes)
    {
        for (int i = 0; i < bytes; i++)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    void u32s(std::initializer_list<uint32_t> values)
    {
        for (uint32_t v : values)
            le(v, 4);
    }
    void text(const std::string &s, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            out.push_back(i < s.size() ? uint8_t(s[i]) : 0);
    }
    void version(const AffImageVersion &v, size_t textBytes)
    {
        le(v.code, 4);
        text(v.date, textBytes);
    }
    void bytes(const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); }
    void crcFrom(size_t start) { le(affImageCrc(out.data() + start, out.size() - start), 4); }
};

} // namespace

uint16_t affImageCrc(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++)
    {
        crc ^= uint16_t(p[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::vector<uint8_t> affImagePattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(i * 7 + seed * 31 + (i >> 8));
    return v;
}

size_t affImageBlockOffset(const AffImage &img, size_t idx)
{
    AffImage head = img; // the file up to the block has the same size as the file of the blocks before it
    head.blocks.resize(std::min(idx, img.blocks.size()));
    return head.build().size();
}

std::vector<uint8_t> AffImage::build() const
{
    const uint16_t fmt = formatVersion;
    std::vector<uint8_t> out;
    Writer w{out};
    if (fmt == 3)
    {
        w.le(legacyWord, 2);
        w.le(3, 2);
        w.text("", 78);
    }
    else
    {
        w.le(fmt, 4);
        for (const AffImageVersion *v : {&deviceUc, &fpga, &wifi, &hostUc})
            if (v != &hostUc || fmt == 2)
                w.version(*v, 12);
    }
    w.u32s({productId, hardwareId, auxWord});
    if (fmt == 3)
        w.version(fileVersion, 11);
    w.le(blockCountOverride >= 0 ? blockCountOverride : int(blocks.size()), 1);
    w.bytes(iv.data(), 16);
    if (fmt == 3)
        w.crcFrom(0);

    for (const AffImageBlock &b : blocks)
    {
        const size_t at = out.size();
        const uint32_t size = uint32_t(b.data.size());
        w.u32s({b.type, b.sizeOverride >= 0 ? uint32_t(b.sizeOverride) : size, b.partSize,
                b.imageSize != 0 ? b.imageSize : size});
        if (fmt == 3)
            w.version(b.version, 11);
        w.u32s({b.aux0, b.aux1, b.aux2});
        w.bytes(b.auxBytes.data(), 16);
        if (fmt != 3)
        {
            w.bytes(b.data.data(), b.data.size());
            continue;
        }
        w.crcFrom(at);
        const size_t parts = b.partSize != 0 ? b.data.size() / b.partSize : 0;
        for (size_t i = 0; i < parts; i++)
        {
            w.bytes(b.data.data() + i * b.partSize, b.partSize);
            w.le(affImageCrc(b.data.data() + i * b.partSize, b.partSize), 4);
        }
        w.bytes(b.data.data() + parts * b.partSize, b.data.size() - parts * b.partSize);
    }
    return out;
}

} // namespace testsupport
