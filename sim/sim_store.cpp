#include "sim/sim_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim
{

namespace
{

constexpr const char *kVersionsFile = "versions.txt";
constexpr const char *kDefaultDate = "Jan  1 2024";
constexpr const char *kBootloaderDate = "Jan 15 2024";
constexpr uint32_t kDefaultBootloaderCode = 20100000; // 2.1.0.0
constexpr uint32_t kDefaultUcCode = 10000000;         // 1.0.0.0 in the four-part form
constexpr uint32_t kDefaultFpgaCode = 10000;          // 1.0.0 in the three-part form

std::string errnoText()
{
    return std::strerror(errno);
}

// Writes the whole content of a file through a temporary file and a rename, so that
// a reader never sees half a file.
bool writeFileAtomically(const std::string &path, const void *pData, size_t length)
{
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const uint8_t *p = static_cast<const uint8_t *>(pData);
    size_t done = 0;
    while (done < length)
    {
        ssize_t n = ::write(fd, p + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0)
    {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool pwriteAll(int fd, const uint8_t *p, size_t length, uint64_t offset)
{
    size_t done = 0;
    while (done < length)
    {
        ssize_t n = ::pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The state directory must exist (read-only) or is created.
bool openDirectory(const std::string &dir, std::string *pError, bool isReadOnly)
{
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
    {
        if (S_ISDIR(st.st_mode))
            return true;
        *pError = "the state path " + dir + " is not a directory";
        return false;
    }
    if (isReadOnly)
    {
        *pError = "no device state in " + dir + ": " + errnoText();
        return false;
    }
    if (::mkdir(dir.c_str(), 0755) != 0)
    {
        *pError = "cannot create the state directory " + dir + ": " + errnoText();
        return false;
    }
    return true;
}

} // namespace

bool readWholeFile(const std::string &path, std::vector<uint8_t> *pBytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return false;
    *pBytes = std::move(bytes);
    return true;
}

_tVersion ComponentStore::makeVersion(uint32_t ulCode, const char *szDate)
{
    _tVersion version{};
    version.ulCode = ulCode;
    std::memcpy(version.szDate, szDate, strnlen(szDate, VERSION_DATE_LEN)); // the rest stays zero
    return version;
}

_tVersion ComponentStore::defaultVersion(VersionSlot slot)
{
    switch (slot)
    {
    case VersionSlot::Bootloader:
        return makeVersion(kDefaultBootloaderCode, kBootloaderDate);
    case VersionSlot::Fpga:
        return makeVersion(kDefaultFpgaCode, kDefaultDate);
    default:
        return makeVersion(kDefaultUcCode, kDefaultDate);
    }
}

std::string ComponentStore::imagePath(Image image) const
{
    return m_dir + "/" + imageName(image) + ".bin";
}

std::string ComponentStore::versionsPath() const
{
    return m_dir + "/" + kVersionsFile;
}

bool ComponentStore::open(const std::string &dir, std::string *pError, bool isReadOnly)
{
    m_dir = dir;
    if (!openDirectory(dir, pError, isReadOnly) || !loadVersions(pError) || !loadImages(pError))
        return false;
    if (!isReadOnly && ::access(versionsPath().c_str(), F_OK) != 0 && !saveVersions())
    {
        *pError = "cannot write " + versionsPath() + ": " + errnoText();
        return false;
    }
    return true;
}

bool ComponentStore::loadVersions(std::string *pError)
{
    for (int i = 0; i < kVersionSlotCount; i++)
        m_versions[i] = defaultVersion(static_cast<VersionSlot>(i));
    std::ifstream in(versionsPath());
    std::string line;
    while (in && std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string name;
        uint32_t code = 0;
        VersionSlot slot;
        if (!(fields >> name >> code) || !versionSlotFromName(name, &slot))
        {
            *pError = "unreadable line in " + versionsPath() + ": " + line;
            return false;
        }
        std::string date;
        std::getline(fields, date);
        if (!date.empty() && date[0] == ' ')
            date.erase(0, 1);
        m_versions[static_cast<int>(slot)] = makeVersion(code, date.c_str());
    }
    return true;
}

bool ComponentStore::loadImages(std::string *pError)
{
    for (int i = 0; i < kImageCount; i++)
    {
        std::string path = imagePath(static_cast<Image>(i));
        m_images[i].clear();
        if (::access(path.c_str(), F_OK) == 0 && !readWholeFile(path, &m_images[i]))
        {
            *pError = "cannot read " + path + ": " + errnoText();
            return false;
        }
    }
    return true;
}

bool ComponentStore::saveVersions()
{
    std::string text = "# Versions reported by the emulated device: NAME CODE DATE\n";
    for (int i = 0; i < kVersionSlotCount; i++)
    {
        const _tVersion &v = m_versions[i];
        text += std::string(versionSlotName(static_cast<VersionSlot>(i))) + " " + std::to_string(v.ulCode) +
                " " + std::string(v.szDate, strnlen(v.szDate, VERSION_DATE_LEN)) + "\n";
    }
    return writeFileAtomically(versionsPath(), text.data(), text.size());
}

bool ComponentStore::setVersion(VersionSlot slot, const _tVersion &version)
{
    m_versions[static_cast<int>(slot)] = version;
    return saveVersions();
}

bool ComponentStore::setVersionCode(VersionSlot slot, uint32_t ulCode)
{
    m_versions[static_cast<int>(slot)].ulCode = ulCode;
    return saveVersions();
}

bool ComponentStore::erase(Image image)
{
    m_images[static_cast<int>(image)].clear();
    return writeFileAtomically(imagePath(image), "", 0);
}

bool ComponentStore::replace(Image image, const uint8_t *pData, uint32_t ulLength)
{
    if (ulLength > kMaxImageBytes)
        return false;
    m_images[static_cast<int>(image)].assign(pData, pData + ulLength);
    return writeFileAtomically(imagePath(image), pData, ulLength);
}

bool ComponentStore::writeAt(Image image, uint64_t ullOffset, const uint8_t *pData, uint32_t ulLength)
{
    if (ullOffset + ulLength > kMaxImageBytes)
        return false;
    std::vector<uint8_t> &bytes = m_images[static_cast<int>(image)];
    if (bytes.size() < ullOffset + ulLength)
        bytes.resize(static_cast<size_t>(ullOffset + ulLength), 0);
    std::memcpy(bytes.data() + ullOffset, pData, ulLength);

    int fd = ::open(imagePath(image).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // The file may be shorter than the offset (a gap left by a lost part): pwrite
    // fills the gap with zero bytes, as the in-memory copy does.
    bool ok = pwriteAll(fd, pData, ulLength, ullOffset);
    return ::close(fd) == 0 && ok;
}

} // namespace devsim
