// Writes the committed seed inputs of the fuzz targets: for the engine target,
// complete dialogues of a healthy device for every operation and built-in
// container, recorded in the target's input format, so that fuzzing starts
// from runs that reach every state; for the container targets, the built-in
// containers and a few builder command lines; for the fault schedule target,
// every container with no fault and with one of each kind.
// Usage: fuzz_seedgen ENGINE_DIR AFF_DIR AFFPACK_DIR FAULTS_DIR

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_link.h"

namespace
{

// Records the emulator's answers in the rounds the engine target replays them in:
// what it sent is held back until the host has written and then reads with nothing
// pending, and goes out then as one group of raw chunks.
std::vector<uint8_t> recordDialogue(uint32_t op, uint8_t flags, bool startInApplication)
{
    fuzzsupport::FuzzInput input;
    input.op = op;
    input.flags = flags;
    testsupport::SimRig rig;
    const bool isUpdate = op == UPDATER_OP_UPDATE_CHANGED || op == UPDATER_OP_UPDATE_ALL;
    rig.aff = fuzzsupport::builtInContainer(flags & fuzzsupport::kFlagContainerMask);
    rig.config.startInBoot = !startInApplication;
    rig.start();
    bool hasWritten = false;
    std::vector<uint8_t> pending;
    rig.link.onWrite = [&](testsupport::SimLink &, uint8_t) { hasWritten = true; };
    rig.link.onDeviceOutput = [&](const std::vector<uint8_t> &bytes)
    {
        rig.link.rx.erase(rig.link.rx.end() - long(bytes.size()), rig.link.rx.end());
        pending.insert(pending.end(), bytes.begin(), bytes.end());
    };
    rig.link.onIdleRead = [&](testsupport::SimLink &l)
    {
        if (!hasWritten)
            return;
        hasWritten = false;
        l.push(pending);
        for (size_t at = 0; at == 0 || at < pending.size(); at += 255)
        {
            fuzzsupport::Chunk c;
            c.payload.assign(pending.begin() + long(std::min(at, pending.size())),
                             pending.begin() + long(std::min(pending.size(), at + 255)));
            c.withNext = at + 255 < pending.size();
            input.chunks.push_back(c);
        }
        pending.clear();
    };
    if (fuzzsupport::checkedRun(rig.link, op, isUpdate ? &rig.aff : nullptr, 0, 0) != 1)
        fprintf(stderr, "seed for operation %u, flags %u did not complete\n", unsigned(op), unsigned(flags));
    return fuzzsupport::serializeInput(input);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
    {
        fprintf(stderr, "usage: %s ENGINE_DIR AFF_DIR AFFPACK_DIR FAULTS_DIR\n", argv[0]);
        return 1;
    }
    std::string dir = argv[1];
    int written = 0;
    auto write = [&](const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        written += f ? 1 : 0;
    };
    for (uint32_t op = UPDATER_OP_LOCK; op <= UPDATER_OP_CONFIG_MODE; op++)
    {
        write("op" + std::to_string(op) + "-boot", recordDialogue(op, 0, false));
        write("op" + std::to_string(op) + "-app", recordDialogue(op, 0, true));
    }
    for (uint8_t c = 0; c < fuzzsupport::kContainerCount; c++)
    {
        write("update-all-c" + std::to_string(c), recordDialogue(UPDATER_OP_UPDATE_ALL, c, false));
        write("update-changed-c" + std::to_string(c), recordDialogue(UPDATER_OP_UPDATE_CHANGED, c, c == 0));
    }

    dir = argv[2];
    for (size_t c = 0; c < fuzzsupport::kContainerCount; c++)
        write("container-" + std::to_string(c), fuzzsupport::builtInContainer(c));

    dir = argv[3];
    const std::vector<std::vector<std::string>> commandLines = {
        {"-o", "x.aff", "--product", "1", "--hardware", "2", "--block", "host-uc:a:16:version=10700001",
         "--block", "device-uc:b:part=8:version=7:date=Aug  9 2024"},
        {"-o", "x.aff", "--product", "0x10", "--hardware", "0", "--iv", "000102030405060708090a0b0c0d0e0f",
         "--file-version", "5:Jan 01 2025", "--aux", "7", "--block", "ti:c:3:image=100:aux0=1:aux1=2:aux2=3"},
        {"-o", "x.aff", "--product", "3", "--hardware", "4", "--format", "2", "--block",
         "host-uc:a:4:version=8", "--block", "wifi:b:5:version=9", "--block", "nvcm0:c:7", "--block",
         "usercode:d:4:version=3"},
        {"-o", "x.aff", "--product", "3", "--hardware", "4", "--format", "1", "--block", "esp-ram:a:9",
         "--block", "device-uc:b:1:version=2"},
    };
    for (size_t i = 0; i < commandLines.size(); i++)
    {
        std::vector<uint8_t> bytes;
        for (const std::string &arg : commandLines[i])
        {
            bytes.insert(bytes.end(), arg.begin(), arg.end());
            bytes.push_back(0);
        }
        bytes.push_back(0);
        for (size_t k = 0; k < 64; k++)
            bytes.push_back(uint8_t(k * 37 + i));
        write("args-" + std::to_string(i), bytes);
    }
    dir = argv[4];
    for (uint8_t c = 0; c < fuzzsupport::kContainerCount; c++)
    {
        write("clean-c" + std::to_string(c), {c});
        // Answers 5 to 8: delivered, lost, corrupted, malformed.
        write("each-fault-c" + std::to_string(c), {c, 0, 0, 0, 0, 0, 4, 5, 6});
    }
    printf("%d seeds written\n", written);
    return 0;
}
