// The update's promise under answer faults: the emulator's device model keeps
// what it is programmed with and answers every request, and the input decides
// the fate of each answer (delivered, lost, corrupted or refused as malformed).
// Whatever the schedule, a run that reports success must leave the device
// holding exactly the container.
//
// Input: byte 0 picks the built-in container (bits 0-2) and whether the
// device starts in its application (bit 3); every further byte is the fate
// of one answer (value % 8: 0-3 and 7 delivered, 4 lost, 5 corrupted, 6 malformed).
// Answers past the end of the input are delivered.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_link.h"

namespace
{

constexpr uint8_t kStartInApplication = 0x08;
constexpr uint8_t kFateMask = 0x07;
constexpr uint8_t kFateLose = 4, kFateCorrupt = 5, kFateMalformed = 6;

// Answers and requests are counted alike from 1: every request gets one answer.
devsim::FaultConfig faultsOf(const uint8_t *pData, size_t ulSize)
{
    devsim::FaultConfig f;
    for (uint32_t n = 1; n < ulSize; n++)
    {
        uint8_t fate = pData[n] & kFateMask;
        if (fate == kFateLose)
            f.loseResponse.push_back(n);
        else if (fate == kFateCorrupt)
            f.corruptResponse.push_back(n);
        else if (fate == kFateMalformed)
            f.statusAnswer.push_back({n, devsim::kStatusBadFrame});
    }
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize == 0)
        return 0;
    const size_t container = pData[0] & fuzzsupport::kFlagContainerMask;
    testsupport::SimRig rig;
    rig.aff = fuzzsupport::builtInContainer(container);
    rig.config.startInBoot = (pData[0] & kStartInApplication) == 0;
    rig.config.faults = faultsOf(pData, ulSize);
    rig.start();
    if (fuzzsupport::checkedRun(rig.link, UPDATER_OP_UPDATE_ALL, &rig.aff, 0, 0) != 1)
        return 0;
    std::string report;
    if (rig.verify(&report) != 0)
    {
        std::fprintf(stderr, "success reported, but the device differs from container %zu\n%s", container,
                     report.c_str());
        std::abort();
    }
    return 0;
}
