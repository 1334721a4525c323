// The simulated machine's description: the machine file and the state file
// (formats in aspi/sim/README.md), parsed from and formatted to text. No I/O:
// the files themselves are read and written by the manager (Files.h).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aspi/sim/Words.h"

namespace quorvel_sim {

enum class Completion { Now, Later, Never };
// What a take of the device's hold finds besides another holder.
enum class HoldFinds { Nothing, InUse, Shared };

struct DeviceConfig {
    int adapter = 0;
    int target = 0;
    uint8_t type = 0x05;
    std::array<uint8_t, 8> vendor{};
    std::array<uint8_t, 16> product{};
    std::array<uint8_t, 4> revision{};
    int delayMs = 0;
    int finalDelayMs = -1;  // for the final block; -1: delayMs
    Completion completion = Completion::Now;
    std::set<uint32_t> refuseCommands;  // 1-based download command numbers
    bool refuseFinal = false;
    uint8_t senseKey = 0x03, asc = 0x0C, ascq = 0x00;  // what a refusal says
    std::set<uint32_t> timeoutCommands;  // download commands not answered in time
    bool timeoutFinal = false;
    uint32_t goneAt = 0;  // the download command at which the device goes away; 0: never
    uint32_t transport = 0;  // TRANSPORT_*
    std::optional<std::string> mounted;  // a disc mounted there: its mount point
    HoldFinds holdFinds = HoldFinds::Nothing;

    // Vendor and product: the 24 bytes the drive knows itself by.
    std::array<uint8_t, 24> Model() const;
};

struct MachineConfig {
    int adapters = -1;
    std::string tracePath;  // absolute or empty
    std::string statePath;
    std::string dumpDir;
    std::vector<DeviceConfig> devices;
};

// A parse result: the value, or a one-line reason with its line number.
template <typename T>
struct Parsed {
    std::optional<T> value;
    std::string error;  // "LINE: reason" when value is empty
};

using Address = std::pair<int, int>;  // adapter, target
using Revisions = std::map<Address, std::array<uint8_t, 4>>;

// A revision a drive accepted whole: as a real drive, it runs it only from the
// machine's next restart.
struct PendingRevision {
    std::array<uint8_t, 4> revision{};
    std::string boot;  // the kernel's boot id when the drive accepted it; empty when unknown
    bool operator==(const PendingRevision &) const = default;
};

// What the state file keeps: the revision each flashed drive runs, and the one
// each drive takes at the machine's next restart.
struct MachineState {
    Revisions taken;
    std::map<Address, PendingRevision> pending;
    bool operator==(const MachineState &) const = default;
};

// Parses a machine file's text; relative paths are taken from baseDir.
Parsed<MachineConfig> ParseMachine(const std::string &text, const std::string &baseDir);
// Parses a state file's text.
Parsed<MachineState> ParseState(const std::string &text);
// The text of a state file holding this state.
std::string FormatState(const MachineState &state);

// The rules of a restart. The machine restarts when its login1 stand-in
// restarts it (Restarted), or when the kernel's boot id is no longer the one a
// pending revision was accepted in: the host itself restarted.
//
// What the flashed drives run at a start in boot `bootNow`: each taken
// revision, and each pending one accepted in another boot.
Revisions Running(const MachineState &state, const std::string &bootNow);
// The machine restarted: every pending revision is taken.
MachineState Restarted(MachineState state);
// A drive accepted `revision` in boot `bootNow`: the pending revisions of
// earlier boots are taken (those boots have ended), and the drive's new one waits.
MachineState Accepted(MachineState state, Address drive, const std::array<uint8_t, 4> &revision,
                      const std::string &bootNow);

}  // namespace quorvel_sim
