#ifndef SIM_SIM_OPTIONS_H
#define SIM_SIM_OPTIONS_H

// Command line of the emulator.

#include <string>

#include "sim/sim_config.h"

namespace devsim
{

enum class ParseResult
{
    Run,   // settings complete: run the device
    Help,  // --help was given
    Error, // a bad option; the message is in *pError
};

// Fills *pConfig from argv (the program name excluded). On Error, *pError holds one
// line that names the option and what was expected.
ParseResult parseOptions(int argc, const char *const *argv, SimConfig *pConfig, std::string *pError);

// The usage text printed by --help.
std::string usageText();

// Parses a whole decimal or 0x-prefixed hexadecimal number that fits 32 bits.
bool parseU32(const std::string &text, uint32_t *pValue);

} // namespace devsim

#endif
