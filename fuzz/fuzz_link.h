#ifndef FUZZ_FUZZ_LINK_H
#define FUZZ_FUZZ_LINK_H

// Driving the engine from fuzz inputs over the tests' one in-memory link
// (tests/support/sim_link.h): the input format that describes what the device
// sends, a few built-in containers, and the run with its invariants.
//
// Input format of the engine target:
//   byte 0   operation selector (operation 1 + byte % 7)
//   byte 1   bits 0-2 built-in container, bit 3 verbose, bit 4 device log lines
//   then     chunks: [head][length][length payload bytes]
// A chunk's head says how its payload goes on the wire (kind, bits 0-1):
//   raw        the payload bytes as they are (length 0: nothing, a lost answer)
//   text       the payload followed by "\r\n"
//   frame      payload = direction, command, data: a SLIP frame with correct
//              length and checksum, escaped
//   forwarded  as frame, carried inside a forwarding response (command 9, status 0)
// Head bit 2 releases the next chunk in the same round. A round is released
// when the host has written something since the last round and then reads
// with nothing pending, so every chunk group answers one burst of host output.

#include <cstdint>
#include <vector>

#include "engine/updater.h"
#include "tests/support/sim_link.h"

namespace fuzzsupport
{

using testsupport::Bytes;

constexpr uint8_t kChunkRaw = 0;
constexpr uint8_t kChunkText = 1;
constexpr uint8_t kChunkFrame = 2;
constexpr uint8_t kChunkForwarded = 3;
constexpr uint8_t kChunkKindMask = 0x03;
constexpr uint8_t kChunkWithNext = 0x04;

constexpr uint8_t kFlagContainerMask = 0x07;
constexpr uint8_t kFlagVerbose = 0x08;
constexpr uint8_t kFlagDeviceLog = 0x10;
constexpr uint32_t kOperationCount = 7;
constexpr size_t kContainerCount = 8;

struct Chunk
{
    uint8_t kind = kChunkRaw;
    bool withNext = false;
    Bytes payload;
};

struct FuzzInput
{
    uint32_t op = UPDATER_OP_READ_VERSIONS;
    uint8_t flags = 0;
    std::vector<Chunk> chunks;
};

// Reads an input; a truncated last chunk keeps the bytes that are there.
FuzzInput parseInput(const uint8_t *pData, size_t ulSize);
Bytes serializeInput(const FuzzInput &input);
// The wire bytes of one chunk.
Bytes chunkBytes(const Chunk &chunk);

// Built-in container idx (0 to kContainerCount - 1); all for product 0, hardware 0.
const Bytes &builtInContainer(size_t idx);

// Runs one operation over the link and checks the engine's promises: the run ends
// (no hour of virtual time without host output), log lines stay within their limit,
// progress within 100 %, and the result is 0 or 1. Aborts when one is broken.
uint8_t checkedRun(testsupport::SimLink &link, uint32_t ulOp, const Bytes *pAff, uint8_t isVerbose,
                   uint8_t isDeviceLog);

// Replays an input against the engine: the engine target's whole body.
void runEngineInput(const uint8_t *pData, size_t ulSize);

} // namespace fuzzsupport

#endif
