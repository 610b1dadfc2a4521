#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"
#include "tests/support/pty_peer.h"
#include "tools/affpack.h"

using affpack::Options;

namespace
{

using Args = std::vector<std::string>;

Args withIds(Args more)
{
    Args args = {"-o", "out.aff", "--product", "1", "--hardware", "0"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The error of parsing args and building from one-byte images; empty when both succeed.
std::string failure(const Args &args)
{
    Options o;
    std::string error;
    std::vector<uint8_t> out;
    if (affpack::parseArgs(args, o, error))
        affpack::buildContainer(o, std::vector<std::vector<uint8_t>>(o.blocks.size(), {1}), out, error);
    return error;
}

TEST(AffpackArgs, ErrorsNameTheProblem)
{
    Args tooMany = withIds({});
    for (int i = 0; i < 256; i++)
        tooMany.insert(tooMany.end(), {"--block", "ti:x.bin"});
    const struct
    {
        Args args;
        const char *messagePart;
    } cases[] = {
        {{"--product", "1", "--hardware", "0"}, "no output file"},
        {{"-o", "x.aff", "--product", "1"}, "no hardware id"},
        {withIds({"--block", "flash:x.bin"}), "unknown block type 'flash'"},
        {withIds({"--block", "ti:x.bin:0"}), "part size '0'"},
        {withIds({"--block", "ti:x.bin:version=4294967296"}), "'4294967296' is not a number"},
        {withIds({"--block", "ti:x.bin:date=August  9 2024"}), "longer than 11"},
        {withIds({"--iv", "0011223344556677889900aabbccddee0"}), "32 hexadecimal digits"},
        {withIds({"--format", "4"}), "'4' is not 1, 2 or 3"},
        {withIds({"--product"}), "--product needs a value"},
        {tooMany, "more than 255 blocks"},
        // What the older formats cannot hold is refused when building.
        {withIds({"--format", "2", "--block", "ti:t"}), "block types 1 to 8 only"},
        {withIds({"--format", "1", "--block", "host-uc:h:version=3"}), "no version for host-uc"},
        {withIds({"--format", "2", "--block", "wifi:a:version=1", "--block", "esp-ram:b:version=2"}),
         "different ones"},
        {{"-o", "x", "--product", "0", "--hardware", "0", "--format", "2"}, "cannot be told from format 3"},
    };
    for (const auto &c : cases)
        EXPECT_NE(std::string::npos, failure(c.args).find(c.messagePart)) << c.messagePart;
    EXPECT_EQ("", failure(withIds({"--format", "1", "--block", "host-uc:h"})));
}

TEST(AffpackArgs, AcceptedForms)
{
    Options o;
    std::string error;
    ASSERT_TRUE(affpack::parseArgs(
        {"--output=fw.aff", "--product=0x10", "--hardware", "34", "--iv", "000102030405060708090A0B0C0D0E0f",
         "--aux", "7", "--file-version", "10700000:Aug  9 2024", "--block", "host-uc:h.bin", "--block",
         "9:t.bin:512:image=100:version=20304005:date=Jan  1 2024:aux0=1:aux1=2:aux2=3", "--block",
         "usercode:u.bin:part=16384"},
        o, error))
        << error;
    EXPECT_EQ("fw.aff", o.output);
    EXPECT_EQ(16u, o.productId);
    EXPECT_EQ(34u, o.hardwareId);
    EXPECT_EQ(10700000u, o.fileVersionCode);
    EXPECT_EQ("Aug  9 2024", o.fileDate);
    ASSERT_EQ(3u, o.blocks.size());
    EXPECT_EQ(uint32_t(AFF_BLOCK_HOST_UC), o.blocks[0].type);
    EXPECT_EQ(1024u, o.blocks[0].partSize);
    EXPECT_FALSE(o.blocks[0].hasVersion);
    const affpack::BlockDef &ti = o.blocks[1];
    EXPECT_EQ(uint32_t(AFF_BLOCK_TI), ti.type);
    EXPECT_EQ(512u, ti.partSize);
    EXPECT_EQ(100u, ti.imageSize);
    EXPECT_EQ(20304005u, ti.versionCode);
    EXPECT_EQ("Jan  1 2024", ti.date);
    EXPECT_EQ(3u, ti.aux2);
    EXPECT_EQ(16384u, o.blocks[2].partSize);

    EXPECT_EQ(uint32_t(AFF_BLOCK_ESP_RAM_DATA), affpack::blockTypeFromText("esp-ram-data"));
    EXPECT_EQ(0u, affpack::blockTypeFromText("HOST-UC"));

    EXPECT_TRUE(affpack::parseArgs({"-o", "x", "-h"}, o, error));
    EXPECT_TRUE(o.help);
}

// Reads back a built container through the container module.
class AffpackBuild : public ::testing::Test
{
  protected:
    std::vector<uint8_t> bytes;
    void TearDown() override { affSetMemFile(nullptr, 0); }

    void build(const Args &args, const std::vector<std::vector<uint8_t>> &images)
    {
        Options o;
        std::string error;
        ASSERT_TRUE(affpack::parseArgs(args, o, error)) << error;
        ASSERT_TRUE(affpack::buildContainer(o, images, bytes, error)) << error;
        ASSERT_EQ(1, affFileSupported(bytes.data(), uint32_t(bytes.size())));
        ASSERT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(bytes.size()), nullptr));
    }
    _tAffBlockHeader blockAt(int16_t idx, uint32_t *offset)
    {
        _tAffBlockHeader b{};
        *offset = affGetBlockStartPos(readAffFromMem, uint8_t(idx));
        EXPECT_EQ(1, affReadBlockHeader(readAffFromMem, *offset, &b));
        return b;
    }
};

TEST_F(AffpackBuild, Version3RoundTripWithPaddingAndPartCrcs)
{
    const std::vector<uint8_t> host = testsupport::affImagePattern(2500, 1);
    const std::vector<uint8_t> ti = testsupport::affImagePattern(512, 2);
    build(withIds({"--iv", "00112233445566778899aabbccddeeff", "--aux", "0xCAFE", "--file-version",
                   "10700000:Aug  9 2024", "--block", "host-uc:h:1024:version=10700001:date=Sep 10 2024",
                   "--block", "ti:t:part=256:image=4000:version=20304005", "--block", "wifi:e:version=7"}),
          {host, ti, {}});

    _tAffHeader h;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(3, h.usVersion);
    EXPECT_EQ(1u, h.ulProductId);
    EXPECT_EQ(0xCAFEu, h.ulAuxWord);
    EXPECT_EQ(10700000u, h.sVersion.ulCode);
    EXPECT_EQ(0, memcmp("Aug  9 2024", h.sVersion.szDate, 11));
    EXPECT_EQ(3, h.ubBlockCount);
    EXPECT_EQ(0xFF, h.aubIv[15]);

    uint32_t at = 0;
    _tAffBlockHeader b = blockAt(0, &at);
    EXPECT_EQ(uint32_t(AFF_BLOCK_HOST_UC), b.ulType);
    EXPECT_EQ(3072u, b.ulSize) << "padded to whole parts";
    EXPECT_EQ(2500u, b.ulImageSize) << "default: the file's size";
    EXPECT_EQ(10700001u, b.sVersion.ulCode);
    EXPECT_EQ(0, memcmp("Sep 10 2024", b.sVersion.szDate, 11));
    // Every part is followed by its CRC; the data is the image, then 0xFF.
    std::vector<uint8_t> data;
    for (uint32_t part = 0; part < 3; part++)
    {
        const uint8_t *p = &bytes[at + 63 + part * 1028];
        EXPECT_EQ(testsupport::affImageCrc(p, 1024), p[1024] | p[1025] << 8) << part;
        EXPECT_EQ(0, p[1026] | p[1027]);
        data.insert(data.end(), p, p + 1024);
    }
    EXPECT_TRUE(std::equal(host.begin(), host.end(), data.begin()));
    EXPECT_EQ(std::vector<uint8_t>(3072 - 2500, 0xFF), std::vector<uint8_t>(data.begin() + 2500, data.end()));

    b = blockAt(1, &at);
    EXPECT_EQ(uint32_t(AFF_BLOCK_TI), b.ulType);
    EXPECT_EQ(512u, b.ulSize);
    EXPECT_EQ(4000u, b.ulImageSize);
    EXPECT_EQ(20304005u, b.sVersion.ulCode);
    EXPECT_EQ(affpack::buildDate(), std::string(b.sVersion.szDate, 11));

    b = blockAt(2, &at);
    EXPECT_EQ(uint32_t(AFF_BLOCK_ESP_FLASH), b.ulType);
    EXPECT_EQ(0u, b.ulSize) << "an empty image is a zero-length block";
    EXPECT_EQ(at + 63, bytes.size());
}

TEST_F(AffpackBuild, OlderFormatsKeepVersionsInTheFileHeader)
{
    for (const char *format : {"1", "2"})
    {
        SCOPED_TRACE(format);
        build(withIds({"--format", format, "--iv", "ffeeddccbbaa99887766554433221100", "--block",
                       "device-uc:d:64:version=10700000:date=Aug  9 2024", "--block",
                       "wifi:w:16:version=70001", "--block", "esp-ram:r:16:version=70001", "--block",
                       "nvcm0:n:16", "--block", "usercode:u:16:version=10203:date=Mar  1 2020"}),
              {testsupport::affImagePattern(100, 1), {1, 2, 3}, {}, {4}, {5}});
        _tAffHeader h;
        ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
        EXPECT_EQ(format[0] - '0', h.usVersion);
        EXPECT_EQ(5, h.ubBlockCount);
        uint32_t at = 0;
        _tAffBlockHeader b = blockAt(0, &at);
        EXPECT_EQ(128u, b.ulSize);
        EXPECT_EQ(10700000u, b.sVersion.ulCode);
        EXPECT_EQ(0, memcmp("Aug  9 2024", b.sVersion.szDate, 11));
        EXPECT_EQ(0xFF, bytes[at + 44 + 100]) << "padding";
        b = blockAt(1, &at);
        EXPECT_EQ(70001u, b.sVersion.ulCode);
        b = blockAt(3, &at);
        EXPECT_EQ(10203u, b.sVersion.ulCode) << "FPGA record from the usercode block";
        EXPECT_EQ(0, memcmp("Mar  1 2020", b.sVersion.szDate, 11));
    }
}

class AffpackRun : public ::testing::Test
{
  protected:
    testsupport::TempDir tmp;
    const std::string dir = tmp.path();
    void write(const std::string &name, const std::vector<uint8_t> &data)
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << std::string(data.begin(), data.end());
    }
    int run(const Args &args)
    {
        out.str("");
        err.str("");
        return affpack::run(args, out, err);
    }
    std::ostringstream out, err;
};

TEST_F(AffpackRun, WritesTheContainerAndFailsCleanly)
{
    const std::vector<uint8_t> image = testsupport::affImagePattern(300, 9);
    write("a.bin", image);
    write("empty.bin", {});
    const std::string outPath = dir + "/out.aff";
    ASSERT_EQ(0, run({"-o", outPath, "--product", "1", "--hardware", "0", "--block",
                      "device-uc:" + dir + "/a.bin:128", "--block", "wifi:" + dir + "/empty.bin"}))
        << err.str();
    EXPECT_EQ("", err.str());

    std::ifstream in(outPath, std::ios::binary);
    std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Options o;
    std::string error;
    ASSERT_TRUE(affpack::parseArgs(
        {"-o", "x", "--product", "1", "--hardware", "0", "--block", "device-uc:a:128", "--block", "wifi:e"},
        o, error));
    std::vector<uint8_t> expected;
    ASSERT_TRUE(affpack::buildContainer(o, {image, {}}, expected, error));
    EXPECT_EQ(expected, written);

    EXPECT_EQ(1, run({"-o", outPath, "--product", "1", "--hardware", "0", "--block",
                      "ti:" + dir + "/missing.bin"}));
    EXPECT_NE(std::string::npos, err.str().find("cannot open image file")) << err.str();
    EXPECT_EQ(1, run({"-o", dir + "/no/such/dir.aff", "--product", "1", "--hardware", "0"}));
    EXPECT_NE(std::string::npos, err.str().find("cannot create")) << err.str();
    EXPECT_EQ(1, run({}));
    EXPECT_NE(std::string::npos, err.str().find("Usage: affpack")) << err.str();
    EXPECT_EQ(0, run({"--help"}));
    EXPECT_NE(std::string::npos, out.str().find("--format 1|2|3")) << out.str();
}

} // namespace
