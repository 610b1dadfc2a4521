// The update's promise under answer faults: a device that keeps what it is
// programmed with answers every request, and the input decides the fate of
// each answer (delivered, lost, corrupted, refused as malformed, or late so
// that it crosses the resend of its request). Whatever the schedule, a run
// that reports success must leave the device holding exactly the container.
//
// Input: byte 0 picks the built-in container (bits 0-2) and whether the
// device starts in its application (bit 3); every further byte is the fate
// of one answer (value % 8: 0-3 delivered, 4 lost, 5 corrupted, 6 malformed,
// 7 late). Answers past the end of the input are delivered.
//
// Once an answer has come late, the engine may be a request ahead of the
// answers it reads, and the answers carry no part index: a request refused
// after that point could be resent as another one and leave a gap. That is a
// limit of the protocol, not of the engine (docs/reliability.md), so after a
// late answer a refusal is turned into a corrupted answer, which the device
// has carried out.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_link.h"

namespace
{

constexpr uint8_t kStartInApplication = 0x08;
constexpr uint8_t kFateMask = 0x07;

fuzzsupport::Fate fateOf(uint8_t ubByte)
{
    switch (ubByte & kFateMask)
    {
    case 4:
        return fuzzsupport::Fate::Lose;
    case 5:
        return fuzzsupport::Fate::Corrupt;
    case 6:
        return fuzzsupport::Fate::Malformed;
    case 7:
        return fuzzsupport::Fate::Late;
    default:
        return fuzzsupport::Fate::Deliver;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize == 0)
        return 0;
    const size_t container = pData[0] & fuzzsupport::kFlagContainerMask;
    fuzzsupport::CooperativeDevice device(0, 0, (pData[0] & kStartInApplication) != 0);
    size_t next = 1;
    bool hasLate = false;
    device.nextFate = [&]
    {
        fuzzsupport::Fate fate = next < ulSize ? fateOf(pData[next++]) : fuzzsupport::Fate::Deliver;
        if (fate == fuzzsupport::Fate::Malformed && hasLate)
            fate = fuzzsupport::Fate::Corrupt;
        hasLate = hasLate || fate == fuzzsupport::Fate::Late;
        return fate;
    };

    fuzzsupport::FuzzLink link;
    link.onWrite = [&](uint8_t b) { device.feed(b); };
    link.onRound = [&](fuzzsupport::FuzzLink &l)
    {
        for (const fuzzsupport::Chunk &c : device.takeReplies())
        {
            std::vector<uint8_t> bytes = fuzzsupport::chunkBytes(c);
            l.rx.insert(l.rx.end(), bytes.begin(), bytes.end());
        }
    };
    const std::vector<uint8_t> &aff = fuzzsupport::builtInContainer(container);
    if (link.run(UPDATER_OP_UPDATE_ALL, &aff, 0, 0) != 1)
        return 0;
    for (size_t s = 0; s < fuzzsupport::kSlotCount; s++)
    {
        const fuzzsupport::Slot slot = fuzzsupport::Slot(s);
        if (device.image(slot) != fuzzsupport::expectedImage(container, slot))
        {
            fprintf(stderr, "success reported, but component %zu of the device differs from container %zu\n",
                    s, container);
            abort();
        }
    }
    return 0;
}
