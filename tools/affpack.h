#ifndef TOOLS_AFFPACK_H
#define TOOLS_AFFPACK_H

// affpack: builds an AFF firmware container from component image files. The
// program's main only calls run(); parsing and building are exposed for tests.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace affpack
{

constexpr uint32_t kDefaultPartSize = 1024;
constexpr uint16_t kDefaultFormat = 3;

struct BlockDef
{
    uint32_t type = 0;
    std::string path;
    uint32_t partSize = kDefaultPartSize;
    bool hasImageSize = false;
    uint32_t imageSize = 0; // bytes handed to the bootloader; default: the image file's size
    bool hasVersion = false;
    uint32_t versionCode = 0;
    bool hasDate = false;
    std::string date; // at most 11 characters; default: the build date
    uint32_t aux0 = 0, aux1 = 0, aux2 = 0;
};

struct Options
{
    bool help = false;
    std::string output;
    bool hasProduct = false;
    uint32_t productId = 0;
    bool hasHardware = false;
    uint32_t hardwareId = 0;
    std::array<uint8_t, 16> iv{};
    uint32_t auxWord = 0;
    bool hasFileVersion = false;
    uint32_t fileVersionCode = 0;
    std::string fileDate;
    uint16_t format = kDefaultFormat;
    std::vector<BlockDef> blocks;
};

// The --help text.
std::string usage();

// The build date in the container's 11-character form, "Mmm dd yyyy".
std::string buildDate();

// Block type from a number 1-9 or a name (esp-ram, ..., ti); 0 when unknown.
uint32_t blockTypeFromText(const std::string &text);

// Parses the arguments after the program name. Returns true, or false with a
// message in error.
bool parseArgs(const std::vector<std::string> &args, Options &options, std::string &error);

// Builds the container from options and one image per block (in block order).
// Returns true with the file's bytes in out, or false with a message in error.
bool buildContainer(const Options &options, const std::vector<std::vector<uint8_t>> &images,
                    std::vector<uint8_t> &out, std::string &error);

// The whole program: parses, reads the images, builds and writes the container.
// Returns the exit status: 0 on success, 1 on any error (reported on err).
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace affpack

#endif
