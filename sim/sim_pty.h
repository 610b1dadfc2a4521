#ifndef SIM_SIM_PTY_H
#define SIM_SIM_PTY_H

// The pseudo-terminal the device sits behind, and the symbolic link to its slave
// that the updater opens as its serial port.

#include <cstdint>
#include <string>

namespace devsim
{

class PtyLink
{
  public:
    PtyLink() = default;
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;
    ~PtyLink() { close(); }

    // Creates a terminal pair, sets the slave raw at 115200 baud and points linkPath at
    // the slave (replacing a stale link, never another kind of file). The master is
    // non-blocking. Returns false with a message on failure.
    bool open(const std::string &linkPath, std::string *pError);
    // Closes the terminal and removes the link when it still points at our slave.
    void close();

    bool isOpen() const { return m_masterFd >= 0; }
    int masterFd() const { return m_masterFd; }
    const std::string &slaveName() const { return m_slaveName; }
    // The baud rate the host set on the slave (the pair shares its settings), 0 when
    // it cannot be read or is not a standard rate.
    uint32_t hostBaud() const;
    // Drops what the device sent and the host has not read: used when the host closes
    // the port, as a closed serial port loses its unread input.
    void discardUnread();

  private:
    int m_masterFd = -1;
    std::string m_slaveName;
    std::string m_linkPath;
};

// The numeric rate of a termios speed constant, 0 when unknown.
uint32_t baudFromSpeed(unsigned int speed);

} // namespace devsim

#endif
