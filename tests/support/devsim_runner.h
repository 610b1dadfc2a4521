#ifndef TESTS_SUPPORT_DEVSIM_RUNNER_H
#define TESTS_SUPPORT_DEVSIM_RUNNER_H

// Running the project's programs from tests: runProgram() for one run to its end, DevsimRunner for an
// emulator on a link in a temporary directory that the destructor removes (kept with DEVSIM_KEEP=1).

#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testsupport
{

struct ProgramResult
{
    int exitCode = -1;    // -1 when killed by a signal or after the time-out
    std::string out, err; // everything written to standard output and error
};

std::string programPath(const std::string &name); // a program built by this project, in UPD_BIN_DIR
// Runs program with args and no input; a program still running after timeoutMs is killed.
ProgramResult runProgram(const std::string &program, const std::vector<std::string> &args, int timeoutMs);
std::string readTextFile(const std::string &path); // empty when it cannot be read
bool contains(const std::string &text, const std::string &part);
// A number of a summary text by its dotted path ("requests.HELLO"); -1 when absent.
long long jsonNumber(const std::string &json, const std::string &path);

class DevsimRunner
{
  public:
    explicit DevsimRunner(std::string program = programPath("devsim")); // starts nothing
    ~DevsimRunner();

    // Starts devsim with args, --state stateDir(), --summary FILE and the link port(), and waits
    // at most waitMs for the link. False when devsim exited or no link came (see stderrText()).
    bool start(const std::vector<std::string> &args = {}, int waitMs = 5000);
    // SIGTERM, then SIGKILL after waitMs. Devsim's exit status; -1 when killed or not running.
    int stop(int waitMs = 5000);

    const std::string &dir() const { return m_dir; }
    std::string port() const { return m_dir + "/ttyDEV0"; }
    std::string stateDir() const { return m_dir + "/state"; }
    std::string stdoutText() const { return readTextFile(m_dir + "/devsim.out"); }
    std::string stderrText() const { return readTextFile(m_dir + "/devsim.err"); }
    std::string summaryPath() const { return m_dir + "/summary.json"; }
    std::string summary() const { return readTextFile(summaryPath()); } // written when devsim stopped
    // jsonNumber of the summary written when devsim stopped; -1 when there is none.
    long long summaryValue(const std::string &path) const;

  private:
    TempDir m_tmp; // removed after the emulator stopped
    std::string m_program, m_dir = m_tmp.path;
    pid_t m_pid = -1;
};

} // namespace testsupport

#endif
