#ifndef COMPONENTS_FPGA_PROGRAMMER_H
#define COMPONENTS_FPGA_PROGRAMMER_H

// FPGA programmer: write NVCM0, usercode, verify NVCM0, write and verify NVCM1, end.

#include <stdint.h>

#include "context/updater_context.h"

#define FPGA_PAGE_SIZE 16
#define FPGA_MEM_NVCM0 0
#define FPGA_MEM_NVCM1 1
#define FPGA_OP_VERIFY 0
#define FPGA_OP_WRITE 1

uint8_t updaterFpgaInit(_tUpdater *pCtx);
uint8_t updaterFpgaAfterBegin(_tUpdater *pCtx);
uint8_t updaterFpgaAfterProgramBegin(_tUpdater *pCtx);
uint8_t updaterFpgaAfterProgramData(_tUpdater *pCtx);
uint8_t updaterFpgaAfterUsercode(_tUpdater *pCtx);
void updaterFpgaAfterEnd(_tUpdater *pCtx);
uint8_t updaterFpgaWriteVerifyBegin(_tUpdater *pCtx, int16_t sBlockIdx, uint8_t ubOp);
uint8_t updaterFpgaSendNextDataChunk(_tUpdater *pCtx);

#endif
