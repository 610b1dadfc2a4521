#ifndef TOOLS_ATOMIC_WRITE_H
#define TOOLS_ATOMIC_WRITE_H

// Writing a file whole or not at all: the bytes go to a temporary file beside
// the target, are flushed to the disk and then renamed over the target. A write
// that fails (a full disk, a size limit, an unwritable directory) leaves the old
// file as it was and no temporary file behind.

#include <cstddef>
#include <string>

namespace tools
{

// Replaces the file at path by length bytes at data. The new file keeps the
// mode of the file it replaces (0666 less the umask for a new one). Termination
// signals that arrive meanwhile wait until the file is in place or removed.
// Returns true, or false with a message in error.
bool writeFileAtomically(const std::string &path, const void *data, size_t length, std::string &error);

} // namespace tools

#endif
