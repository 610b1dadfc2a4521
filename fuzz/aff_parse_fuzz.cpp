// Container parsing over arbitrary bytes: the header and block readers, block
// lookup, the integrity check and the offline report; a container that the
// front end would accept is then streamed by a full update to a cooperative
// in-memory device, which must end without touching memory outside the file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "aff/aff_container.h"
#include "aff/aff_report.h"
#include "aff/aff_presence.h"
#include "engine/updater.h"
#include "fuzz/fuzz_link.h"

namespace
{

constexpr uint32_t kLastTypeTried = 10; // one past the highest block type
// Containers above this size are only parsed: streaming them would make the
// run slow without reaching new code.
constexpr size_t kMaxStreamedSize = 16384;

[[noreturn]] void fail(const char *szWhat)
{
    fprintf(stderr, "fuzz invariant broken: %s\n", szWhat);
    abort();
}

void reportLog(const char *szMsg, void *)
{
    if (strlen(szMsg) > UPDATER_LOG_MAX)
        fail("report line longer than a log line");
}

void walkBlocks()
{
    _tAffHeader sHeader;
    if (affReadHeader(readAffFromMem, &sHeader) != 1)
        return;
    for (uint32_t idx = 0; idx < sHeader.ubBlockCount; idx++)
    {
        uint32_t ulPos = affGetBlockStartPos(readAffFromMem, uint8_t(idx));
        if (ulPos == 0)
            break;
        _tAffBlockHeader sBlock;
        if (affReadBlockHeader(readAffFromMem, ulPos, &sBlock) != 1)
            break;
        (void)affGetBlockTotalSize(sHeader.usVersion, &sBlock);
    }
    for (uint32_t ulType = 0; ulType <= kLastTypeTried; ulType++)
    {
        uint32_t ulStart = 0;
        int16_t sIdx;
        while (ulStart <= AFF_MAX_BLOCKS &&
               (sIdx = affFindBlock(readAffFromMem, ulType, uint8_t(ulStart), 0)) >= 0)
        {
            if (sIdx < int16_t(ulStart))
                fail("block lookup went backwards");
            ulStart = uint32_t(sIdx) + 1;
        }
    }
}

void report()
{
    updaterPrintAffComponentsVersions(nullptr, reportLog, nullptr);

    _tVersion sVersion;
    (void)updaterUcInFile(readAffFromMem, 1, &sVersion);
    (void)updaterUcInFile(readAffFromMem, 0, &sVersion);
    (void)updaterTiInFile(readAffFromMem, &sVersion);
    (void)updaterEspInFile(readAffFromMem, &sVersion);
    (void)updaterFpgaInFile(readAffFromMem, &sVersion);
}

// An update of the container against the emulator's device model made for it.
void stream(const std::vector<uint8_t> &vFile)
{
    _tAffHeader sHeader;
    if (affReadHeader(readAffFromMem, &sHeader) != 1)
        return;
    testsupport::SimRig rig;
    rig.aff = vFile;
    rig.productId = sHeader.ulProductId;
    rig.hardwareId = sHeader.ulHardwareId;
    rig.start();
    fuzzsupport::checkedRun(rig.link, UPDATER_OP_UPDATE_ALL, &rig.aff, 0, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize > UINT32_MAX)
        return 0;
    // An exact copy, so that any read past the end of the file is caught.
    std::vector<uint8_t> vFile(pData, pData + ulSize);
    static const uint8_t s_ubNoBytes = 0;
    const uint8_t *pBytes = vFile.empty() ? &s_ubNoBytes : vFile.data();
    const uint32_t ulFileSize = uint32_t(ulSize);

    // The offline report runs on whatever the header check says, as -affver does.
    const uint8_t isSupported = affFileSupported(pBytes, ulFileSize);
    walkBlocks();
    report();
    if (isSupported != 1)
        return 0;
    uint8_t ubBad = 0;
    if (affCheckIntegrity(readAffFromMem, ulFileSize, &ubBad) != AFF_CHECK_OK ||
        vFile.size() > kMaxStreamedSize)
        return 0;
    stream(vFile);
    return 0;
}
