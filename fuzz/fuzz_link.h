#ifndef FUZZ_FUZZ_LINK_H
#define FUZZ_FUZZ_LINK_H

// Driving the engine from fuzz inputs: an in-memory link with a virtual clock,
// the input format that describes what the device sends, a few built-in
// containers, and a cooperative device used to make seeds and to answer
// updates of fuzzed containers.
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
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/updater.h"

namespace fuzzsupport
{

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
    std::vector<uint8_t> payload;
    bool isCorrupt = false; // frames: one bit of the (outer) checksum flipped; not part of inputs
};

struct FuzzInput
{
    uint32_t op = UPDATER_OP_READ_VERSIONS;
    uint8_t flags = 0;
    std::vector<Chunk> chunks;
};

// Reads an input; a truncated last chunk keeps the bytes that are there.
FuzzInput parseInput(const uint8_t *pData, size_t ulSize);
std::vector<uint8_t> serializeInput(const FuzzInput &input);

// CRC-16, polynomial 0x1021, initial value 0: the packets' checksum.
uint16_t packetCrc(const uint8_t *pData, size_t ulSize);
// A decoded frame: END, direction, command, length, checksum, data, END.
std::vector<uint8_t> decodedFrame(uint8_t ubDir, uint8_t ubCmd, const std::vector<uint8_t> &vData);
// SLIP escaping of a decoded frame (its first and last byte are the ENDs).
std::vector<uint8_t> escapeFrame(const std::vector<uint8_t> &vDecoded);
// The wire bytes of one chunk.
std::vector<uint8_t> chunkBytes(const Chunk &chunk);

// Built-in container idx (0 to kContainerCount - 1); all for product 0, hardware 0.
const std::vector<uint8_t> &builtInContainer(size_t idx);
// What an update-all of that container leaves in each component of a device:
// the first block of each programmed type, whole parts only (empty when the
// container has nothing for the component).
enum class Slot
{
    HostUc,
    DeviceUc,
    Ti,
    Wifi,
    Nvcm0,
    Nvcm1,
    Usercode,
};
constexpr size_t kSlotCount = 7;
std::vector<uint8_t> expectedImage(size_t idx, Slot slot);

// The engine's host: bytes the device sent wait in rx; every clock reading
// advances the clock by 1 ms, a read that finds nothing by 50 ms, so every
// time-out of the engine fires without real waiting.
class FuzzLink
{
  public:
    std::deque<uint8_t> rx;
    uint64_t nowMs = 1000000;
    uint64_t lastRoundMs = 1000000;
    bool wroteSinceRound = false;
    uint64_t bytesWritten = 0;
    std::vector<std::string> logs; // kept only when keepLogs is set
    bool keepLogs = false;

    // A burst of host output has ended: the device answers now.
    std::function<void(FuzzLink &)> onRound;
    // Every byte the host writes.
    std::function<void(uint8_t)> onWrite;

    _tUpdaterCallbacks callbacks();
    // Runs one operation to its end; aborts when the run stops making progress.
    uint8_t run(uint32_t ulOp, const std::vector<uint8_t> *pAff, uint8_t isVerbose, uint8_t isDeviceLog);

    uint8_t readByte(uint8_t *pByte);
    void writeByte(uint8_t ubByte);
    uint64_t getMs();
    void log(const char *szMsg);
    int stopCheck();
};

// What happens to one response packet of the device.
enum class Fate
{
    Deliver,
    Lose,      // carried out, the answer never arrives
    Corrupt,   // carried out, the answer arrives with a wrong checksum
    Malformed, // not carried out, answered with status 1
    Late,      // carried out, the answer arrives after the host's next output
};

// A device that answers every command as a healthy device does, as chunks,
// and keeps what it is programmed with as a real one does: a begin request
// erases the component, a part is written at its index times the part size,
// an FPGA verify part that differs is answered with status 0x10.
class CooperativeDevice
{
  public:
    CooperativeDevice(uint32_t ulProductId, uint32_t ulHardwareId, bool isStartInApplication);
    ~CooperativeDevice();
    CooperativeDevice(const CooperativeDevice &) = delete;
    CooperativeDevice &operator=(const CooperativeDevice &) = delete;

    void feed(uint8_t ubByte);        // one byte the host wrote
    std::vector<Chunk> takeReplies(); // the answers to everything fed so far, late ones first
    const std::vector<uint8_t> &image(Slot slot) const;
    // Decides the fate of each response packet; every answer is delivered without it.
    std::function<Fate()> nextFate;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Replays an input against the engine: the engine target's whole body.
void runEngineInput(const uint8_t *pData, size_t ulSize);

} // namespace fuzzsupport

#endif
