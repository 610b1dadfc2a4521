#ifndef SIM_SIM_DEVICE_SHARED_H
#define SIM_SIM_DEVICE_SHARED_H

// What the device's source files share: the sizes of the packet fields every
// bootloader reads, and how a status word reads in the -v trace.

#include <cstdint>
#include <string>

#include "sim/sim_log.h"

namespace devsim
{

constexpr uint32_t kStatusSize = 4;
constexpr uint32_t kWordSize = 4;

inline std::string statusText(uint32_t ulStatus)
{
    return ulStatus < 10 ? format("status %u", ulStatus) : format("status 0x%X", ulStatus);
}

} // namespace devsim

#endif
