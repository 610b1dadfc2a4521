#include "tests/support/devsim_runner.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace testsupport
{

namespace
{

// Starts program with no input and its output into the files out and err; it dies with this process.
pid_t spawn(const std::string &program, const std::vector<std::string> &args, int out, int err)
{
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    std::perror(program.c_str());
    ::_exit(127);
}

// Waits at most timeoutMs for pid, then kills it: its exit status, -1 when killed or ended by a signal.
int reap(pid_t pid, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0 && ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, &status, 0) == pid)
        return -1;
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string readTextFile(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string programPath(const std::string &name)
{
    return std::string(UPD_BIN_DIR) + "/" + name;
}

ProgramResult runProgram(const std::string &program, const std::vector<std::string> &args, int timeoutMs)
{
    ProgramResult result;
    std::FILE *out = std::tmpfile(), *err = std::tmpfile();
    pid_t pid = spawn(program, args, ::fileno(out), ::fileno(err));
    result.exitCode = pid > 0 ? reap(pid, timeoutMs) : -1;
    result.out = readTextFile("/proc/self/fd/" + std::to_string(::fileno(out)));
    result.err = readTextFile("/proc/self/fd/" + std::to_string(::fileno(err)));
    std::fclose(out);
    std::fclose(err);
    return result;
}

DevsimRunner::DevsimRunner(std::string program) : m_program(std::move(program)) {}

DevsimRunner::~DevsimRunner()
{
    stop();
}

long long jsonNumber(const std::string &json, const std::string &path)
{
    // The summary is an object of numbers and of flat objects of counts ("AT+LOCK": 1).
    std::string keys = std::regex_replace(path, std::regex("[^\\w.]"), "\\$&");
    std::regex pattern("\"" + std::regex_replace(keys, std::regex("\\."), "\": \\{[^}]*\"") + "\": ([0-9]+)");
    std::smatch match;
    return std::regex_search(json, match, pattern) ? std::stoll(match[1]) : -1;
}

long long DevsimRunner::summaryValue(const std::string &path) const
{
    return jsonNumber(summary(), path);
}

bool DevsimRunner::start(const std::vector<std::string> &args, int waitMs)
{
    if (m_dir.empty() || m_pid > 0)
        return false;
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--state", stateDir(), "--summary", summaryPath(), port()});
    int out = ::open((m_dir + "/devsim.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open((m_dir + "/devsim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    m_pid = spawn(m_program, all, out, err);
    ::close(out);
    ::close(err);
    // Ready once the link devsim makes points at its terminal.
    for (int waited = 0; m_pid > 0 && waited < waitMs; waited += 10)
    {
        if (std::filesystem::is_symlink(port()) && std::filesystem::exists(port()))
            return true;
        m_pid = ::waitpid(m_pid, nullptr, WNOHANG) == m_pid ? -1 : m_pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

int DevsimRunner::stop(int waitMs)
{
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    return reap(std::exchange(m_pid, -1), waitMs);
}

} // namespace testsupport
