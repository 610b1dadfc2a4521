// Files written whole or not at all: a write that fails leaves the old file as
// it was and no temporary file beside it.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pty_peer.h"
#include "tools/affpack.h"
#include "tools/atomic_write.h"

namespace fs = std::filesystem;

namespace
{

const std::string kOld = "the good old container";

std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs fn in a child whose files may not grow past limitBytes (0: no limit), as
// on a full disk; returns fn's result.
bool inChild(const std::function<bool()> &fn, rlim_t limitBytes)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG instead of ending the child
        if (limitBytes != 0)
        {
            const rlimit limit{limitBytes, limitBytes};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        _exit(fn() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ToolsAtomicWrite, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    const std::string big(64 * 1024, 'N');
    struct Case
    {
        const char *name;
        std::string target; // relative to the test directory
        rlim_t limit;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"replaced", "fw.aff", 0, true},
        {"full disk", "fw.aff", 4096, false},
        {"target is a directory", "dir", 0, false},
        {"no such directory", "none/fw.aff", 0, false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const std::string target = dir.file(c.target);
        fs::create_directory(dir.file("dir"));
        std::ofstream(dir.file("fw.aff")) << kOld;
        chmod(dir.file("fw.aff").c_str(), 0640);

        const bool ok = inChild(
            [&]
            {
                std::string error;
                const bool written = tools::writeFileAtomically(target, big.data(), big.size(), error);
                return written == error.empty();
            },
            c.limit);
        EXPECT_TRUE(ok) << "a failure without a message, or a message without a failure";
        EXPECT_EQ(readAll(dir.file("fw.aff")), c.ok ? big : kOld);
        if (c.ok)
        {
            EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640)) << "the old file's mode is kept";
        }
        size_t entries = 0;
        for (const auto &entry : fs::directory_iterator(dir.path()))
            entries += entry.path().filename().string().find(".tmp") == std::string::npos ? 1 : 100;
        EXPECT_EQ(entries, 2u) << "a temporary file was left behind";
    }
}

TEST(ToolsAtomicWrite, AffpackOnAFullDiskKeepsTheOldContainer)
{
    testsupport::TempDir dir;
    const std::string out = dir.file("fw.aff");
    std::ofstream(out) << kOld;
    std::ofstream(dir.file("img.bin")) << std::string(20000, 'x');
    std::string err;
    const bool ok = inChild(
        [&]
        {
            std::ostringstream o, e;
            const int status = affpack::run(
                {"-o", out, "--product", "1", "--hardware", "2", "--block", "host-uc:" + dir.file("img.bin")},
                o, e);
            return status == 1 && e.str().find("cannot write '" + out + "'") != std::string::npos;
        },
        8192);
    EXPECT_TRUE(ok);
    EXPECT_EQ(readAll(out), kOld);
}

} // namespace
