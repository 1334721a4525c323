// The simulated machine's state file as a file (format in aspi/sim/README.md):
// read, changed under its lock, and the machine's restart, which the login1
// stand-in and quorvel-sim-restart both do the same way.
#pragma once

#include <functional>
#include <string>

#include "aspi/sim/Machine.h"

namespace quorvel_sim {

// The kernel's id of this boot (/proc/sys/kernel/random/boot_id), as the
// record of flashes has it; empty when it cannot be read.
std::string KernelBootId();

// The state file's state: an empty one when there is no file; nothing and
// "LINE: reason" when it is malformed.
Parsed<MachineState> ReadStateFile(const std::string &path);

// Changes the state file: what it holds now (an empty state when it is missing
// or malformed) through `change`, written back atomically. Programs flashing
// other drives of the machine update the same file, so the read, the change
// and the rename happen under a lock that holds across processes: STATE.lock,
// a file of its own, since each rename puts a new file in the state's place
// and a lock on the old one would guard nothing. False, with errno, when the
// file cannot be written; a lock that cannot be taken is said on stderr, and
// the change is made all the same.
bool UpdateStateFile(const std::string &path, const std::function<MachineState(MachineState)> &change);

// What restarting a machine did.
struct Restart {
    std::string statePath;  // empty: the machine keeps no state, nothing to take
    Revisions taken;        // the drives that took their pending revision, and which
    std::string error;      // why the machine could not be restarted; empty when it was
};
// The machine of `machineFile` restarts: every drive takes the revision it
// accepted, and runs it from the next start on. `stateOverride` stands for
// QUORVEL_SIM_STATE (relative to the machine file's folder too).
Restart RestartMachine(const std::string &machineFile, const std::string &stateOverride);

}  // namespace quorvel_sim
