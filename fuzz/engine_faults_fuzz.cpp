// The update's promise under answer faults: the emulator's device model keeps what it
// is programmed with and answers every request, and the input decides the fate of each
// answer. Whatever the schedule, a run that reports success must leave the device
// holding exactly the container.
//
// Input: byte 0 picks the built-in container (bits 0-2) and whether the device starts
// in its application (bit 3); byte n is the fate of answer n (value % 8: 4 lost,
// 5 corrupted, 6 refused as malformed, else delivered). Later answers are delivered.

#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize == 0)
        return 0;
    testsupport::SimRig rig;
    rig.aff = fuzzsupport::builtInContainer(pData[0] & fuzzsupport::kContainerMask);
    rig.config.startInBoot = (pData[0] & 0x08) == 0;
    devsim::FaultConfig &f = rig.config.faults;
    for (uint32_t n = 1; n < ulSize; n++)
    {
        if ((pData[n] & 7) == 4)
            f.loseResponse.push_back(n);
        else if ((pData[n] & 7) == 5)
            f.corruptResponse.push_back(n);
        else if ((pData[n] & 7) == 6)
            f.statusAnswer.push_back({n, devsim::kStatusBadFrame});
    }
    rig.start();
    std::string report;
    if (fuzzsupport::checkedRun(rig.link, UPDATER_OP_UPDATE_ALL, &rig.aff) == 1 && rig.verify(&report) != 0)
        fuzzsupport::fail(("success reported, but the device differs:\n" + report).c_str());
    return 0;
}
