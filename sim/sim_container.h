#ifndef SIM_SIM_CONTAINER_H
#define SIM_SIM_CONTAINER_H

// An AFF container loaded for the emulator: its identity, the versions of its blocks
// and the exact bytes the updater streams out of each component block.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aff/aff_container.h"

namespace devsim
{

constexpr uint32_t kBlockTypeCount = AFF_BLOCK_TI + 1; // block types run from 1 to 9

struct ContainerBlock
{
    _tAffBlockHeader header{};
    // The data as the updater sends it: ulSize / ulPartSize whole parts (part CRCs
    // removed); for the usercode block all ulSize bytes, as it is sent whole.
    std::vector<uint8_t> data;
    bool partCrcsOk = true; // version 3: every part matches its stored CRC
    uint32_t firstBadPart = 0;
};

class Container
{
  public:
    // Loads and checks the file (header, and every block header it walks). Returns
    // false with a message when the file cannot be read or is not a valid container.
    bool load(const std::string &path, std::string *pError);

    const _tAffHeader &header() const { return m_header; }
    // The first block of a type, or nothing when the container has none.
    std::optional<ContainerBlock> firstBlock(uint32_t ulType) const;
    // The version record of the first block of a type, or nothing.
    std::optional<_tVersion> blockVersion(uint32_t ulType) const;

  private:
    std::vector<uint8_t> m_bytes;
    _tAffHeader m_header{};
};

} // namespace devsim

#endif
