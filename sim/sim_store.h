#ifndef SIM_SIM_STORE_H
#define SIM_SIM_STORE_H

// The device's persistent state: what each component holds and the versions the
// bootloaders report, kept in a directory so that it survives the emulator.
//
// Files of the directory: one image file per component (host-uc.bin, device-uc.bin,
// ti.bin, wifi.bin, nvcm0.bin, nvcm1.bin, usercode.bin) holding the bytes the device
// received, and versions.txt with one line per reported version: "NAME CODE DATE".

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/version.h"
#include "sim/sim_config.h"

namespace devsim
{

constexpr uint64_t kMaxImageBytes = 64ull * 1024 * 1024; // largest image a component accepts

class ComponentStore
{
  public:
    // Creates the directory when missing and loads what it holds; components without a
    // file are empty and versions without a line keep their defaults. Read-only, a
    // missing directory is an error and nothing is written. Returns false with a message
    // when the directory or one of its files cannot be used.
    bool open(const std::string &dir, std::string *pError, bool isReadOnly = false);

    const std::string &dir() const { return m_dir; }
    std::string imagePath(Image image) const;
    std::string versionsPath() const;

    const _tVersion &version(VersionSlot slot) const { return m_versions[static_cast<int>(slot)]; }
    // Sets a version and rewrites versions.txt; false when the file cannot be written.
    bool setVersion(VersionSlot slot, const _tVersion &version);
    bool setVersionCode(VersionSlot slot, uint32_t ulCode);

    const std::vector<uint8_t> &image(Image image) const { return m_images[static_cast<int>(image)]; }
    // Empties a component (its file becomes empty); false when the file cannot be written.
    bool erase(Image image);
    // Writes bytes at an offset, growing the image with zero bytes when needed. False when
    // the image would exceed kMaxImageBytes (nothing changes) or the file cannot be written.
    bool writeAt(Image image, uint64_t ullOffset, const uint8_t *pData, uint32_t ulLength);
    // Replaces a component's whole content.
    bool replace(Image image, const uint8_t *pData, uint32_t ulLength);

    static _tVersion makeVersion(uint32_t ulCode, const char *szDate);
    static _tVersion defaultVersion(VersionSlot slot);

  private:
    bool saveVersions();
    bool loadVersions(std::string *pError);
    bool loadImages(std::string *pError);

    std::string m_dir;
    std::array<_tVersion, kVersionSlotCount> m_versions{};
    std::array<std::vector<uint8_t>, kImageCount> m_images;
};

// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string &path, std::vector<uint8_t> *pBytes);

} // namespace devsim

#endif
