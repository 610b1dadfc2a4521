#ifndef SIM_SIM_VERIFY_H
#define SIM_SIM_VERIFY_H

// "devsim verify": whether a device state holds exactly a container's images.

#include <cstdio>
#include <string>

namespace devsim
{

// Compares, component by component, the images kept in stateDir with the data the
// updater would stream out of the container at affPath, printing one line per
// component to out and problems to err. Returns 0 when every component the container
// holds matches, 1 when one differs or the state or the container cannot be read.
// With isNoHost the device has no host microcontroller and its image is not compared.
int runVerify(const std::string &stateDir, const std::string &affPath, bool isNoHost, FILE *out, FILE *err);

} // namespace devsim

#endif
