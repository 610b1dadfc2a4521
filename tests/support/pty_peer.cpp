#include "tests/support/pty_peer.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace testsupport
{
namespace
{

constexpr int kPollMs = 5;
constexpr size_t kReadChunk = 256;
constexpr size_t kNameSize = 128;

uint32_t baudOfSpeed(speed_t speed)
{
    static const struct
    {
        speed_t speed;
        uint32_t baud;
    } kRates[] = {
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B921600, 921600},
        {B1000000, 1000000}, {B2000000, 2000000}, {B3000000, 3000000}, {B4000000, 4000000},
    };
    for (const auto &rate : kRates)
    {
        if (rate.speed == speed)
            return rate.baud;
    }
    return 0;
}

} // namespace

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "upd_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir()
{
    if (!m_path.empty())
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

PtyPeer::PtyPeer(const std::string &linkPath, Script script)
    : m_linkPath(linkPath), m_script(std::move(script))
{
    if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
        return;
    // Raw from the start, so nothing is echoed or cooked before the program
    // configures its side. The peer keeps the slave open so that reading the
    // master never fails while the program has its port closed.
    termios tio{};
    tcgetattr(m_slave, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(m_slave, TCSANOW, &tio);

    char name[kNameSize] = {};
    if (ttyname_r(m_slave, name, sizeof(name)) != 0)
        return;
    m_slaveName = name;
    unlink(m_linkPath.c_str());
    if (symlink(name, m_linkPath.c_str()) != 0)
        return;
    m_ok = true;
    m_thread = std::thread([this] { run(); });
}

PtyPeer::~PtyPeer()
{
    vanish();
}

void PtyPeer::vanish()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_ok)
    {
        char target[kNameSize] = {};
        const ssize_t n = readlink(m_linkPath.c_str(), target, sizeof(target) - 1);
        if (n > 0 && m_slaveName == std::string(target, static_cast<size_t>(n)))
            unlink(m_linkPath.c_str());
        m_ok = false;
    }
    if (m_master >= 0)
    {
        close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0)
    {
        close(m_slave);
        m_slave = -1;
    }
}

void PtyPeer::send(const std::string &bytes)
{
    size_t done = 0;
    while (m_master >= 0 && done < bytes.size())
    {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string PtyPeer::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<PtyLine> PtyPeer::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool PtyPeer::waitForBytes(size_t count, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (received().size() >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return received().size() >= count;
}

uint32_t PtyPeer::currentBaud() const
{
    // Terminal attributes asked of the master are those of the slave, where
    // the program sets its rate.
    termios tio{};
    if (m_master < 0 || tcgetattr(m_master, &tio) != 0)
        return 0;
    return baudOfSpeed(cfgetospeed(&tio));
}

void PtyPeer::run()
{
    char chunk[kReadChunk];
    while (!m_stop)
    {
        pollfd pfd{m_master, POLLIN, 0};
        if (poll(&pfd, 1, kPollMs) <= 0 || (pfd.revents & POLLIN) == 0)
            continue;
        const ssize_t n = read(m_master, chunk, sizeof(chunk));
        if (n <= 0)
            continue;
        // The rate is taken when the bytes are read, which the polling keeps
        // within milliseconds of when they were written.
        const uint32_t baud = currentBaud();
        std::vector<std::string> complete;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.append(chunk, static_cast<size_t>(n));
            for (ssize_t i = 0; i < n; ++i)
            {
                m_partial.push_back(chunk[i]);
                if (chunk[i] == '\n')
                {
                    m_lines.push_back({m_partial, baud});
                    complete.push_back(m_partial);
                    m_partial.clear();
                }
            }
        }
        if (m_script)
        {
            for (const std::string &line : complete)
                send(m_script(line, baud));
        }
    }
}

} // namespace testsupport
