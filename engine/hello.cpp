// The bootloader hello: checks the answering bootloader and the container
// against each other, stores the device's versions and the container's
// presence flags, and lists the components with their current and new versions.

#include "engine/hello.h"

#include <string.h>

#include "aff/aff_container.h"
#include "aff/aff_report.h"
#include "common/le_bytes.h"
#include "common/version.h"
#include "aff/aff_presence.h"
#include "protocol/commands.h"
#include "protocol/slip.h"

#define HELLO_FOUR_PART 0
#define HELLO_THREE_PART 1

// Stores the device microcontroller's, FPGA's, Wi-Fi module's and TI
// controller's versions and, with a container, its presence flags; then
// prints their component lines. The device's own records are the current ones.
static void helloDeviceBootloader(_tUpdater *pCtx, uint8_t isForce, const _tVersion *pFirmware,
                                  const _tVersion *pFpga, const _tVersion *pWifi, const _tVersion *pTi)
{
    pCtx->ulDeviceUcVersion = pFirmware->ulCode;
    pCtx->ulFpgaVersion = pFpga->ulCode;
    pCtx->ulWifiVersion = pWifi->ulCode;
    pCtx->ulTiVersion = pTi->ulCode;

    _tVersion sNewUc = *pFirmware;
    _tVersion sNewFpga = *pFpga;
    _tVersion sNewWifi = *pWifi;
    _tVersion sNewTi = *pTi;
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    if (fnRead != 0)
    {
        pCtx->hasDeviceUc = updaterUcInFile(fnRead, 0, &sNewUc);
        pCtx->hasFpga = updaterFpgaInFile(fnRead, &sNewFpga);
        pCtx->hasWifi = updaterEspInFile(fnRead, &sNewWifi);
        pCtx->hasTi = updaterTiInFile(fnRead, &sNewTi);
    }

    // After the Wi-Fi hand-over the Wi-Fi module answers in the device
    // microcontroller's place and its block is programmed as such.
    if (updaterRunState()->isOrlakFirmware != 0 && pCtx->isTransparent != 0 && pCtx->hasWifi != 0)
    {
        pCtx->hasDeviceUc = pCtx->hasWifi;
        sNewUc = sNewWifi;
        pCtx->hasWifi = 0;
    }

    if (pCtx->hasWifi != 0)
        printComponentVersion(updaterPrint, pCtx, "WIFI", isForce, HELLO_FOUR_PART, pWifi, &sNewWifi);
    if (pCtx->hasFpga != 0)
        printComponentVersion(updaterPrint, pCtx, "FPGA", isForce, HELLO_THREE_PART, pFpga, &sNewFpga);
    if (pCtx->hasDeviceUc != 0)
        printComponentVersion(updaterPrint, pCtx, "uC", isForce, HELLO_FOUR_PART, pFirmware, &sNewUc);
    if (pCtx->hasTi != 0)
        printComponentVersion(updaterPrint, pCtx, "Ti", isForce, HELLO_FOUR_PART, pTi, &sNewTi);
}

// With a container, takes its format and checks that it is meant for this product
// and hardware. Returns 1 when the run may go on.
static uint8_t helloMatchContainer(_tUpdater *pCtx, uint32_t ulProductId, uint32_t ulHardwareId)
{
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    if (fnRead == 0)
        return 1;
    _tAffHeader sHeader;
    if (affReadHeader(fnRead, &sHeader) != 1)
        return 0;
    pCtx->usAffVersion = sHeader.usVersion;
    pCtx->usBlockHeaderSize = affGetBlockHeaderSize(sHeader.usVersion);
    if (sHeader.ulProductId != ulProductId || sHeader.ulHardwareId != ulHardwareId)
    {
        updaterLog(pCtx, "Product/hardware ID mismatch!\nAFF: %lu / %lu\nDev: %lu / %lu",
                   (unsigned long)sHeader.ulProductId, (unsigned long)sHeader.ulHardwareId,
                   (unsigned long)ulProductId, (unsigned long)ulHardwareId);
        return 0;
    }
    return 1;
}

// The host bootloader reports only its own firmware: the host uC's line.
static void helloHostBootloader(_tUpdater *pCtx, uint8_t isForce, const _tVersion *pFirmware)
{
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    pCtx->ulHostUcVersion = pFirmware->ulCode;
    _tVersion sNewHost;
    memset(&sNewHost, 0, sizeof sNewHost);
    if (fnRead != 0)
        pCtx->hasHostUc = updaterUcInFile(fnRead, 1, &sNewHost);
    if (fnRead == 0 || pCtx->hasHostUc != 1)
        sNewHost = *pFirmware;
    printComponentVersion(updaterPrint, pCtx, "HOST", isForce, HELLO_FOUR_PART, pFirmware, &sNewHost);
}

uint8_t processSlipHello(_tUpdater *pCtx, const uint8_t *pPacket)
{
    uint16_t usDataLength = slipGetDataLength(pPacket);
    if (usDataLength < UPDATER_HELLO_DATA_SIZE)
    {
        updaterLog(pCtx, "ERR: Bootloader information too short: %hu bytes, expected %u", usDataLength,
                   (unsigned)UPDATER_HELLO_DATA_SIZE);
        return 0;
    }
    const uint8_t *pData = slipGetDataStart(pPacket);

    uint32_t ulProtocolId = leGetU32(&pData[HELLO_OFFS_PROTOCOL_ID]);
    if (ulProtocolId > HELLO_MAX_PROTOCOL_ID)
    {
        updaterLog(pCtx, "ERR: Unsupported protocol id: %lu, expected max: %lu", (unsigned long)ulProtocolId,
                   (unsigned long)HELLO_MAX_PROTOCOL_ID);
        return 0;
    }
    updaterLogVerbose(pCtx, "Proto id: %lu", (unsigned long)ulProtocolId);

    _tVersion sBootloader;
    _tVersion sFirmware;
    _tVersion sFpga;
    _tVersion sWifi;
    _tVersion sTi;
    versionFromBytes(&sBootloader, &pData[HELLO_OFFS_BOOTLOADER_VERSION]);
    versionFromBytes(&sFirmware, &pData[HELLO_OFFS_FIRMWARE_VERSION]);
    versionFromBytes(&sFpga, &pData[HELLO_OFFS_FPGA_VERSION]);
    versionFromBytes(&sWifi, &pData[HELLO_OFFS_WIFI_VERSION]);
    versionFromBytes(&sTi, &pData[HELLO_OFFS_TI_VERSION]);
    uint32_t ulProductId = leGetU32(&pData[HELLO_OFFS_PRODUCT_ID]);
    uint32_t ulHardwareId = leGetU32(&pData[HELLO_OFFS_HARDWARE_ID]);
    uint32_t ulHostFlag = leGetU32(&pData[HELLO_OFFS_HOST_FLAG]);

    updaterLog(pCtx, "Bootloader version: %lu (%.*s), product id: %lu, hw id: %lu",
               (unsigned long)sBootloader.ulCode, VERSION_DATE_LEN, sBootloader.szDate,
               (unsigned long)ulProductId, (unsigned long)ulHardwareId);
    char szFirmware[VERSION_TEXT_SIZE];
    versionMajMinFixBuild(szFirmware, sFirmware.ulCode);
    updaterLog(pCtx, "Firmware version: %s (%.*s)", szFirmware, VERSION_DATE_LEN, sFirmware.szDate);

    if (helloMatchContainer(pCtx, ulProductId, ulHardwareId) != 1)
        return 0;

    updaterLog(pCtx, "Components:");
    uint8_t isForce = pCtx->ulOp == UPDATER_OP_UPDATE_ALL ? 1 : 0;
    pCtx->isHostBootloader = (ulProtocolId >= HELLO_HOST_FLAG_MIN_PROTOCOL && ulHostFlag != 0) ? 1 : 0;

    if (pCtx->isHostBootloader == 0)
    {
        helloDeviceBootloader(pCtx, isForce, &sFirmware, &sFpga, &sWifi, &sTi);
        return 1;
    }

    helloHostBootloader(pCtx, isForce, &sFirmware);
    return 1;
}

uint32_t getBlockVersion(_tUpdater *pCtx, uint32_t ulType)
{
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    _tAffBlockHeader sBlock;
    if (fnRead == 0 || affReadFirstBlock(fnRead, ulType, 0, &sBlock) != 1)
        return 0;
    return sBlock.sVersion.ulCode;
}
