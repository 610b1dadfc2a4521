#ifndef TESTS_UNIT_SIM_TEST_LINK_H
#define TESTS_UNIT_SIM_TEST_LINK_H

// Helpers of the emulator's tests: requests built and responses read with the project's
// own framing code, and a host-side client of the emulator's pseudo-terminal.

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/le_bytes.h"
#include "protocol/slip.h"

namespace simtest
{

using Bytes = std::vector<uint8_t>;

inline Bytes u32(uint32_t value)
{
    Bytes b(4);
    lePutU32(b.data(), value);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An encoded request frame.
inline Bytes frame(uint8_t cmd, const Bytes &data, uint8_t dir = SLIP_DIR_REQUEST)
{
    Bytes out(SLIP_ENCODED_MAX(data.size()));
    out.resize(
        slipGenerateCrcPacket(out.data(), dir, cmd, 1, data.data(), static_cast<uint32_t>(data.size())));
    return out;
}

// The request wrapped for forwarding, as the updater sends it.
inline Bytes forwardFrame(uint8_t cmd, const Bytes &data)
{
    return frame(0x09, frame(cmd, data));
}

struct Response
{
    bool isValid = false;
    uint8_t dir = 0;
    uint8_t cmd = 0;
    uint32_t status = 0xFFFFFFFF;
    Bytes payload; // data after the status word
};

// A decoded packet (END to END) as a response.
inline Response parse(const Bytes &packet)
{
    Response r;
    r.isValid = slipIsPacketValid(packet.data(), static_cast<uint16_t>(packet.size()), 1) == 1;
    if (packet.size() < SLIP_OVERHEAD)
        return r;
    r.dir = slipGetDir(packet.data());
    r.cmd = slipGetCmd(packet.data());
    uint16_t length = slipGetDataLength(packet.data());
    if (length >= 4 && packet.size() == static_cast<size_t>(length) + SLIP_OVERHEAD)
    {
        r.status = leGetU32(slipGetDataStart(packet.data()));
        r.payload.assign(packet.begin() + SLIP_HEADER_SIZE + 4, packet.end() - 1);
    }
    return r;
}

// The device's response carried in a forwarding response.
inline Response unwrap(const Response &outer)
{
    return parse(outer.payload);
}

// What the device sent: text lines (without line ends) and decoded frames, in order.
struct Traffic
{
    std::vector<std::string> lines;
    std::vector<Bytes> frames;
    std::string text() const
    {
        std::string all;
        for (const std::string &line : lines)
            all += line + "\n";
        return all;
    }
};

inline Traffic split(const Bytes &bytes)
{
    Traffic t;
    Bytes buffer(65536);
    _tSlipDetector det{};
    det.pBuffer = buffer.data();
    det.ulCapacity = static_cast<uint32_t>(buffer.size());
    std::string line;
    for (uint8_t b : bytes)
    {
        if (det.ulState != 0 || b == SLIP_END)
        {
            if (slipDetectFrame(&det, b) == 1)
                t.frames.emplace_back(buffer.begin(), buffer.begin() + det.usStored);
            continue;
        }
        if (b == '\r' || b == '\n')
        {
            if (!line.empty())
                t.lines.push_back(line);
            line.clear();
        }
        else
            line.push_back(static_cast<char>(b));
    }
    return t;
}

inline speed_t speedOf(uint32_t baud)
{
    return baud == 921600 ? B921600 : B115200;
}

// The host's end of the emulator's terminal, opened through its link.
class PtyClient
{
  public:
    ~PtyClient() { close(); }
    bool open(const std::string &path, uint32_t baud = 115200)
    {
        close();
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        return m_fd >= 0 && setBaud(baud);
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool setBaud(uint32_t baud)
    {
        struct termios tio;
        if (::tcgetattr(m_fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speedOf(baud));
        ::cfsetospeed(&tio, speedOf(baud));
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }
    bool write(const Bytes &bytes)
    {
        return ::write(m_fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    }
    bool write(const std::string &text) { return write(Bytes(text.begin(), text.end())); }
    // Everything that arrives until nothing more came for quietMs (firstMs before the
    // first byte), or maxMs passed.
    Bytes read(int quietMs = 150, int maxMs = 3000, int firstMs = -1)
    {
        Bytes out;
        auto start = std::chrono::steady_clock::now();
        for (;;)
        {
            int elapsed = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
            if (elapsed >= maxMs)
                return out;
            struct pollfd pfd = {m_fd, POLLIN, 0};
            int wait = out.empty() && firstMs >= 0 ? firstMs : quietMs;
            if (::poll(&pfd, 1, std::min(wait, maxMs - elapsed)) <= 0 || !(pfd.revents & POLLIN))
                return out;
            uint8_t buffer[4096];
            ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
            if (n <= 0)
                return out;
            out.insert(out.end(), buffer, buffer + n);
        }
    }
    // Sends bytes and splits what comes back.
    Traffic exchange(const Bytes &bytes, int quietMs = 150)
    {
        write(bytes);
        return split(read(quietMs));
    }
    Traffic exchange(const std::string &text, int quietMs = 150)
    {
        return exchange(Bytes(text.begin(), text.end()), quietMs);
    }

  private:
    int m_fd = -1;
};

} // namespace simtest

#endif
