#include "aspi/sim/StateFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "aspi/sim/Files.h"

namespace quorvel_sim {

std::string KernelBootId() {
    std::string id = ReadWholeFile("/proc/sys/kernel/random/boot_id").value_or("");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

Parsed<MachineState> ReadStateFile(const std::string &path) {
    const auto text = ReadWholeFile(path);
    if (!text) return {MachineState{}, ""};
    return ParseState(*text);
}

bool UpdateStateFile(const std::string &path, const std::function<MachineState(MachineState)> &change) {
    FileLock lock(path + ".lock");
    if (!lock.Held())  // the change is still made, at the risk of another program's update
        std::fprintf(stderr, "quorvel-sim: cannot lock %s.lock: %s\n", path.c_str(), std::strerror(errno));
    return WriteFileAtomically(path, FormatState(change(ReadStateFile(path).value.value_or(MachineState{}))));
}

Restart RestartMachine(const std::string &machineFile, const std::string &stateOverride) {
    Restart restart;
    const auto text = ReadWholeFile(machineFile);
    if (!text) {
        restart.error = "cannot read the machine file " + machineFile;
        return restart;
    }
    const std::string baseDir = DirectoryOf(machineFile);
    const auto machine = ParseMachine(*text, baseDir);
    if (!machine.value) {
        restart.error = machineFile + ":" + machine.error;
        return restart;
    }
    restart.statePath = stateOverride.empty() ? machine.value->statePath : ResolvePath(stateOverride, baseDir);
    if (restart.statePath.empty()) return restart;
    const auto state = ReadStateFile(restart.statePath);
    if (!state.value) {
        restart.error = restart.statePath + ":" + state.error;
        return restart;
    }
    if (state.value->pending.empty()) return restart;
    const bool written = UpdateStateFile(restart.statePath, [&restart](MachineState now) {
        for (const auto &[address, pending] : now.pending) restart.taken[address] = pending.revision;
        return Restarted(std::move(now));
    });
    if (!written) restart.error = "cannot write " + restart.statePath + ": " + std::strerror(errno);
    return restart;
}

}  // namespace quorvel_sim
