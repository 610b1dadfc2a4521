#ifndef TESTS_SUPPORT_SCRIPTED_DEVICE_H
#define TESTS_SUPPORT_SCRIPTED_DEVICE_H

// A device at the far end of a FakeLink that answers by script. It splits what
// the host writes into text commands and SLIP request frames (checking each
// frame's checksum and unwrapping forwarded requests), records them, and hands
// each to a script hook, which answers by pushing text lines or response frames
// into the link. Time is the link's virtual clock: nothing waits for real.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/slip.h"
#include "tests/support/fake_link.h"

namespace testsupport
{

struct DeviceRequest
{
    uint8_t dir = 0;
    uint8_t cmd = 0;
    std::vector<uint8_t> data; // of the inner request when forwarded
    bool forwarded = false;
    uint64_t atMs = 0; // link clock when the request was complete
};

struct DeviceText
{
    std::string line; // without its line end
    uint64_t atMs = 0;
};

// Fields of a hello response; codes of the version records, dates all "2024-01-01 ".
struct HelloSpec
{
    uint32_t protocolId = 5;
    uint32_t bootloaderCode = 300;
    uint32_t productId = 0x11;
    uint32_t hardwareId = 0x22;
    uint32_t firmwareCode = 10700000;
    uint32_t fpgaCode = 20000;
    uint32_t wifiCode = 30000;
    uint32_t hostFlag = 0;
    uint32_t tiCode = 40000;
    size_t dataLength = 100; // bytes of response data, status word included (cut or zero-padded)
};

class ScriptedDevice
{
  public:
    explicit ScriptedDevice(FakeLink &link);
    ScriptedDevice(const ScriptedDevice &) = delete;
    ScriptedDevice &operator=(const ScriptedDevice &) = delete;

    FakeLink &link;
    std::vector<DeviceText> texts;       // text commands in arrival order
    std::vector<DeviceRequest> requests; // request packets in arrival order

    // Script hooks; when empty, nothing is answered.
    std::function<void(ScriptedDevice &, const std::string &)> onText;
    std::function<void(ScriptedDevice &, const DeviceRequest &)> onRequest;

    // Answers: a text line with "\r\n"; a response frame (forwarded: wrapped in
    // a command-9 response with status 0, as the host microcontroller does).
    void sendLine(const std::string &line);
    void respond(uint8_t cmd, uint32_t status, const std::vector<uint8_t> &extra = {},
                 bool forwarded = false);
    void respondData(uint8_t cmd, const std::vector<uint8_t> &data,
                     bool forwarded = false); // data: status first

    size_t countText(const std::string &line) const;
    std::vector<uint8_t> commands() const; // command codes of the requests in order

    // Builders. decodedFrame: END, dir, cmd, length, CRC (low half), data, END.
    static std::vector<uint8_t> decodedFrame(uint8_t dir, uint8_t cmd, const std::vector<uint8_t> &data);
    static std::vector<uint8_t> encode(const std::vector<uint8_t> &decoded);
    static std::vector<uint8_t> statusData(uint32_t status, const std::vector<uint8_t> &extra = {});
    static std::vector<uint8_t> helloData(const HelloSpec &fields); // response data, status 0 first

  private:
    void feed(uint8_t ubByte);
    void handleFrame(const std::vector<uint8_t> &decoded);

    _tSlipDetector m_detector{};
    std::vector<uint8_t> m_frame;
    std::string m_line;
};

} // namespace testsupport

#endif
