#ifndef TESTS_SUPPORT_CHILD_RUN_H
#define TESTS_SUPPORT_CHILD_RUN_H

// A program's main run in a forked child with standard output and standard
// error captured apart; the child can be signalled while it runs.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport
{

class Child
{
  public:
    using Main = int (*)(int argc, char **argv);

    // Starts fnMain(args) in a child; `before` runs in the child first.
    Child(Main fnMain, std::vector<std::string> args, std::function<void()> before = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Sends SIGINT, as Ctrl-C on a terminal would.
    void interrupt() const;

    // Reads both streams until the child closes them (a child still running
    // after 20 s is killed), then reaps it. Returns the exit status, -1 when it
    // did not exit normally.
    int finish();

    std::string out;
    std::string err;

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_done = false;
};

} // namespace testsupport

#endif
