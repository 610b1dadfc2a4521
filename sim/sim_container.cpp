#include "sim/sim_container.h"

#include "common/le_bytes.h"
#include "protocol/crc.h"
#include "sim/sim_store.h"

namespace devsim
{

bool Container::load(const std::string &path, std::string *pError)
{
    if (!readWholeFile(path, &m_bytes))
    {
        *pError = "cannot read the container " + path;
        return false;
    }
    if (m_bytes.size() > UINT32_MAX ||
        affFileSupported(m_bytes.data(), static_cast<uint32_t>(m_bytes.size())) != 1 ||
        affReadHeader(readAffFromMem, &m_header) != 1)
    {
        *pError = "not a valid AFF container: " + path;
        return false;
    }
    uint8_t ubBadBlock = 0;
    if (affCheckIntegrity(readAffFromMem, static_cast<uint32_t>(m_bytes.size()), &ubBadBlock) != AFF_CHECK_OK)
    {
        *pError = "damaged AFF container " + path + " (block " + std::to_string(ubBadBlock) + ")";
        return false;
    }
    return true;
}

std::optional<_tVersion> Container::blockVersion(uint32_t ulType) const
{
    affSetMemFile(m_bytes.data(), static_cast<uint32_t>(m_bytes.size()));
    uint32_t ulOffset = 0;
    _tAffBlockHeader sBlock;
    if (affFindBlock(readAffFromMem, ulType, 0, &ulOffset) < 0 ||
        affReadBlockHeader(readAffFromMem, ulOffset, &sBlock) != 1)
        return std::nullopt;
    return sBlock.sVersion;
}

std::optional<ContainerBlock> Container::firstBlock(uint32_t ulType) const
{
    affSetMemFile(m_bytes.data(), static_cast<uint32_t>(m_bytes.size()));
    uint32_t ulOffset = 0;
    ContainerBlock block;
    if (affFindBlock(readAffFromMem, ulType, 0, &ulOffset) < 0 ||
        affReadBlockHeader(readAffFromMem, ulOffset, &block.header) != 1)
        return std::nullopt;

    const _tAffBlockHeader &h = block.header;
    uint64_t start = static_cast<uint64_t>(ulOffset) + affGetBlockHeaderSize(m_header.usVersion);
    if (ulType == AFF_BLOCK_FPGA_USERCODE)
    {
        if (start + h.ulSize <= m_bytes.size())
            block.data.assign(m_bytes.begin() + start, m_bytes.begin() + start + h.ulSize);
        return block;
    }
    if (h.ulPartSize == 0)
        return block;
    bool hasPartCrcs = m_header.usVersion > 2;
    uint64_t stride = h.ulPartSize + (hasPartCrcs ? AFF_PART_CRC_SIZE : 0);
    uint32_t parts = h.ulSize / h.ulPartSize;
    for (uint32_t i = 0; i < parts; i++)
    {
        uint64_t pos = start + i * stride;
        if (pos + stride > m_bytes.size())
            break;
        const uint8_t *p = m_bytes.data() + pos;
        block.data.insert(block.data.end(), p, p + h.ulPartSize);
        // The updater refuses a part larger than its part buffer, as a part whose CRC fails.
        bool isPartOk =
            h.ulPartSize <= AFF_MAX_PART_SIZE &&
            (!hasPartCrcs || leGetU32(p + h.ulPartSize) ==
                                 crc16(CRC16_POLY, CRC16_INIT_AFF, p, static_cast<int16_t>(h.ulPartSize)));
        if (!isPartOk && block.partCrcsOk)
        {
            block.partCrcsOk = false;
            block.firstBadPart = i;
        }
    }
    return block;
}

} // namespace devsim
