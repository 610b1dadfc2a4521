#include "tools/affpack.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <sstream>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "common/version.h"
#include "protocol/crc.h"
#include "tools/atomic_write.h"

namespace affpack
{
namespace
{

constexpr uint8_t kPadByte = 0xFF;
constexpr size_t kIvHexDigits = 2 * AFF_IV_SIZE;
constexpr uint32_t kMaxLegacyType = AFF_BLOCK_HOST_UC;

// Older layouts: where the file header keeps each component's version record,
// and where the ids, block count and IV start.
constexpr size_t kLegacyOfsDeviceUc = 4;
constexpr size_t kLegacyOfsFpga = 20;
constexpr size_t kLegacyOfsWifi = 36;
constexpr size_t kLegacyOfsHostUc = 52;
constexpr size_t kV1OfsIds = 52;
constexpr size_t kV2OfsIds = 68;
constexpr size_t kLegacyOfsDetectStart = 4;
constexpr size_t kLegacyOfsDetectEnd = 82; // the reader's version window is bytes 4 to 81

struct TypeName
{
    const char *name;
    uint32_t type;
};

const TypeName kTypeNames[] = {
    {"esp-ram", AFF_BLOCK_ESP_RAM},
    {"esp-ram-data", AFF_BLOCK_ESP_RAM_DATA},
    {"wifi", AFF_BLOCK_ESP_FLASH},
    {"nvcm0", AFF_BLOCK_FPGA_NVCM0},
    {"nvcm1", AFF_BLOCK_FPGA_NVCM1},
    {"usercode", AFF_BLOCK_FPGA_USERCODE},
    {"device-uc", AFF_BLOCK_DEVICE_UC},
    {"host-uc", AFF_BLOCK_HOST_UC},
    {"ti", AFF_BLOCK_TI},
};

// Unsigned 32-bit number, decimal or 0x-prefixed hexadecimal, nothing else around it.
bool parseU32(const std::string &text, uint32_t &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool parseNumberOption(const std::string &name, const std::string &text, uint32_t &value, std::string &error)
{
    if (parseU32(text, value))
        return true;
    error = name + ": '" + text + "' is not a number from 0 to 4294967295";
    return false;
}

bool parseIv(const std::string &text, std::array<uint8_t, 16> &iv, std::string &error)
{
    std::string hex = text;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
        hex = hex.substr(2);
    bool ok = hex.size() == kIvHexDigits;
    for (size_t i = 0; ok && i < hex.size(); i++)
        ok = isxdigit(static_cast<unsigned char>(hex[i])) != 0;
    if (!ok)
    {
        error = "--iv: '" + text + "' is not 32 hexadecimal digits";
        return false;
    }
    for (size_t i = 0; i < AFF_IV_SIZE; i++)
        iv[i] = static_cast<uint8_t>(strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
    return true;
}

bool checkDate(const std::string &what, const std::string &date, std::string &error)
{
    if (date.size() <= VERSION_DATE_LEN)
        return true;
    error = what + ": date text '" + date + "' is longer than 11 characters";
    return false;
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;)
    {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

bool parsePartSize(const std::string &what, const std::string &text, uint32_t &partSize, std::string &error)
{
    if (!parseU32(text, partSize) || partSize == 0 || partSize > AFF_MAX_PART_SIZE)
    {
        error = what + ": part size '" + text + "' must be a number from 1 to 16384";
        return false;
    }
    return true;
}

// One KEY=VALUE field of a --block argument.
bool applyBlockKey(const std::string &what, const std::string &key, const std::string &value, BlockDef &block,
                   std::string &error)
{
    if (key == "part")
        return parsePartSize(what, value, block.partSize, error);
    if (key == "image")
        return block.hasImageSize = parseNumberOption(what + " image", value, block.imageSize, error);
    if (key == "version")
        return block.hasVersion = parseNumberOption(what + " version", value, block.versionCode, error);
    if (key == "date")
    {
        block.hasDate = true;
        block.date = value;
        return checkDate(what, value, error);
    }
    if (key == "aux0")
        return parseNumberOption(what + " aux0", value, block.aux0, error);
    if (key == "aux1")
        return parseNumberOption(what + " aux1", value, block.aux1, error);
    if (key == "aux2")
        return parseNumberOption(what + " aux2", value, block.aux2, error);
    error = what + ": unknown key '" + key + "' (part, image, version, date, aux0, aux1, aux2)";
    return false;
}

bool parseBlock(const std::string &text, BlockDef &block, std::string &error)
{
    const std::string what = "--block '" + text + "'";
    std::vector<std::string> fields = split(text, ':');
    if (fields.size() < 2 || fields[0].empty() || fields[1].empty())
    {
        error = what + ": expected TYPE:FILE[:PART][:KEY=VALUE]...";
        return false;
    }
    block.type = blockTypeFromText(fields[0]);
    if (block.type == 0)
    {
        error = what + ": unknown block type '" + fields[0] +
                "' (1-9, esp-ram, esp-ram-data, wifi, nvcm0, nvcm1, usercode, device-uc, host-uc, ti)";
        return false;
    }
    block.path = fields[1];
    for (size_t i = 2; i < fields.size(); i++)
    {
        const std::string &field = fields[i];
        size_t eq = field.find('=');
        if (eq == std::string::npos)
        {
            if (i != 2)
            {
                error = what + ": '" + field + "' is not KEY=VALUE";
                return false;
            }
            if (!parsePartSize(what, field, block.partSize, error))
                return false;
            continue;
        }
        if (!applyBlockKey(what, field.substr(0, eq), field.substr(eq + 1), block, error))
            return false;
    }
    return true;
}

void fillVersion(_tVersion &version, uint32_t code, const std::string &date)
{
    memset(&version, 0, sizeof version);
    version.ulCode = code;
    memcpy(version.szDate, date.data(), date.size() < VERSION_DATE_LEN ? date.size() : VERSION_DATE_LEN);
}

// The image padded with kPadByte to a whole number of parts.
std::vector<uint8_t> padded(const std::vector<uint8_t> &image, uint32_t partSize)
{
    std::vector<uint8_t> data = image;
    size_t rest = data.size() % partSize;
    if (rest != 0)
        data.resize(data.size() + (partSize - rest), kPadByte);
    return data;
}

bool appendVersion3Block(const BlockDef &def, const std::vector<uint8_t> &image,
                         const std::string &defaultDate, std::vector<uint8_t> &out)
{
    const std::vector<uint8_t> data = padded(image, def.partSize);
    _tAffBlockHeader header;
    memset(&header, 0, sizeof header);
    header.ulType = def.type;
    header.ulSize = static_cast<uint32_t>(data.size());
    header.ulPartSize = def.partSize;
    header.ulImageSize = def.hasImageSize ? def.imageSize : static_cast<uint32_t>(image.size());
    fillVersion(header.sVersion, def.versionCode, def.hasDate ? def.date : defaultDate);
    header.ulAux0 = def.aux0;
    header.ulAux1 = def.aux1;
    header.ulAux2 = def.aux2;

    uint8_t raw[AFF_BLOCK_HEADER_SIZE_V3];
    out.insert(out.end(), raw, raw + affPackBlockHeader(&header, raw));
    for (size_t at = 0; at < data.size(); at += def.partSize)
    {
        const uint8_t *part = data.data() + at;
        out.insert(out.end(), part, part + def.partSize);
        uint8_t crc[AFF_PART_CRC_SIZE];
        lePutU32(crc, crc16(CRC16_POLY, CRC16_INIT_AFF, part, static_cast<int16_t>(def.partSize)));
        out.insert(out.end(), crc, crc + AFF_PART_CRC_SIZE);
    }
    return true;
}

// Header offset of the version record that a block of this type takes in an
// older layout; 0 when the layout keeps none for it.
size_t legacyVersionOffset(uint16_t format, uint32_t type)
{
    switch (type)
    {
    case AFF_BLOCK_ESP_RAM:
    case AFF_BLOCK_ESP_RAM_DATA:
    case AFF_BLOCK_ESP_FLASH:
        return kLegacyOfsWifi;
    case AFF_BLOCK_FPGA_NVCM0:
    case AFF_BLOCK_FPGA_NVCM1:
    case AFF_BLOCK_FPGA_USERCODE:
        return kLegacyOfsFpga;
    case AFF_BLOCK_DEVICE_UC:
        return kLegacyOfsDeviceUc;
    case AFF_BLOCK_HOST_UC:
        return format == 2 ? kLegacyOfsHostUc : 0;
    default:
        return 0;
    }
}

// The version records of the older layouts, into the header in out. Each component's
// record comes from the first of its blocks that states a version or date; the others
// must agree with it.
bool putLegacyVersions(const Options &options, const std::string &defaultDate, std::vector<uint8_t> &out,
                       std::string &error)
{
    const uint16_t format = options.format;
    struct Record
    {
        bool set = false;
        size_t fromBlock = 0;
        _tVersion version{};
    };
    std::map<size_t, Record> records; // by header offset of the record
    for (size_t i = 0; i < options.blocks.size(); i++)
    {
        const BlockDef &b = options.blocks[i];
        if (b.type > kMaxLegacyType)
        {
            error = "block " + std::to_string(i) + ": format " + std::to_string(format) +
                    " holds block types 1 to 8 only";
            return false;
        }
        if (!b.hasVersion && !b.hasDate)
            continue;
        size_t at = legacyVersionOffset(format, b.type);
        if (at == 0)
        {
            error = "block " + std::to_string(i) + ": format 1 keeps no version for host-uc blocks";
            return false;
        }
        _tVersion v;
        fillVersion(v, b.versionCode, b.hasDate ? b.date : defaultDate);
        Record &r = records[at];
        if (r.set &&
            (r.version.ulCode != v.ulCode || memcmp(r.version.szDate, v.szDate, VERSION_DATE_LEN) != 0))
        {
            error = "blocks " + std::to_string(r.fromBlock) + " and " + std::to_string(i) + ": format " +
                    std::to_string(format) + " keeps one version per component and they state different ones";
            return false;
        }
        r.set = true;
        r.fromBlock = i;
        r.version = v;
        versionToBytes(&v, &out[at]);
    }
    return true;
}

bool buildLegacy(const Options &options, const std::vector<std::vector<uint8_t>> &images,
                 const std::string &defaultDate, std::vector<uint8_t> &out, std::string &error)
{
    const uint16_t format = options.format;
    out.assign(affGetHeaderSize(format), 0);
    lePutU16(&out[0], format);

    if (!putLegacyVersions(options, defaultDate, out, error))
        return false;

    const size_t ids = format == 1 ? kV1OfsIds : kV2OfsIds;
    lePutU32(&out[ids], options.productId);
    lePutU32(&out[ids + 4], options.hardwareId);
    lePutU32(&out[ids + 8], options.auxWord);
    out[ids + 12] = static_cast<uint8_t>(options.blocks.size());
    memcpy(&out[ids + 13], options.iv.data(), AFF_IV_SIZE);

    for (size_t i = 0; i < options.blocks.size(); i++)
    {
        const BlockDef &b = options.blocks[i];
        const std::vector<uint8_t> data = padded(images[i], b.partSize);
        uint8_t raw[AFF_BLOCK_HEADER_SIZE_V12] = {};
        lePutU32(raw + 0, b.type);
        lePutU32(raw + 4, static_cast<uint32_t>(data.size()));
        lePutU32(raw + 8, b.partSize);
        lePutU32(raw + 12, b.hasImageSize ? b.imageSize : static_cast<uint32_t>(images[i].size()));
        lePutU32(raw + 16, b.aux0);
        lePutU32(raw + 20, b.aux1);
        lePutU32(raw + 24, b.aux2);
        out.insert(out.end(), raw, raw + sizeof raw);
        out.insert(out.end(), data.begin(), data.end());
    }

    // Readers find the version of these layouts at offset 0 only when bytes 4 to
    // 81 are not all zero; otherwise the file would read as the current layout.
    bool distinguishable = false;
    for (size_t i = kLegacyOfsDetectStart; i < kLegacyOfsDetectEnd && i < out.size(); i++)
        distinguishable = distinguishable || out[i] != 0;
    if (!distinguishable)
    {
        error = "a format " + std::to_string(format) +
                " container whose header fields are all zero cannot be told from format 3; give it a block, "
                "an id, a version or an IV";
        return false;
    }
    return true;
}

bool readFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error)
{
    bytes.clear();
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
    {
        error = "cannot open image file '" + path + "': " + strerror(errno);
        return false;
    }
    uint8_t chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = ferror(file) != 0;
    const int savedErrno = errno;
    fclose(file);
    if (failed)
    {
        error = "cannot read image file '" + path + "': " + strerror(savedErrno);
        return false;
    }
    return true;
}

} // namespace

std::string buildDate()
{
    return std::string(__DATE__).substr(0, VERSION_DATE_LEN);
}

uint32_t blockTypeFromText(const std::string &text)
{
    for (const TypeName &t : kTypeNames)
    {
        if (text == t.name)
            return t.type;
    }
    uint32_t type = 0;
    if (text.size() == 1 && parseU32(text, type) && type >= AFF_BLOCK_ESP_RAM && type <= AFF_BLOCK_TI)
        return type;
    return 0;
}

std::string usage()
{
    return "Usage: affpack -o OUTPUT --product ID --hardware ID [OPTION]... [--block DEF]...\n"
           "\n"
           "Builds an AFF firmware container from component image files.\n"
           "\n"
           "Options:\n"
           "  -o, --output PATH          container file to write (required)\n"
           "  --product ID               product id of the target device (required)\n"
           "  --hardware ID              hardware id of the target device (required)\n"
           "  --iv HEX                   initialisation vector: 32 hex digits (default: all zero)\n"
           "  --aux N                    auxiliary word of the file header (default: 0)\n"
           "  --file-version CODE[:DATE] version record of the container as a whole (format 3 only;\n"
           "                             default: 0 and the build date)\n"
           "  --format 1|2|3             layout to write (default: 3). Formats 1 and 2 are the older\n"
           "                             layouts, without CRCs, for block types 1 to 8 only; they keep\n"
           "                             one version record per component in the file header (Wi-Fi:\n"
           "                             types 1-3, FPGA: 4-6, device uC: 7, host uC: 8 in format 2\n"
           "                             only), taken from the blocks' version and date, which must\n"
           "                             agree among the blocks of one component.\n"
           "  --block DEF                adds a block (DEF below); repeat it for more blocks, in file\n"
           "                             order (at most 255)\n"
           "  -h, --help                 shows this text\n"
           "\n"
           "Block DEF: TYPE:FILE[:PART][:KEY=VALUE]...\n"
           "  TYPE          1-9, or esp-ram, esp-ram-data, wifi, nvcm0, nvcm1, usercode, device-uc,\n"
           "                host-uc, ti\n"
           "  FILE          image file (may be empty); padded with 0xFF bytes to a whole number of parts\n"
           "  PART, part=N  part size in bytes, 1 to 16384 (default: 1024)\n"
           "  image=N       image size handed to the bootloader (default: the file's size)\n"
           "  version=N     version code (default: 0)\n"
           "  date=TEXT     date text, at most 11 characters (default: the build date, \"" +
           buildDate() +
           "\")\n"
           "  aux0=N, aux1=N, aux2=N\n"
           "                auxiliary words of the block header (default: 0)\n"
           "Numbers are decimal or 0x-prefixed hexadecimal. FILE must not contain ':'.\n"
           "Options take their value as the next argument or after '=' (--product=1).\n"
           "\n"
           "Example:\n"
           "  affpack -o fw.aff --product 1 --hardware 0 --iv 000102030405060708090a0b0c0d0e0f \\\n"
           "      --block host-uc:host.bin:1024:version=10700001 \\\n"
           "      --block \"device-uc:device.bin:part=512:version=10700002:date=Aug  9 2024\"\n"
           "\n"
           "Exit status: 0 when the container was written, 1 on any error.\n";
}

// One option of the command line with its value.
bool applyOption(const std::string &name, const std::string &value, Options &options, std::string &error)
{
    bool ok = true;
    if (name == "-o" || name == "--output")
    {
        options.output = value;
        ok = !value.empty();
        if (!ok)
            error = name + " needs a path";
    }
    else if (name == "--product")
        ok = options.hasProduct = parseNumberOption(name, value, options.productId, error);
    else if (name == "--hardware")
        ok = options.hasHardware = parseNumberOption(name, value, options.hardwareId, error);
    else if (name == "--iv")
        ok = parseIv(value, options.iv, error);
    else if (name == "--aux")
        ok = parseNumberOption(name, value, options.auxWord, error);
    else if (name == "--file-version")
    {
        size_t colon = value.find(':');
        options.hasFileVersion = true;
        ok = parseNumberOption(name, value.substr(0, colon), options.fileVersionCode, error);
        if (ok && colon != std::string::npos)
        {
            options.fileDate = value.substr(colon + 1);
            ok = checkDate(name, options.fileDate, error);
        }
        else if (ok)
            options.fileDate = buildDate();
    }
    else if (name == "--format")
    {
        if (value == "1" || value == "2" || value == "3")
            options.format = static_cast<uint16_t>(value[0] - '0');
        else
        {
            error = "--format: '" + value + "' is not 1, 2 or 3";
            ok = false;
        }
    }
    else if (name == "--block")
    {
        if (options.blocks.size() >= AFF_MAX_BLOCKS)
        {
            error = "more than 255 blocks";
            return false;
        }
        BlockDef block;
        ok = parseBlock(value, block, error);
        if (ok)
            options.blocks.push_back(block);
    }
    return ok;
}

bool parseArgs(const std::vector<std::string> &args, Options &options, std::string &error)
{
    options = Options();
    for (size_t i = 0; i < args.size(); i++)
    {
        std::string name = args[i];
        std::string value;
        bool hasInlineValue = false;
        size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos)
        {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasInlineValue = true;
        }
        if (name == "-h" || name == "--help")
        {
            options.help = true;
            return true;
        }
        const bool knownWithValue = name == "-o" || name == "--output" || name == "--product" ||
                                    name == "--hardware" || name == "--iv" || name == "--aux" ||
                                    name == "--file-version" || name == "--format" || name == "--block";
        if (!knownWithValue)
        {
            error = "unknown argument '" + args[i] + "'";
            return false;
        }
        if (!hasInlineValue)
        {
            if (i + 1 >= args.size())
            {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }

        if (!applyOption(name, value, options, error))
            return false;
    }

    if (options.output.empty())
        error = "no output file given (-o PATH)";
    else if (!options.hasProduct)
        error = "no product id given (--product ID)";
    else if (!options.hasHardware)
        error = "no hardware id given (--hardware ID)";
    else if (options.hasFileVersion && options.format != 3)
        error = "--file-version applies to format 3 only";
    if (!error.empty())
        return false;
    return true;
}

bool buildContainer(const Options &options, const std::vector<std::vector<uint8_t>> &images,
                    std::vector<uint8_t> &out, std::string &error)
{
    out.clear();
    if (options.blocks.size() > AFF_MAX_BLOCKS)
    {
        error = "more than 255 blocks";
        return false;
    }
    if (images.size() != options.blocks.size())
    {
        error = "one image per block is needed";
        return false;
    }
    // Every size field is 32 bits wide: the whole file must stay below 4 GiB.
    uint64_t total = affGetHeaderSize(options.format);
    for (size_t i = 0; i < options.blocks.size(); i++)
    {
        const BlockDef &b = options.blocks[i];
        if (b.partSize == 0 || b.partSize > AFF_MAX_PART_SIZE)
        {
            error = "block " + std::to_string(i) + ": part size must be from 1 to 16384";
            return false;
        }
        uint64_t parts = (images[i].size() + b.partSize - 1) / b.partSize;
        total += AFF_BLOCK_HEADER_SIZE_V3 + parts * (b.partSize + AFF_PART_CRC_SIZE);
    }
    if (total > UINT32_MAX)
    {
        error = "the container would be larger than 4 GiB";
        return false;
    }

    const std::string defaultDate = buildDate();
    if (options.format != 3)
        return buildLegacy(options, images, defaultDate, out, error);

    _tAffHeader header;
    memset(&header, 0, sizeof header);
    header.usVersion = 3;
    header.ulProductId = options.productId;
    header.ulHardwareId = options.hardwareId;
    header.ulAuxWord = options.auxWord;
    fillVersion(header.sVersion, options.fileVersionCode,
                options.hasFileVersion ? options.fileDate : defaultDate);
    header.ubBlockCount = static_cast<uint8_t>(options.blocks.size());
    memcpy(header.aubIv, options.iv.data(), AFF_IV_SIZE);
    uint8_t raw[AFF_HEADER_SIZE_V3];
    out.insert(out.end(), raw, raw + affPackHeader(&header, raw));
    for (size_t i = 0; i < options.blocks.size(); i++)
        appendVersion3Block(options.blocks[i], images[i], defaultDate, out);
    return true;
}

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    if (args.empty())
    {
        err << usage();
        return 1;
    }
    Options options;
    std::string error;
    if (!parseArgs(args, options, error))
    {
        err << "affpack: " << error << "\n(affpack --help shows the options)\n";
        return 1;
    }
    if (options.help)
    {
        out << usage();
        return 0;
    }

    std::vector<std::vector<uint8_t>> images(options.blocks.size());
    for (size_t i = 0; i < options.blocks.size(); i++)
    {
        if (!readFile(options.blocks[i].path, images[i], error))
        {
            err << "affpack: block " << i << ": " << error << "\n";
            return 1;
        }
    }
    std::vector<uint8_t> bytes;
    if (!buildContainer(options, images, bytes, error))
    {
        err << "affpack: " << error << "\n";
        return 1;
    }

    // Whole or not at all: a failed write never leaves a damaged container in place.
    if (!tools::writeFileAtomically(options.output, bytes.data(), bytes.size(), error))
    {
        err << "affpack: " << error << "\n";
        return 1;
    }
    out << "affpack: wrote " << options.output << ": format " << options.format << ", "
        << options.blocks.size() << " block" << (options.blocks.size() == 1 ? "" : "s") << ", "
        << bytes.size() << " bytes\n";
    return 0;
}

} // namespace affpack
