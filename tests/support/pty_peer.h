#ifndef TESTS_SUPPORT_PTY_PEER_H
#define TESTS_SUPPORT_PTY_PEER_H

// The far end of a pseudo-terminal, reached by the program under test through
// a symlink. A thread reads everything the program writes, notes the baud rate
// the program had set on its side when each line arrived, and answers lines by
// script. The port can be made to vanish, and a new peer can take over the
// same symlink, to rehearse a link that drops and comes back.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport
{

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// One line the program wrote, with the baud rate of the port when it was read.
struct PtyLine
{
    std::string text; // including the terminating "\n"
    uint32_t baud;
};

class PtyPeer
{
  public:
    // Called for every complete line (ending in '\n'); the returned bytes, if
    // any, are written back to the program at once.
    using Script = std::function<std::string(const std::string &line, uint32_t baud)>;

    // Opens a pty in raw mode at 115200 baud and points linkPath at its slave
    // (replacing whatever linkPath was). ok() tells whether that worked.
    explicit PtyPeer(const std::string &linkPath, Script script = {});
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool ok() const { return m_ok; }
    const std::string &path() const { return m_linkPath; }

    // Removes the symlink (unless another peer has taken it over) and closes
    // both ends: the program's port is gone.
    void vanish();

    // Writes bytes to the program.
    void send(const std::string &bytes);

    // Everything read from the program so far, and the complete lines of it.
    std::string received() const;
    std::vector<PtyLine> lines() const;

    // Waits up to timeoutMs until at least count bytes were read; true if so.
    bool waitForBytes(size_t count, int timeoutMs) const;

    // Baud rate currently set on the pty, 0 when unknown.
    uint32_t currentBaud() const;

  private:
    void run();

    std::string m_linkPath;
    std::string m_slaveName;
    Script m_script;
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::string m_received;
    std::string m_partial;
    std::vector<PtyLine> m_lines;
};

} // namespace testsupport

#endif
