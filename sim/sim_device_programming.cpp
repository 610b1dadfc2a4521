// Programming: the begin, part and end requests that write an image, and the FPGA's
// write and verify phases.

#include "sim/sim_device.h"

#include <cstring>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_device_shared.h"

namespace devsim
{

namespace
{

constexpr uint32_t kPartHeaderSize = 4; // the part index before the part's bytes
constexpr uint32_t kFpgaBeginSize = 12; // memory, operation, page count
constexpr uint32_t kFpgaWrite = 1;
constexpr uint32_t kFpgaVerify = 0;
constexpr uint32_t kFpgaMaxMemory = 1;

VersionSlot versionSlotOf(Image image)
{
    switch (image)
    {
    case Image::HostUc:
        return VersionSlot::HostUc;
    case Image::DeviceUc:
        return VersionSlot::DeviceUc;
    case Image::Ti:
        return VersionSlot::Ti;
    case Image::Wifi:
        return VersionSlot::Wifi;
    default:
        return VersionSlot::Fpga;
    }
}

uint32_t blockTypeOf(Image image)
{
    switch (image)
    {
    case Image::HostUc:
        return AFF_BLOCK_HOST_UC;
    case Image::DeviceUc:
        return AFF_BLOCK_DEVICE_UC;
    case Image::Ti:
        return AFF_BLOCK_TI;
    case Image::Wifi:
        return AFF_BLOCK_ESP_FLASH;
    case Image::Nvcm0:
        return AFF_BLOCK_FPGA_NVCM0;
    case Image::Nvcm1:
        return AFF_BLOCK_FPGA_NVCM1;
    default:
        return AFF_BLOCK_FPGA_USERCODE;
    }
}

bool isBeginCommand(uint8_t ubCmd)
{
    return ubCmd == UPDATER_CMD_UC_PROGRAM_BEGIN || ubCmd == UPDATER_CMD_TI_PROGRAM_BEGIN;
}
bool isDataCommand(uint8_t ubCmd)
{
    return ubCmd == UPDATER_CMD_UC_PROGRAM_DATA || ubCmd == UPDATER_CMD_TI_PROGRAM_DATA;
}

} // namespace

void Device::countPart()
{
    uint32_t ulMs = 0;
    if (m_faults.onPart(&ulMs))
    {
        m_isDisconnectPending = true;
        m_disconnectMs = ulMs;
    }
}

uint32_t Device::writePart(Image image, uint32_t &partSize, const Packet &req)
{
    uint32_t ulIndex = leGetU32(req.data);
    uint32_t ulLength = req.length - kPartHeaderSize;
    m_trace += format(" (part %u, %u bytes)", ulIndex, ulLength);
    // Every part of an image has the size of the first one: a part lands at its index.
    if (partSize == 0)
        partSize = ulLength;
    else if (ulLength != partSize)
    {
        m_trace += format(" (expected parts of %u bytes)", partSize);
        return kStatusBadData;
    }
    uint64_t ullOffset = static_cast<uint64_t>(ulIndex) * partSize;
    if (ullOffset + ulLength > kMaxImageBytes)
        return kStatusOutOfRange;
    if (!m_store.writeAt(image, ullOffset, req.data + kPartHeaderSize, ulLength))
    {
        m_log.error(std::string("cannot write ") + m_store.imagePath(image));
        return kStatusStorageFailed;
    }
    countPart();
    return kStatusOk;
}

void Device::finishImage(Image image, Session &session)
{
    session.isActive = false;
    _tVersion version = session.previous;
    if (m_pContainer)
    {
        if (auto blockVersion = m_pContainer->blockVersion(blockTypeOf(image)))
            version = *blockVersion;
    }
    if (!m_store.setVersion(versionSlotOf(image), version))
        m_log.error("cannot write " + m_store.versionsPath());
    m_trace += format(" (%s image complete, %zu bytes)", imageLabel(image), m_store.image(image).size());
    deviceLog(format("%s programmed, %zu bytes", imageLabel(image), m_store.image(image).size()));
}

Device::Reply Device::program(Image image, const Packet &req)
{
    Session &session = m_sessions[static_cast<int>(image)];
    if (isBeginCommand(req.cmd))
    {
        if (req.length < kWordSize)
            return reply(req, kStatusBadData);
        m_trace += format(" (%s image of %u bytes)", imageLabel(image), leGetU32(req.data));
        // Programming erases the component: until its end request it reports no version.
        // A repeated begin keeps the version from before the first one.
        if (!session.isActive)
            session.previous = m_store.version(versionSlotOf(image));
        session.isActive = true;
        session.partSize = 0;
        if (!m_store.erase(image) || !m_store.setVersion(versionSlotOf(image), _tVersion{}))
        {
            m_log.error("cannot write the state of " + std::string(imageLabel(image)));
            return reply(req, kStatusStorageFailed);
        }
        return reply(req, kStatusOk);
    }
    if (isDataCommand(req.cmd))
    {
        if (req.length <= kPartHeaderSize)
            return reply(req, kStatusBadData);
        if (!session.isActive)
        {
            m_trace += " (no programming begun)";
            return reply(req, kStatusSequence);
        }
        return reply(req, writePart(image, session.partSize, req));
    }
    // The end request; repeated after the image was completed, it changes nothing.
    if (session.isActive)
        finishImage(image, session);
    return reply(req, kStatusOk);
}

Device::Reply Device::fpga(const Packet &req)
{
    switch (req.cmd)
    {
    case UPDATER_CMD_FPGA_BEGIN:
        return fpgaBegin(req);
    case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
        return fpgaPhase(req);
    case UPDATER_CMD_FPGA_PROGRAM_DATA:
        return fpgaPart(req);
    case UPDATER_CMD_FPGA_USERCODE:
        return fpgaUsercode(req);
    default: // UPDATER_CMD_FPGA_END
        return fpgaEnd(req);
    }
}

Device::Reply Device::fpgaBegin(const Packet &req)
{
    if (!m_fpga.isBegun)
    {
        m_fpga = FpgaSession();
        m_fpga.previous = m_store.version(VersionSlot::Fpga);
        m_fpga.isBegun = true;
    }
    m_fpga.isPhaseActive = false;
    return reply(req, kStatusOk);
}

Device::Reply Device::fpgaPhase(const Packet &req)
{
    if (req.length < kFpgaBeginSize)
        return reply(req, kStatusBadData);
    uint32_t ulMemory = leGetU32(req.data);
    uint32_t ulOperation = leGetU32(req.data + kWordSize);
    uint32_t ulPages = leGetU32(req.data + 2 * kWordSize);
    m_trace +=
        format(" (%s %u pages of NVCM%u)", ulOperation == kFpgaWrite ? "write" : "verify", ulPages, ulMemory);
    if (ulMemory > kFpgaMaxMemory || (ulOperation != kFpgaWrite && ulOperation != kFpgaVerify))
        return reply(req, kStatusBadData);
    if (!m_fpga.isBegun)
        return reply(req, kStatusSequence);
    m_fpga.isPhaseActive = true;
    m_fpga.memory = ulMemory;
    m_fpga.operation = ulOperation;
    m_fpga.pages = ulPages;
    m_fpga.partSize = 0;
    if (ulOperation == kFpgaWrite)
    {
        // A write phase erases its memory; the version goes at the first one only.
        bool isStored = m_store.erase(ulMemory == 0 ? Image::Nvcm0 : Image::Nvcm1);
        if (!m_fpga.isErased)
            isStored = isStored && m_store.setVersion(VersionSlot::Fpga, _tVersion{});
        m_fpga.isErased = true;
        if (!isStored)
        {
            m_log.error("cannot write the FPGA state");
            return reply(req, kStatusStorageFailed);
        }
    }
    return reply(req, kStatusOk);
}

Device::Reply Device::fpgaPart(const Packet &req)
{
    if (req.length <= kPartHeaderSize)
        return reply(req, kStatusBadData);
    if (!m_fpga.isPhaseActive)
    {
        m_trace += " (no write or verify phase begun)";
        return reply(req, kStatusSequence);
    }
    Image memoryImage = m_fpga.memory == 0 ? Image::Nvcm0 : Image::Nvcm1;
    if (m_fpga.operation == kFpgaWrite)
        return reply(req, writePart(memoryImage, m_fpga.partSize, req));
    return reply(req, verifyPart(memoryImage, req));
}

uint32_t Device::verifyPart(Image image, const Packet &req)
{
    uint32_t ulIndex = leGetU32(req.data);
    uint32_t ulLength = req.length - kPartHeaderSize;
    m_trace += format(" (verify part %u, %u bytes)", ulIndex, ulLength);
    if (m_fpga.partSize == 0)
        m_fpga.partSize = ulLength;
    else if (ulLength != m_fpga.partSize)
        return kStatusBadData;
    uint64_t ullOffset = static_cast<uint64_t>(ulIndex) * m_fpga.partSize;
    if (ullOffset + ulLength > kMaxImageBytes)
        return kStatusOutOfRange;
    countPart();
    const std::vector<uint8_t> &stored = m_store.image(image);
    if (ullOffset + ulLength > stored.size() ||
        std::memcmp(stored.data() + ullOffset, req.data + kPartHeaderSize, ulLength) != 0)
    {
        m_trace += " (differs from what was written)";
        return kStatusVerifyFailed;
    }
    return kStatusOk;
}

Device::Reply Device::fpgaUsercode(const Packet &req)
{
    if (req.length == 0)
        return reply(req, kStatusBadData);
    if (!m_fpga.isBegun)
        return reply(req, kStatusSequence);
    m_trace += format(" (%u bytes)", req.length);
    if (!m_store.replace(Image::Usercode, req.data, req.length))
    {
        m_log.error("cannot write " + m_store.imagePath(Image::Usercode));
        return reply(req, kStatusStorageFailed);
    }
    return reply(req, kStatusOk);
}

// Repeated after the end, the end request changes nothing.
Device::Reply Device::fpgaEnd(const Packet &req)
{
    if (!m_fpga.isBegun)
        return reply(req, kStatusOk);
    _tVersion version = m_fpga.previous;
    if (m_pContainer)
    {
        // The updater compares the FPGA through its NVCM0 block.
        if (auto blockVersion = m_pContainer->blockVersion(AFF_BLOCK_FPGA_NVCM0))
            version = *blockVersion;
    }
    if (!m_store.setVersion(VersionSlot::Fpga, version))
        m_log.error("cannot write " + m_store.versionsPath());
    m_fpga.isBegun = false;
    m_fpga.isPhaseActive = false;
    m_trace += " (FPGA programming complete)";
    deviceLog("FPGA programmed");
    return reply(req, kStatusOk);
}

} // namespace devsim
