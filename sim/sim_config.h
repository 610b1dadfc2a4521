#ifndef SIM_SIM_CONFIG_H
#define SIM_SIM_CONFIG_H

// Settings of one emulator session, filled from the command line.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devsim
{

constexpr uint32_t kBootBaud = 115200; // CONFIG mode and the bootloaders always run at this rate
constexpr uint32_t kDefaultAppBaud = 115200;
constexpr uint32_t kDefaultProtocolId = 5; // >= 4: the host flag of a hello is honoured

// Components whose version the device reports.
enum class VersionSlot
{
    Bootloader,
    HostUc,
    DeviceUc,
    Ti,
    Wifi,
    Fpga,
};
constexpr int kVersionSlotCount = 6;

// Components whose content the device keeps.
enum class Image
{
    HostUc,
    DeviceUc,
    Ti,
    Wifi,
    Nvcm0,
    Nvcm1,
    Usercode,
};
constexpr int kImageCount = 7;

struct FaultConfig
{
    std::vector<uint32_t> loseResponse;                      // 1-based response numbers
    std::vector<uint32_t> corruptResponse;                   // 1-based response numbers
    std::vector<std::pair<uint32_t, uint32_t>> statusAnswer; // request number, status word
    std::vector<std::pair<uint32_t, uint32_t>> lateAnswer;   // request number, delay in ms
    uint32_t atErrorCount = 0;
    std::string atErrorText;     // empty: any text command
    uint32_t disconnectPart = 0; // 0: never
    uint32_t disconnectMs = 0;
    std::optional<uint32_t> silentAfter;
    double randomRate = 0.0;
    uint64_t seed = 1;
    bool throttle = false;
    uint32_t throttleBaud = 0; // 0: bytes take their time at the port's own rate
};

struct SimConfig
{
    std::string linkPath;
    std::string stateDir; // empty: a temporary directory removed on exit
    std::string containerPath;
    std::optional<uint32_t> productId;
    std::optional<uint32_t> hardwareId;
    uint32_t protocolId = kDefaultProtocolId;
    std::vector<std::pair<VersionSlot, uint32_t>> versions; // --set-version, in order given
    bool noHost = false;
    bool startInBoot = false;
    uint32_t appBaud = kDefaultAppBaud;
    bool deviceLog = false;
    bool verbose = false;
    std::string summaryPath;
    FaultConfig faults;
};

// Text names used on the command line, in the state files and in messages.
const char *versionSlotName(VersionSlot slot);
const char *imageName(Image image);
const char *imageLabel(Image image); // human label, e.g. "host uC"
bool versionSlotFromName(const std::string &name, VersionSlot *pSlot);

} // namespace devsim

#endif
