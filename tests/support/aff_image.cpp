#include "tests/support/aff_image.h"

#include <algorithm>

namespace testsupport
{

uint16_t affImageCrc(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++)
        for (int bit = 7; bit >= 0; bit--) // most significant bit first
            crc = (((crc >> 15) ^ (p[i] >> bit)) & 1) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
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
    const auto put = [&out](const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); };
    const auto le = [&out](std::initializer_list<uint32_t> values, int bytes = 4)
    {
        for (uint32_t v : values)
            for (int i = 0; i < bytes; i++)
                out.push_back(uint8_t(v >> (8 * i)));
    };
    const auto version = [&](const AffImageVersion &v, size_t textBytes) // the date zero padded or cut
    {
        le({v.code});
        for (size_t i = 0; i < textBytes; i++)
            out.push_back(i < v.date.size() ? uint8_t(v.date[i]) : 0);
    };
    const auto crcFrom = [&](size_t start) { le({affImageCrc(out.data() + start, out.size() - start)}); };

    if (fmt == 3)
    {
        le({legacyWord, 3}, 2);
        out.resize(out.size() + 78, 0);
    }
    else
    {
        le({fmt});
        for (const AffImageVersion *v : {&deviceUc, &fpga, &wifi, &hostUc})
            if (v != &hostUc || fmt == 2)
                version(*v, 12);
    }
    le({productId, hardwareId, auxWord});
    if (fmt == 3)
        version(fileVersion, 11);
    le({uint32_t(blockCountOverride >= 0 ? blockCountOverride : int(blocks.size()))}, 1);
    put(iv.data(), 16);
    if (fmt == 3)
        crcFrom(0);

    for (const AffImageBlock &b : blocks)
    {
        const size_t at = out.size();
        const uint32_t size = uint32_t(b.data.size());
        le({b.type, b.sizeOverride >= 0 ? uint32_t(b.sizeOverride) : size, b.partSize,
            b.imageSize != 0 ? b.imageSize : size});
        if (fmt == 3)
            version(b.version, 11);
        le({b.aux0, b.aux1, b.aux2});
        put(b.auxBytes.data(), 16);
        if (fmt == 3)
            crcFrom(at);
        const size_t parts = fmt == 3 && b.partSize != 0 ? size / b.partSize : 0; // each part then its CRC
        for (size_t i = 0; i < parts; i++)
        {
            put(b.data.data() + i * b.partSize, b.partSize);
            le({affImageCrc(b.data.data() + i * b.partSize, b.partSize)});
        }
        put(b.data.data() + parts * b.partSize, b.data.size() - parts * b.partSize);
    }
    return out;
}

} // namespace testsupport
