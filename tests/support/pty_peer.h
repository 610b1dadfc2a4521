#ifndef TESTS_SUPPORT_PTY_PEER_H
#define TESTS_SUPPORT_PTY_PEER_H

// The far end of a pseudo-terminal, reached by the program under test through
// a symlink, and the program's main run in a forked child with its standard
// output and error captured apart while the far end is served.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport
{

// A fresh directory under the system's temporary directory, removed with its contents.
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

class PtyPeer
{
  public:
    // Answers each complete line the program wrote, given the baud rate of the
    // port when it was read; the reply, if any, is written back at once.
    using Script = std::function<std::string(const std::string &line, uint32_t baud)>;

    // Opens a raw pty at 115200 baud and points link at its slave (replacing
    // whatever link was). The slave stays open here, so the master never hangs up.
    explicit PtyPeer(std::string link, Script script = {});
    ~PtyPeer() { vanish(); }
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool ok() const { return m_master >= 0; }
    // Removes the symlink (unless another peer took it over) and closes both ends.
    void vanish();
    void send(const std::string &bytes) const;
    // Reads what the program wrote until `received` holds count bytes or
    // timeoutMs passed; true if it holds them.
    bool waitFor(size_t count, int timeoutMs);
    // Reads what is there within timeoutMs (one poll) and answers complete lines.
    void serve(int timeoutMs);
    // Baud rate the program set on its side, 0 when unknown.
    uint32_t baud() const;
    int master() const { return m_master; }

    const std::string link;
    std::string received;
    std::vector<std::pair<std::string, uint32_t>> lines; // each with the baud rate when read

  private:
    Script m_script;
    std::string m_slaveName, m_partial;
    int m_master = -1, m_slave = -1;
};

// An exclusive lock on a port, as another updater holds it.
struct HeldLock
{
    explicit HeldLock(const std::string &path);
    ~HeldLock();
    int fd;
    bool locked;
};

// True when someone else holds the lock on path.
bool lockedElsewhere(const std::string &path);

class Child
{
  public:
    using Main = int (*)(int argc, char **argv);
    // Starts fnMain(args) in a child; `before` runs in the child first.
    Child(Main fnMain, std::vector<std::string> args, std::function<void()> before = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    void interrupt() const; // SIGINT, as Ctrl-C on a terminal
    // Reads both streams until the child closes them, serving peer meanwhile (a
    // child still running after 20 s is killed), and reaps it. Returns the exit
    // status, -1 when it did not exit normally.
    int finish(PtyPeer *peer = nullptr);
    std::string out, err;

  private:
    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
};

} // namespace testsupport

#endif
