#include "tests/support/devsim_runner.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport
{

namespace
{

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point start)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::vector<char *> argvOf(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// In the child: stdin from /dev/null, and the child dies with the test process.
void prepareChild()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0)
    {
        ::dup2(devNull, STDIN_FILENO);
        ::close(devNull);
    }
}

int exitStatusOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits at most timeoutMs for pid; true with *pStatus when it ended.
bool waitFor(pid_t pid, int timeoutMs, int *pStatus)
{
    auto start = Clock::now();
    for (;;)
    {
        pid_t done = ::waitpid(pid, pStatus, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        if (msSince(start) >= timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A tiny reader of JSON values, enough to find numbers by key path.
class JsonCursor
{
  public:
    explicit JsonCursor(const std::string &text) : m_text(text) {}

    void skipSpace()
    {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos])))
            m_pos++;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == c)
        {
            m_pos++;
            return true;
        }
        return false;
    }
    bool readString(std::string *pOut)
    {
        if (!take('"'))
            return false;
        pOut->clear();
        while (m_pos < m_text.size() && m_text[m_pos] != '"')
        {
            if (m_text[m_pos] == '\\')
                m_pos++;
            if (m_pos < m_text.size())
                pOut->push_back(m_text[m_pos++]);
        }
        return take('"');
    }
    bool skipValue()
    {
        skipSpace();
        if (m_pos >= m_text.size())
            return false;
        char c = m_text[m_pos];
        std::string ignored;
        if (c == '"')
            return readString(&ignored);
        if (c == '{' || c == '[')
        {
            char close = c == '{' ? '}' : ']';
            m_pos++;
            if (take(close))
                return true;
            do
            {
                if (c == '{' && (!readString(&ignored) || !take(':')))
                    return false;
                if (!skipValue())
                    return false;
            } while (take(','));
            return take(close);
        }
        while (m_pos < m_text.size() && std::strchr(",}] \t\r\n", m_text[m_pos]) == nullptr)
            m_pos++;
        return true;
    }
    // Positions the cursor at the value of key inside the object that starts here.
    bool enter(const std::string &key)
    {
        if (!take('{'))
            return false;
        std::string name;
        do
        {
            if (!readString(&name) || !take(':'))
                return false;
            if (name == key)
                return true;
            if (!skipValue())
                return false;
        } while (take(','));
        return false;
    }
    long long number()
    {
        skipSpace();
        const char *pStart = m_text.c_str() + m_pos;
        char *pEnd = nullptr;
        long long value = std::strtoll(pStart, &pEnd, 10);
        return pEnd == pStart ? -1 : value;
    }

  private:
    const std::string &m_text;
    size_t m_pos = 0;
};

} // namespace

std::string readTextFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

long long jsonNumber(const std::string &json, const std::string &path)
{
    JsonCursor cursor(json);
    std::stringstream keys(path);
    std::string key;
    while (std::getline(keys, key, '.'))
    {
        if (!cursor.enter(key))
            return -1;
    }
    return cursor.number();
}

std::string programPath(const std::string &name)
{
    return std::string(UPD_BIN_DIR) + "/" + name;
}

ProgramResult runProgram(const std::string &program, const std::vector<std::string> &args, int timeoutMs)
{
    ProgramResult result;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
    {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    std::vector<char *> argv = argvOf(program, args);
    pid_t pid = ::fork();
    if (pid == 0)
    {
        prepareChild();
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0)
    {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }

    auto start = Clock::now();
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0)
    {
        int left = timeoutMs - msSince(start);
        if (left <= 0)
        {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, left) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++)
        {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
            if (n > 0)
                sinks[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
            {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    for (auto &fd : fds)
    {
        if (fd.fd >= 0)
            ::close(fd.fd);
    }
    int status = 0;
    if (!waitFor(pid, result.timedOut ? 5000 : timeoutMs, &status))
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        result.timedOut = true;
    }
    result.exitCode = result.timedOut ? -1 : exitStatusOf(status);
    return result;
}

DevsimRunner::DevsimRunner()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "devsim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        m_dir = pattern;
}

DevsimRunner::~DevsimRunner()
{
    if (isRunning())
        stop();
    const char *keep = std::getenv("DEVSIM_KEEP");
    if (!m_dir.empty() && !(keep && std::string(keep) == "1"))
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

std::string DevsimRunner::stdoutText() const
{
    return readTextFile(m_dir + "/devsim.out");
}
std::string DevsimRunner::stderrText() const
{
    return readTextFile(m_dir + "/devsim.err");
}
std::string DevsimRunner::summary() const
{
    return readTextFile(summaryPath());
}
long long DevsimRunner::summaryValue(const std::string &path) const
{
    return jsonNumber(summary(), path);
}

bool DevsimRunner::start(const std::vector<std::string> &args, int waitMs)
{
    if (m_dir.empty() || isRunning())
        return false;
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--state", stateDir(), "--summary", summaryPath(), port()});
    std::string program = programPath("devsim");
    std::vector<char *> argv = argvOf(program, all);
    std::string outPath = m_dir + "/devsim.out";
    std::string errPath = m_dir + "/devsim.err";
    pid_t pid = ::fork();
    if (pid == 0)
    {
        prepareChild();
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    if (pid < 0)
        return false;
    m_pid = pid;

    auto startTime = Clock::now();
    while (msSince(startTime) < waitMs)
    {
        // Ready once the link devsim makes points at its terminal.
        struct stat st;
        if (::lstat(port().c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(port().c_str(), &st) == 0)
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
        {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

int DevsimRunner::stop(int waitMs)
{
    if (!isRunning())
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    int result = -1;
    if (waitFor(m_pid, waitMs, &status))
        result = exitStatusOf(status);
    else
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    return result;
}

} // namespace testsupport
