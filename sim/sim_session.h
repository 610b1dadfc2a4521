#ifndef SIM_SIM_SESSION_H
#define SIM_SIM_SESSION_H

// One run of the emulator: the device on its pseudo-terminal until a stop signal,
// with the link's timing (throttle, hang-ups, injected disconnects) handled here.

#include <atomic>
#include <string>

#include "sim/sim_config.h"
#include "sim/sim_log.h"

namespace devsim
{

// Runs the device until requestStop() or SIGINT/SIGTERM/SIGHUP. Returns the exit
// status: 0 after a normal stop, 1 when the device could not be set up or the
// summary could not be written.
int runSession(const SimConfig &config, Logger &log);

// Asks a running session to stop (async-signal-safe).
void requestStop();

// Entry point of the program: "devsim [options] LINK" or "devsim verify STATE FILE".
int devsimMain(int argc, const char *const *argv);

} // namespace devsim

#endif
