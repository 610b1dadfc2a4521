#include "tests/support/aff_image.h"

#include <cstring>

namespace testsupport
{
namespace
{

void put16(std::vector<uint8_t> &out, size_t at, uint16_t v)
{
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}

void put32(std::vector<uint8_t> &out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out[at + i] = uint8_t(v >> (8 * i));
}

void putVersion(std::vector<uint8_t> &out, size_t at, const AffImageVersion &v, size_t textBytes)
{
    put32(out, at, v.code);
    for (size_t i = 0; i < textBytes; i++)
        out[at + 4 + i] = i < v.date.size() ? uint8_t(v.date[i]) : 0;
}

size_t headerSize(uint16_t fmt)
{
    return fmt == 1 ? 81 : fmt == 2 ? 97 : 130;
}
size_t blockHeaderSize(uint16_t fmt)
{
    return fmt == 3 ? 63 : 44;
}

size_t blockFileSize(uint16_t fmt, const AffImageBlock &b)
{
    size_t n = blockHeaderSize(fmt) + b.data.size();
    if (fmt == 3 && b.partSize != 0)
        n += 4 * (b.data.size() / b.partSize);
    return n;
}

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
    size_t at = headerSize(img.formatVersion);
    for (size_t i = 0; i < idx && i < img.blocks.size(); i++)
        at += blockFileSize(img.formatVersion, img.blocks[i]);
    return at;
}

std::vector<uint8_t> AffImage::build() const
{
    const uint16_t fmt = formatVersion;
    std::vector<uint8_t> out(headerSize(fmt), 0);
    const uint8_t count = uint8_t(blockCountOverride >= 0 ? blockCountOverride : int(blocks.size()));
    if (fmt == 3)
    {
        put16(out, 0, legacyWord);
        put16(out, 2, 3);
        put32(out, 82, productId);
        put32(out, 86, hardwareId);
        put32(out, 90, auxWord);
        putVersion(out, 94, fileVersion, 11);
        out[109] = count;
        memcpy(&out[110], iv.data(), 16);
        put32(out, 126, affImageCrc(out.data(), 126));
    }
    else
    {
        put16(out, 0, fmt);
        putVersion(out, 4, deviceUc, 12);
        putVersion(out, 20, fpga, 12);
        putVersion(out, 36, wifi, 12);
        size_t ids = 52;
        if (fmt == 2)
        {
            putVersion(out, 52, hostUc, 12);
            ids = 68;
        }
        put32(out, ids, productId);
        put32(out, ids + 4, hardwareId);
        put32(out, ids + 8, auxWord);
        out[ids + 12] = count;
        memcpy(&out[ids + 13], iv.data(), 16);
    }

    for (const AffImageBlock &b : blocks)
    {
        const size_t at = out.size();
        out.resize(at + blockHeaderSize(fmt), 0);
        const uint32_t size = b.sizeOverride >= 0 ? uint32_t(b.sizeOverride) : uint32_t(b.data.size());
        put32(out, at, b.type);
        put32(out, at + 4, size);
        put32(out, at + 8, b.partSize);
        put32(out, at + 12, b.imageSize != 0 ? b.imageSize : uint32_t(b.data.size()));
        if (fmt == 3)
        {
            putVersion(out, at + 16, b.version, 11);
            put32(out, at + 31, b.aux0);
            put32(out, at + 35, b.aux1);
            put32(out, at + 39, b.aux2);
            memcpy(&out[at + 43], b.auxBytes.data(), 16);
            put32(out, at + 59, affImageCrc(&out[at], 59));
            size_t parts = b.partSize != 0 ? b.data.size() / b.partSize : 0;
            for (size_t i = 0; i < parts; i++)
            {
                const uint8_t *part = b.data.data() + i * b.partSize;
                out.insert(out.end(), part, part + b.partSize);
                const size_t crcAt = out.size();
                out.resize(crcAt + 4);
                put32(out, crcAt, affImageCrc(part, b.partSize));
            }
            out.insert(out.end(), b.data.begin() + parts * b.partSize, b.data.end());
        }
        else
        {
            put32(out, at + 16, b.aux0);
            put32(out, at + 20, b.aux1);
            put32(out, at + 24, b.aux2);
            memcpy(&out[at + 28], b.auxBytes.data(), 16);
            out.insert(out.end(), b.data.begin(), b.data.end());
        }
    }
    return out;
}

} // namespace testsupport
