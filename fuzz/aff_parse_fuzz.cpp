// Container parsing over arbitrary bytes: the header and block readers, block lookup,
// the integrity check and the offline report; a container that the front end would
// accept is then streamed by a full update to the emulator's device model made for it.

#include "aff/aff_presence.h"
#include "aff/aff_report.h"
#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize > 16384) // larger ones reach no new code, only make the run slow
        return 0;
    // An exact copy, so that any read past the end of the file is caught.
    testsupport::SimRig rig;
    rig.aff.assign(pData, pData + ulSize);
    static const uint8_t s_ubNoBytes = 0;
    const uint32_t ulFileSize = uint32_t(ulSize);
    // The offline report runs on whatever the header check says, as -affver does.
    const uint8_t isSupported = affFileSupported(ulSize ? rig.aff.data() : &s_ubNoBytes, ulFileSize);
    _tAffHeader sHeader;
    const bool hasHeader = affReadHeader(readAffFromMem, &sHeader) == 1;
    for (uint32_t idx = 0; hasHeader && idx < sHeader.ubBlockCount; idx++)
    {
        _tAffBlockHeader sBlock;
        uint32_t ulPos = affGetBlockStartPos(readAffFromMem, uint8_t(idx));
        if (ulPos == 0 || affReadBlockHeader(readAffFromMem, ulPos, &sBlock) != 1)
            break;
        (void)affGetBlockTotalSize(sHeader.usVersion, &sBlock);
    }
    for (uint32_t ulType = 0; ulType <= 10; ulType++) // one past the highest block type
    {
        int16_t sIdx;
        for (uint32_t ulStart = 0; ulStart <= AFF_MAX_BLOCKS &&
                                   (sIdx = affFindBlock(readAffFromMem, ulType, uint8_t(ulStart), 0)) >= 0;
             ulStart = uint32_t(sIdx) + 1)
            if (sIdx < int16_t(ulStart))
                fuzzsupport::fail("block lookup went backwards");
    }
    updaterPrintAffComponentsVersions(
        nullptr,
        [](const char *szMsg, void *)
        {
            if (strlen(szMsg) > UPDATER_LOG_MAX)
                fuzzsupport::fail("report line longer than a log line");
        },
        nullptr);
    _tVersion sVersion;
    (void)updaterUcInFile(readAffFromMem, 1, &sVersion);
    (void)updaterUcInFile(readAffFromMem, 0, &sVersion);
    (void)updaterTiInFile(readAffFromMem, &sVersion);
    (void)updaterEspInFile(readAffFromMem, &sVersion);
    (void)updaterFpgaInFile(readAffFromMem, &sVersion);
    uint8_t ubBad = 0;
    if (isSupported != 1 || affCheckIntegrity(readAffFromMem, ulFileSize, &ubBad) != AFF_CHECK_OK)
        return 0;
    rig.productId = sHeader.ulProductId;
    rig.hardwareId = sHeader.ulHardwareId;
    rig.start();
    fuzzsupport::checkedRun(rig.link, UPDATER_OP_UPDATE_ALL, &rig.aff);
    return 0;
}
