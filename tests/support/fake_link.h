#ifndef TESTS_SUPPORT_FAKE_LINK_H
#define TESTS_SUPPORT_FAKE_LINK_H

// An in-memory link with a virtual clock, for driving the protocol and the engine
// without a port and without real waiting. The host side is a byte channel or an
// engine callback table; the device side is the rx queue plus a write hook.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "engine/updater.h"
#include "protocol/byte_channel.h"

namespace testsupport
{

class FakeLink
{
  public:
    std::deque<uint8_t> rx;  // bytes waiting for the host
    std::vector<uint8_t> tx; // every byte the host wrote, in order
    uint64_t nowMs = 1000000;
    uint32_t readWaitMs = 50; // virtual wait of a read attempt that brings no byte
    uint32_t clockStepMs = 1; // every clock reading advances the clock by this much
    uint32_t readAttempts = 0;
    uint32_t closes = 0;
    uint32_t reopens = 0;
    std::vector<uint32_t> bauds;
    std::vector<std::string> logs;
    std::vector<uint8_t> progress;

    // Called after each byte the host writes (a scripted device reacts here).
    std::function<void(FakeLink &, uint8_t)> onWrite;
    // Called when the host tries to read and rx is empty, before the attempt gives up.
    std::function<void(FakeLink &)> onIdleRead;

    void push(const std::vector<uint8_t> &bytes) { rx.insert(rx.end(), bytes.begin(), bytes.end()); }
    void pushText(const std::string &text) { rx.insert(rx.end(), text.begin(), text.end()); }
    std::string txText() const { return std::string(tx.begin(), tx.end()); }

    _tSerial channel();             // byte channel over this link, pUser = this
    _tUpdaterCallbacks callbacks(); // engine callbacks over this link, pUser = this

    uint8_t readByte(uint8_t *pByte);
    void writeByte(uint8_t ubByte);
    uint64_t getMs();
};

std::string hex(const uint8_t *p, size_t n);
std::string hex(const std::vector<uint8_t> &v);
std::vector<uint8_t> unhex(const std::string &text); // "C0 00 0A" -> bytes

} // namespace testsupport

#endif
