// affpack: its arguments, the containers it builds (compared byte for byte with
// the test image builder), and files written whole or not at all.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"
#include "tests/support/pty_peer.h"
#include "tools/affpack.h"

namespace fs = std::filesystem;
using namespace testsupport;
using Args = std::vector<std::string>;

namespace
{

Args withIds(Args more)
{
    more.insert(more.begin(), {"-o", "out.aff", "--product", "1", "--hardware", "0"});
    return more;
}

// Parses args and builds from images (one-byte images when none are given); the error, empty on success.
std::string build(const Args &args, std::vector<std::vector<uint8_t>> images, std::vector<uint8_t> &out)
{
    affpack::Options o;
    std::string error;
    if (affpack::parseArgs(args, o, error))
    {
        images.resize(o.blocks.size(), {1});
        affpack::buildContainer(o, images, out, error);
    }
    return error;
}

TEST(AffpackArgs, ErrorsNameTheProblem)
{
    Args tooMany = withIds({});
    for (int i = 0; i < 256; i++)
        tooMany.insert(tooMany.end(), {"--block", "ti:x.bin"});
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--product", "1", "--hardware", "0"}, "no output file"},
        {{"-o", "x.aff", "--product", "1"}, "no hardware id"},
        {withIds({"--block", "HOST-UC:x.bin"}), "unknown block type 'HOST-UC'"},
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
        {withIds({"--format", "1", "--block", "host-uc:h"}), ""},
        {{"-h", "-o"}, ""}, // help needs nothing else
    };
    for (const auto &[args, message] : cases)
    {
        std::vector<uint8_t> out;
        const std::string error = build(args, {}, out);
        EXPECT_TRUE(message.empty() ? error.empty() : error.find(message) != std::string::npos)
            << message << ": " << error;
    }
}

AffImageBlock block(uint32_t type, std::vector<uint8_t> data, uint32_t part, uint32_t image, uint32_t code,
                    std::string date = affpack::buildDate())
{
    data.resize((data.size() + part - 1) / part * part, 0xFF); // padded to whole parts
    return {type, data, part, -1, image, {code, date}};
}

TEST(AffpackBuild, ContainersOfEachFormatAreWhatTheLayoutSays)
{
    const std::vector<uint8_t> host = affImagePattern(2500, 1), ti = affImagePattern(300, 2);
    AffImage v3, old; // old: formats 1 and 2
    std::tie(v3.productId, v3.hardwareId, v3.auxWord) = std::tuple(16u, 34u, 0xCAFEu);
    v3.fileVersion = {10700000, "Aug  9 2024"};
    for (uint8_t i = 0; i < 16; ++i)
        std::tie(v3.iv[i], old.iv[i]) = std::tuple(uint8_t(i * 0x11), uint8_t(0xFF - i * 0x11));
    v3.blocks = {block(AFF_BLOCK_HOST_UC, host, 1024, 2500, 10700001, "Sep 10 2024"),
                 block(AFF_BLOCK_TI, ti, 256, 4000, 20304005), block(AFF_BLOCK_ESP_RAM_DATA, {}, 1024, 0, 7),
                 block(AFF_BLOCK_FPGA_USERCODE, {5}, 16384, 1, 0)};
    std::tie(v3.blocks[1].aux0, v3.blocks[1].aux1, v3.blocks[1].aux2) = std::tuple(1u, 2u, 3u);
    std::vector<uint8_t> out;
    EXPECT_EQ(build({"--output=fw.aff", "--product=0x10", "--hardware", "34", "--iv",
                     "00112233445566778899AABBCCDDEEff", "--aux", "0xCAFE", "--file-version",
                     "10700000:Aug  9 2024", "--block", "host-uc:h:1024:version=10700001:date=Sep 10 2024",
                     "--block", "9:t:256:image=4000:version=20304005:aux0=1:aux1=2:aux2=3", "--block",
                     "esp-ram-data:e:version=7", "--block", "usercode:u:part=16384"},
                    {host, ti, {}, {5}}, out),
              "");
    EXPECT_EQ(out, v3.build());

    // The older formats keep the component versions in the file header, by type.
    old.productId = 1;
    old.deviceUc = {10700000, "Aug  9 2024"};
    old.wifi = {70001, affpack::buildDate()};
    old.fpga = {10203, "Mar  1 2020"};
    old.blocks = {block(AFF_BLOCK_DEVICE_UC, affImagePattern(100, 1), 64, 100, 0),
                  block(AFF_BLOCK_ESP_FLASH, {1, 2, 3}, 16, 3, 0), block(AFF_BLOCK_ESP_RAM, {}, 16, 0, 0),
                  block(AFF_BLOCK_FPGA_NVCM0, {4}, 16, 1, 0), block(AFF_BLOCK_FPGA_USERCODE, {5}, 16, 1, 0)};
    for (uint16_t format : {1, 2})
    {
        SCOPED_TRACE(format);
        old.formatVersion = format;
        EXPECT_EQ(
            build(withIds({"--format", std::to_string(format), "--iv", "ffeeddccbbaa99887766554433221100",
                           "--block", "device-uc:d:64:version=10700000:date=Aug  9 2024", "--block",
                           "wifi:w:16:version=70001", "--block", "esp-ram:r:16:version=70001", "--block",
                           "nvcm0:n:16", "--block", "usercode:u:16:version=10203:date=Mar  1 2020"}),
                  {affImagePattern(100, 1), {1, 2, 3}, {}, {4}, {5}}, out),
            "");
        EXPECT_EQ(out, old.build());
    }
}

// Runs affpack with the files it writes limited to argv[0] bytes, as on a full disk (0: no limit).
int affpackMain(int argc, char **argv)
{
    const rlim_t size = std::stoul(argv[0]);
    const rlimit limit{size, size};
    signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG instead of ending the run
    if (size != 0)
        setrlimit(RLIMIT_FSIZE, &limit);
    return affpack::run({argv + 1, argv + argc}, std::cout, std::cerr);
}

// A container is written whole or not at all: a failed write leaves the old file and no temporary beside it.
TEST(AffpackRun, WritesTheContainerWholeOrNotAtAll)
{
    const std::string kOld = "the good old container";
    const std::vector<uint8_t> image = affImagePattern(20000, 3);
    std::vector<uint8_t> built;
    build({"-o", "x", "--product", "1", "--hardware", "2", "--block", "device-uc:i:128"}, {image}, built);
    const struct
    {
        std::string target, image; // in the test directory
        rlim_t limit;
        int status;
        std::string err; // part of standard error
    } cases[] = {
        {"fw.aff", "img.bin", 0, 0, ""}, // and says on standard output what it wrote
        {"fw.aff", "img.bin", 8192, 1, "cannot write '"},
        {"dir", "img.bin", 0, 1, "cannot replace"},
        {"none/fw.aff", "img.bin", 0, 1, "cannot create a temporary file"},
        {"fw.aff", "missing.bin", 0, 1, "cannot open image file"},
        {"", "", 0, 1, "Usage: affpack"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.target + " " + c.err);
        TempDir dir;
        fs::create_directory(dir.file("dir"));
        std::ofstream(dir.file("fw.aff")) << kOld;
        std::ofstream(dir.file("img.bin")) << std::string(image.begin(), image.end());
        chmod(dir.file("fw.aff").c_str(), 0640);
        Args args = {"-o",         dir.file(c.target),
                     "--product",  "1",
                     "--hardware", "2",
                     "--block",    "device-uc:" + dir.file(c.image) + ":128"};
        if (c.target.empty())
            args.clear();
        args.insert(args.begin(), std::to_string(c.limit));
        Child run(affpackMain, args);
        EXPECT_EQ(run.finish(), c.status);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out.empty(), c.status != 0) << run.out;
        std::ifstream in(dir.file("fw.aff"), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                  c.status == 0 ? std::string(built.begin(), built.end()) : kOld);
        EXPECT_EQ(fs::status(dir.file("fw.aff")).permissions(), fs::perms(0640)) << "the old mode is kept";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 3)
            << "a temporary file was left behind";
    }
    std::ostringstream out, err;
    EXPECT_EQ(0, affpack::run({"--help"}, out, err));
    EXPECT_NE(std::string::npos, out.str().find("--format 1|2|3")) << out.str();
}

} // namespace
