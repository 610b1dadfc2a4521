// The receiving side of the engine: every operation, fed an arbitrary device
// byte stream (see fuzz_link.h for the input format) over an in-memory link
// with a virtual clock. A run must end, stay inside its buffers and keep its
// log lines and progress within their limits.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    fuzzsupport::runEngineInput(pData, ulSize);
    return 0;
}
