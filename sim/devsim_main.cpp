// devsim: the device emulator on a pseudo-terminal.

#include "sim/sim_session.h"

int main(int argc, char **argv)
{
    return devsim::devsimMain(argc, argv);
}
