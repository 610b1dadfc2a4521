// Writes the committed seed inputs of the fuzz targets (scripts/fuzz.sh seeds): for the
// engine target, complete dialogues of a healthy device for every operation and
// built-in container, so that fuzzing starts from runs that reach every state; for the
// container targets, the built-in containers and a few builder command lines; for the
// fault schedule target, every container with no fault and with one of each kind.
// Usage: fuzz_seedgen ENGINE_DIR AFF_DIR AFFPACK_DIR FAULTS_DIR

#include <fstream>

#include "fuzz/fuzz_link.h"

using namespace fuzzsupport;
using namespace testsupport;

// Records the emulator's answers in the rounds the engine target replays them in: what it
// sent is held back until the host has written and then reads with nothing pending, and
// goes out then as one group of raw chunks.
static Bytes recordDialogue(uint32_t op, uint8_t flags, bool startInApplication)
{
    Bytes input = {uint8_t(op - 1), flags}, pending;
    SimRig rig;
    rig.aff = builtInContainer(flags);
    rig.config.startInBoot = !startInApplication;
    rig.start();
    bool hasWritten = false;
    rig.link.onWrite = [&](SimLink &, uint8_t) { hasWritten = true; };
    rig.link.onDeviceOutput = [&](const Bytes &bytes)
    {
        rig.link.rx.erase(rig.link.rx.end() - long(bytes.size()), rig.link.rx.end());
        pending.insert(pending.end(), bytes.begin(), bytes.end());
    };
    rig.link.onIdleRead = [&](SimLink &l)
    {
        if (!hasWritten)
            return;
        for (size_t at = 0; at == 0 || at < pending.size(); at += 255)
        {
            const size_t n = std::min<size_t>(255, pending.size() - at);
            input.insert(input.end(), {at + 255 < pending.size() ? kWithNext : uint8_t(0), uint8_t(n)});
            input.insert(input.end(), pending.begin() + long(at), pending.begin() + long(at + n));
        }
        l.push(std::exchange(pending, Bytes()));
        hasWritten = false;
    };
    if (checkedRun(rig.link, op, &rig.aff) != 1)
        std::fprintf(stderr, "seed for operation %u, flags %u failed\n", unsigned(op), unsigned(flags));
    return input;
}

int main(int argc, char **argv)
{
    if (argc != 5)
        return std::fprintf(stderr, "usage: %s ENGINE_DIR AFF_DIR AFFPACK_DIR FAULTS_DIR\n", argv[0]), 1;
    int written = 0;
    auto write = [&](int dir, const std::string &name, const Bytes &bytes)
    {
        std::ofstream f(std::string(argv[dir]) + "/" + name, std::ios::binary | std::ios::trunc);
        written += bool(f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size())));
    };
    for (uint32_t op = UPDATER_OP_LOCK; op <= UPDATER_OP_CONFIG_MODE; op++)
        for (bool isApp : {false, true})
            write(1, "op" + std::to_string(op) + (isApp ? "-app" : "-boot"), recordDialogue(op, 0, isApp));
    for (uint8_t c = 0; c < kContainerCount; c++)
    {
        const std::string n = std::to_string(c);
        write(1, "update-all-c" + n, recordDialogue(UPDATER_OP_UPDATE_ALL, c, false));
        write(1, "update-changed-c" + n, recordDialogue(UPDATER_OP_UPDATE_CHANGED, c, c == 0));
        write(2, "container-" + n, builtInContainer(c));
        write(4, "clean-c" + n, {c});
        write(4, "each-fault-c" + n,
              {c, 0, 0, 0, 0, 0, 4, 5, 6}); // answers 5-8: ok, lost, corrupted, malformed
    }
    const std::string commandLines[] = {
        // arguments separated by '|'
        "-o|x.aff|--product|1|--hardware|2|--block|host-uc:a:16:version=10700001|"
        "--block|device-uc:b:part=8:version=7:date=Aug  9 2024",
        "-o|x.aff|--product|0x10|--hardware|0|--iv|000102030405060708090a0b0c0d0e0f|"
        "--file-version|5:Jan 01 2025|--aux|7|--block|ti:c:3:image=100:aux0=1:aux1=2:aux2=3",
        "-o|x.aff|--product|3|--hardware|4|--format|2|--block|host-uc:a:4:version=8|"
        "--block|wifi:b:5:version=9|--block|nvcm0:c:7|--block|usercode:d:4:version=3",
        "-o|x.aff|--product|3|--hardware|4|--format|1|--block|esp-ram:a:9|--block|device-uc:b:1:version=2"};
    for (uint8_t i = 0; i < 4; i++)
    {
        Bytes bytes(commandLines[i].begin(), commandLines[i].end());
        std::replace(bytes.begin(), bytes.end(), uint8_t('|'), uint8_t(0));
        bytes.insert(bytes.end(), {0, 0});
        for (uint8_t k = 0; k < 64; k++)
            bytes.push_back(uint8_t(k * 37 + i));
        write(3, "args-" + std::to_string(i), bytes);
    }
    std::printf("%d seeds written\n", written);
}
