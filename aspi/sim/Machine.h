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

using Revisions = std::map<std::pair<int, int>, std::array<uint8_t, 4>>;

// Parses a machine file's text; relative paths are taken from baseDir.
Parsed<MachineConfig> ParseMachine(const std::string &text, const std::string &baseDir);
// Parses a state file's text.
Parsed<Revisions> ParseState(const std::string &text);
// The text of a state file holding these revisions.
std::string FormatState(const Revisions &revisions);

}  // namespace quorvel_sim
