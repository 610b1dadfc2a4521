// The receiving side of the engine: every operation, fed an arbitrary device byte
// stream (see fuzz_link.h) over the in-memory link with its virtual clock. A run must
// end, stay inside its buffers and keep its log lines and progress within their limits.

#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    fuzzsupport::runEngineInput(pData, ulSize);
    return 0;
}
