// quorvel-sim-restart [MACHINE]: the simulated machine restarted by a script,
// as its login1 stand-in restarts it for a program that asks: every drive
// takes the firmware it accepted since the last restart. MACHINE defaults to
// $QUORVEL_SIM_MACHINE; QUORVEL_SIM_STATE overrides its state file, as for
// the machine's manager. One line a drive that took its firmware: `0:1 takes "1.20"`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "aspi/sim/StateFile.h"
#include "aspi/sim/Words.h"

int main(int argc, char **argv) {
    const char *fromEnvironment = std::getenv("QUORVEL_SIM_MACHINE");
    const std::string machine = argc == 2 ? argv[1] : fromEnvironment != nullptr ? fromEnvironment : "";
    if (argc > 2 || machine.empty() || machine[0] == '-') {
        std::fprintf(stderr, "usage: quorvel-sim-restart [MACHINE]   (default: $QUORVEL_SIM_MACHINE)\n");
        return 2;
    }
    const char *state = std::getenv("QUORVEL_SIM_STATE");
    const quorvel_sim::Restart restart = quorvel_sim::RestartMachine(machine, state != nullptr ? state : "");
    if (!restart.error.empty()) {
        std::fprintf(stderr, "quorvel-sim-restart: %s\n", restart.error.c_str());
        return 1;
    }
    for (const auto &[address, revision] : restart.taken)
        std::printf("%d:%d takes %s\n", address.first, address.second,
                    quorvel_sim::Quote(revision.data(), revision.size()).c_str());
    return 0;
}
