#ifndef TESTS_SUPPORT_DEVSIM_RUNNER_H
#define TESTS_SUPPORT_DEVSIM_RUNNER_H

// Running the project's programs from tests: runProgram() for one run to its end, and
// DevsimRunner for an emulator on a link in a temporary directory of its own, which the
// destructor removes (unless DEVSIM_KEEP=1 is in the environment).

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport
{

struct ProgramResult
{
    int exitCode = -1;     // the exit status; -1 when killed by a signal or timed out
    bool timedOut = false; // still running after the time-out: it was killed
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

// The path of a program built by this project (UPD_BIN_DIR "/" name).
std::string programPath(const std::string &name);

// Runs program with args (the program name is not repeated in args), standard input
// empty, and waits at most timeoutMs; a program still running then is killed.
ProgramResult runProgram(const std::string &program, const std::vector<std::string> &args, int timeoutMs);

// Reads a whole file; empty when it cannot be read.
std::string readTextFile(const std::string &path);

// A devsim process for one test: the built one, or the one at program.
class DevsimRunner
{
  public:
    explicit DevsimRunner(std::string program = programPath("devsim")); // starts nothing
    ~DevsimRunner();
    DevsimRunner(const DevsimRunner &) = delete;
    DevsimRunner &operator=(const DevsimRunner &) = delete;

    // Starts devsim with args followed by --state stateDir(), --summary FILE and the link
    // port(); waits at most waitMs for the link to appear. False when devsim exited or the
    // link did not appear (see stderrText()).
    bool start(const std::vector<std::string> &args = {}, int waitMs = 5000);
    // Sends SIGTERM and waits at most waitMs (then SIGKILL). Returns devsim's exit
    // status, -1 when it had to be killed or was not running.
    int stop(int waitMs = 5000);
    bool isRunning() const { return m_pid > 0; }

    const std::string &dir() const { return m_dir; }
    std::string port() const { return m_dir + "/ttyDEV0"; }
    std::string stateDir() const { return m_dir + "/state"; }
    std::string stdoutText() const { return readTextFile(m_dir + "/devsim.out"); }
    std::string stderrText() const { return readTextFile(m_dir + "/devsim.err"); }
    // A number of the summary devsim wrote when it stopped, by its dotted path
    // ("requests.HELLO", "bytes_to_host", "faults.lost_responses"); -1 when there is none.
    long long summaryValue(const std::string &path) const;

  private:
    std::string m_program;
    std::string m_dir;
    pid_t m_pid = -1;
};

} // namespace testsupport

#endif
