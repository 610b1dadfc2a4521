#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace testsupport
{

// A fresh directory under the system's temporary directory, removed with its contents
// (kept for a look afterwards when DEVSIM_KEEP=1 is set).
struct TempDir
{
    std::string path = std::filesystem::temp_directory_path() / "upd_test_XXXXXX";
    TempDir() { path = mkdtemp(path.data()) != nullptr ? path : "/nonexistent"; }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        const char *keep = std::getenv("DEVSIM_KEEP");
        std::error_code ignored;
        if (keep == nullptr || std::string(keep) != "1")
            std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

} // namespace testsupport

#endif
