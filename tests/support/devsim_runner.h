#ifndef TESTS_SUPPORT_DEVSIM_RUNNER_H
#define TESTS_SUPPORT_DEVSIM_RUNNER_H

// Running the project's programs from tests.
//
//   testsupport::DevsimRunner dev;                 // a fresh temporary directory
//   ASSERT_TRUE(dev.start({"--container", aff}));  // devsim on dev.port(), state in dev.stateDir()
//   auto r = testsupport::runProgram(testsupport::programPath("updater"),
//                                    {dev.port(), "-update", aff}, 60000);
//   EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
//   EXPECT_EQ(dev.stop(), 0);                       // SIGTERM; devsim writes its summary
//   EXPECT_EQ(dev.summaryValue("requests.HELLO"), 2);
//
// The directory (link, state, summary, devsim's output) is removed by the destructor;
// set DEVSIM_KEEP=1 in the environment to keep it for inspection.

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

// A devsim process for one test.
class DevsimRunner
{
  public:
    DevsimRunner(); // creates the temporary directory; starts nothing
    ~DevsimRunner();
    DevsimRunner(const DevsimRunner &) = delete;
    DevsimRunner &operator=(const DevsimRunner &) = delete;

    // Starts devsim with args followed by --state stateDir(), --summary summaryPath() and
    // the link port(); waits at most waitMs for the link to appear. False when devsim
    // exited or the link did not appear (see stderrText()).
    bool start(const std::vector<std::string> &args = {}, int waitMs = 5000);
    // Sends SIGTERM and waits at most waitMs (then SIGKILL). Returns devsim's exit
    // status, -1 when it had to be killed or was not running.
    int stop(int waitMs = 5000);
    bool isRunning() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    const std::string &dir() const { return m_dir; }
    std::string port() const { return m_dir + "/ttyDEV0"; }
    std::string stateDir() const { return m_dir + "/state"; }
    std::string summaryPath() const { return m_dir + "/summary.json"; }
    std::string stdoutText() const;
    std::string stderrText() const;

    // The summary file's text (written when devsim stops), empty when missing.
    std::string summary() const;
    // A number of the summary by its dotted path ("requests.HELLO", "bytes_to_host",
    // "faults.lost_responses"); -1 when there is no such number.
    long long summaryValue(const std::string &path) const;

  private:
    std::string m_dir;
    pid_t m_pid = -1;
};

// A number in a JSON text by its dotted path of object keys; -1 when absent.
long long jsonNumber(const std::string &json, const std::string &path);

// Reads a whole file; empty when it cannot be read.
std::string readTextFile(const std::string &path);

} // namespace testsupport

#endif
