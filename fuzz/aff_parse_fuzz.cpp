// Container parsing over arbitrary bytes: the header and block readers, block lookup in
// the offline report and the integrity check; a container that the front end would
// accept is then streamed by a full update to the emulator's device model made for it.

#include "aff/aff_presence.h"
#include "aff/aff_report.h"
#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize > 16384) // larger ones reach no new code, only make the run slow
        return 0;
    testsupport::SimRig rig;
    rig.aff.assign(pData, pData + ulSize); // an exact copy: a read past its end is caught
    static const uint8_t s_ubNoBytes = 0;
    // The offline report runs on whatever the header check says, as -affver does.
    const uint8_t isSupported = affFileSupported(ulSize ? rig.aff.data() : &s_ubNoBytes, uint32_t(ulSize));
    _tAffHeader sHeader;
    _tAffBlockHeader sBlock;
    for (uint32_t idx = 0; affReadHeader(readAffFromMem, &sHeader) == 1 && idx < sHeader.ubBlockCount; idx++)
    {
        uint32_t ulPos = affGetBlockStartPos(readAffFromMem, uint8_t(idx));
        if (ulPos == 0 || affReadBlockHeader(readAffFromMem, ulPos, &sBlock) != 1)
            break;
        (void)affGetBlockTotalSize(sHeader.usVersion, &sBlock);
    }
    auto log = [](const char *szMsg, void *)
    { strlen(szMsg) > UPDATER_LOG_MAX ? fuzzsupport::fail("long line") : void(); };
    updaterPrintAffComponentsVersions(nullptr, log, nullptr);
    _tVersion sVersion;
    (void)(updaterUcInFile(readAffFromMem, 1, &sVersion) + updaterUcInFile(readAffFromMem, 0, &sVersion) +
           updaterTiInFile(readAffFromMem, &sVersion) + updaterEspInFile(readAffFromMem, &sVersion) +
           updaterFpgaInFile(readAffFromMem, &sVersion));
    uint8_t ubBad = 0;
    if (isSupported != 1 || affCheckIntegrity(readAffFromMem, uint32_t(ulSize), &ubBad) != AFF_CHECK_OK ||
        affReadHeader(readAffFromMem, &sHeader) != 1)
        return 0;
    rig.productId = sHeader.ulProductId;
    rig.hardwareId = sHeader.ulHardwareId;
    rig.start();
    fuzzsupport::checkedRun(rig.link, UPDATER_OP_UPDATE_ALL, &rig.aff);
    return 0;
}
