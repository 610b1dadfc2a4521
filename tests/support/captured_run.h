#ifndef TESTS_SUPPORT_CAPTURED_RUN_H
#define TESTS_SUPPORT_CAPTURED_RUN_H

// Capturing what code under test prints on standard output: a whole program
// run in a forked child, or a stretch of code in this process.

#include <functional>
#include <string>

namespace testsupport
{

struct CapturedRun
{
    int status = -1;    // the child's exit status, -1 when it did not exit normally in time
    std::string output; // every byte it wrote to standard output
};

// Runs fn in a forked child with standard output sent to a pipe and returns
// what it printed and the value it returned as the exit status. A child still
// running after timeoutMs is killed.
CapturedRun runCaptured(const std::function<int()> &fn, int timeoutMs);

// Sends this process's standard output into a temporary file from construction
// until text() is called (or the object goes).
class StdoutCapture
{
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Restores standard output and returns what was printed meanwhile.
    std::string text();

  private:
    int m_saved = -1;
    int m_file = -1;
};

} // namespace testsupport

#endif
