#include "aspi/sim/Machine.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "aspi/sim/Files.h"

namespace quorvel_sim {
namespace {

// A quoted field of at most N bytes, padded with blanks.
template <size_t N>
bool ParseField(const std::string &value, std::array<uint8_t, N> &out, std::string &error,
                const char *key) {
    auto bytes = Unquote(value);
    if (!bytes) {
        error = std::string(key) + ": expected a quoted string";
        return false;
    }
    if (bytes->size() > N) {
        error = std::string(key) + ": longer than " + std::to_string(N) + " bytes";
        return false;
    }
    out.fill(' ');
    std::memcpy(out.data(), bytes->data(), bytes->size());
    return true;
}

// "3", "2,final", "final": download command numbers from 1 and/or final.
bool ParseCommandList(const std::string &value, std::set<uint32_t> &commands, bool &final) {
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        const std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned long number = 0;
        if (item == "final") final = true;
        else if (ParseNumber(item, 0xFFFFFFFFul, number) && number >= 1) commands.insert(static_cast<uint32_t>(number));
        else return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

// "5/24/00": a sense key (0 to F), ASC and ASCQ, one or two hex digits each.
bool ParseSense(const std::string &value, DeviceConfig &device) {
    unsigned values[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t slash = value.find('/', start);
        if ((i < 2) != (slash != std::string::npos)) return false;
        const std::string part = value.substr(start, i < 2 ? slash - start : std::string::npos);
        if (part.empty() || part.size() > 2 || part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        values[i] = static_cast<unsigned>(std::stoul(part, nullptr, 16));
        start = slash + 1;
    }
    if (values[0] > 0x0F) return false;
    device.senseKey = static_cast<uint8_t>(values[0]);
    device.asc = static_cast<uint8_t>(values[1]);
    device.ascq = static_cast<uint8_t>(values[2]);
    return true;
}

bool ParseDevice(const std::vector<std::string> &words, const MachineConfig &machine,
                 DeviceConfig &device, std::string &error) {
    if (machine.adapters < 0) {
        error = "device before adapters";
        return false;
    }
    if (words.size() < 3) {
        error = "device needs an adapter and a target";
        return false;
    }
    unsigned long number = 0;
    if (!ParseNumber(words[1], 255, number) || static_cast<int>(number) >= machine.adapters) {
        error = "device adapter '" + words[1] + "' is not below adapters " +
                std::to_string(machine.adapters);
        return false;
    }
    device.adapter = static_cast<int>(number);
    if (!ParseNumber(words[2], 15, number)) {
        error = "device target '" + words[2] + "' is not 0 to 15";
        return false;
    }
    device.target = static_cast<int>(number);
    for (const DeviceConfig &other : machine.devices) {
        if (other.adapter == device.adapter && other.target == device.target) {
            error = "a second device at " + words[1] + " " + words[2];
            return false;
        }
    }
    std::set<std::string> seen;
    for (size_t i = 3; i < words.size(); ++i) {
        const std::string &word = words[i];
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "expected key=value, found '" + word + "'";
            return false;
        }
        std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        if (!seen.insert(key).second) {
            error = "key '" + key + "' given twice";
            return false;
        }
        if (key == "type") {
            if (!ParseNumber(value, 255, number)) {
                error = "type: expected a number 0 to 255";
                return false;
            }
            device.type = static_cast<uint8_t>(number);
        } else if (key == "vendor") {
            if (!ParseField(value, device.vendor, error, "vendor")) return false;
        } else if (key == "product") {
            if (!ParseField(value, device.product, error, "product")) return false;
        } else if (key == "revision") {
            if (!ParseField(value, device.revision, error, "revision")) return false;
        } else if (key == "delay") {
            if (!ParseNumber(value, 600000, number)) {
                error = "delay: expected milliseconds 0 to 600000";
                return false;
            }
            device.delayMs = static_cast<int>(number);
        } else if (key == "final-delay") {
            if (!ParseNumber(value, 600000, number)) {
                error = "final-delay: expected milliseconds 0 to 600000";
                return false;
            }
            device.finalDelayMs = static_cast<int>(number);
        } else if (key == "completion") {
            if (value == "now") device.completion = Completion::Now;
            else if (value == "later") device.completion = Completion::Later;
            else if (value == "never") device.completion = Completion::Never;
            else {
                error = "completion: expected now, later or never";
                return false;
            }
        } else if (key == "refuse") {
            if (value == "none") continue;
            if (!ParseCommandList(value, device.refuseCommands, device.refuseFinal)) {
                error = "refuse: expected none, or command numbers from 1 and/or final";
                return false;
            }
        } else if (key == "timeout") {
            if (value == "none") continue;
            if (!ParseCommandList(value, device.timeoutCommands, device.timeoutFinal)) {
                error = "timeout: expected none, or command numbers from 1 and/or final";
                return false;
            }
        } else if (key == "sense") {
            if (!ParseSense(value, device)) {
                error = "sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00";
                return false;
            }
        } else if (key == "gone") {
            if (!ParseNumber(value, 0xFFFFFFFFul, number) || number < 1) {
                error = "gone: expected a download command number from 1";
                return false;
            }
            device.goneAt = static_cast<uint32_t>(number);
        } else if (key == "transport") {
            const char *const names[] = {"unknown", "usb", "ata", "scsi", "virtual"};  // TRANSPORT_* in order
            const auto found = std::find(std::begin(names), std::end(names), value);
            if (found == std::end(names)) {
                error = "transport: expected usb, ata, scsi, virtual or unknown";
                return false;
            }
            device.transport = static_cast<uint32_t>(found - std::begin(names));
        } else if (key == "mounted") {
            device.mounted = Unquote(value);
            if (!device.mounted || device.mounted->empty()) {
                error = "mounted: expected a quoted mount point";
                return false;
            }
        } else if (key == "hold") {
            if (value == "free") device.holdFinds = HoldFinds::Nothing;
            else if (value == "in-use") device.holdFinds = HoldFinds::InUse;
            else if (value == "shared") device.holdFinds = HoldFinds::Shared;
            else {
                error = "hold: expected free, in-use or shared";
                return false;
            }
        } else {
            error = "unknown device key '" + key + "'";
            return false;
        }
    }
    for (const char *required : {"vendor", "product", "revision"}) {
        if (!seen.count(required)) {
            error = std::string("device without ") + required;
            return false;
        }
    }
    return true;
}

}  // namespace

std::array<uint8_t, 24> DeviceConfig::Model() const {
    std::array<uint8_t, 24> model{};
    std::memcpy(model.data(), vendor.data(), 8);
    std::memcpy(model.data() + 8, product.data(), 16);
    return model;
}

Parsed<MachineConfig> ParseMachine(const std::string &text, const std::string &baseDir) {
    Parsed<MachineConfig> result;
    MachineConfig machine;
    std::set<std::string> statements;
    size_t lineNumber = 0, pos = 0;
    std::vector<std::string> words;
    auto fail = [&](const std::string &reason) {
        result.error = std::to_string(lineNumber) + ": " + reason;
        return result;
    };
    if (text.find('\0') != std::string::npos) {
        lineNumber = 1;
        return fail("a zero byte in the file");
    }
    std::string line;
    while (NextLine(text, pos, line)) {
        ++lineNumber;
        std::string error;
        if (!SplitWords(line, words, error)) return fail(error);
        if (words.empty()) continue;
        const std::string &statement = words[0];
        if (statement == "device") {
            DeviceConfig device;
            if (!ParseDevice(words, machine, device, error)) return fail(error);
            machine.devices.push_back(device);
            continue;
        }
        if (statement != "adapters" && statement != "trace" && statement != "state" &&
            statement != "dump")
            return fail("unknown statement '" + statement + "'");
        if (!statements.insert(statement).second) return fail(statement + " given twice");
        if (words.size() != 2) return fail(statement + " takes exactly one value");
        if (statement == "adapters") {
            unsigned long count = 0;
            if (!ParseNumber(words[1], 8, count)) return fail("adapters: expected 0 to 8");
            machine.adapters = static_cast<int>(count);
            continue;
        }
        std::string path = words[1];
        if (path.front() == '"') {
            auto unquoted = Unquote(path);
            if (!unquoted || unquoted->empty() || unquoted->find('\0') != std::string::npos)
                return fail(statement + ": malformed path");
            path = *unquoted;
        }
        path = ResolvePath(path, baseDir);
        if (statement == "trace") machine.tracePath = path;
        else if (statement == "state") machine.statePath = path;
        else machine.dumpDir = path;
    }
    if (machine.adapters < 0) {
        lineNumber = lineNumber ? lineNumber : 1;
        return fail("no adapters statement");
    }
    result.value = std::move(machine);
    return result;
}

Parsed<MachineState> ParseState(const std::string &text) {
    Parsed<MachineState> result;
    MachineState state;
    size_t lineNumber = 0, pos = 0;
    std::vector<std::string> words;
    std::string line;
    while (NextLine(text, pos, line)) {
        ++lineNumber;
        std::string error;
        if (!SplitWords(line, words, error)) {
            result.error = std::to_string(lineNumber) + ": " + error;
            return result;
        }
        if (words.empty()) continue;
        unsigned long adapter = 0, target = 0;
        const bool pending = words[0] == "pending";
        auto revision = words.size() >= 4 ? Unquote(words[3]) : std::nullopt;
        auto boot = pending && words.size() == 5 && words[4].rfind("boot=", 0) == 0 ? Unquote(words[4].substr(5))
                                                                                   : std::nullopt;
        const bool shaped = (words[0] == "revision" && words.size() == 4) || boot;
        if (!shaped ||
            !ParseNumber(words[1], 255, adapter) || !ParseNumber(words[2], 15, target) || !revision ||
            revision->size() != 4) {
            result.error = std::to_string(lineNumber) +
                           ": expected revision HA TARGET \"REV\" or pending HA TARGET \"REV\" boot=\"ID\"";
            return result;
        }
        std::array<uint8_t, 4> bytes{};
        std::memcpy(bytes.data(), revision->data(), 4);
        const Address address{static_cast<int>(adapter), static_cast<int>(target)};
        if (pending) state.pending[address] = {bytes, *boot};
        else state.taken[address] = bytes;
    }
    result.value = std::move(state);
    return result;
}

std::string FormatState(const MachineState &state) {
    std::string text = "# quorvel simulated machine: firmware revisions taken by downloads\n";
    const auto where = [](const Address &address) {
        return std::to_string(address.first) + " " + std::to_string(address.second) + " ";
    };
    for (const auto &[address, revision] : state.taken)
        text += "revision " + where(address) + Quote(revision.data(), revision.size()) + "\n";
    for (const auto &[address, pending] : state.pending)
        text += "pending " + where(address) + Quote(pending.revision.data(), pending.revision.size()) + " boot=" +
                Quote(reinterpret_cast<const uint8_t *>(pending.boot.data()), pending.boot.size()) + "\n";
    return text;
}

namespace {
bool AnotherBoot(const PendingRevision &pending, const std::string &bootNow) {
    return !bootNow.empty() && !pending.boot.empty() && pending.boot != bootNow;
}
}  // namespace

Revisions Running(const MachineState &state, const std::string &bootNow) {
    Revisions running = state.taken;
    for (const auto &[address, pending] : state.pending)
        if (AnotherBoot(pending, bootNow)) running[address] = pending.revision;
    return running;
}

MachineState Restarted(MachineState state) {
    for (const auto &[address, pending] : state.pending) state.taken[address] = pending.revision;
    state.pending.clear();
    return state;
}

MachineState Accepted(MachineState state, Address drive, const std::array<uint8_t, 4> &revision,
                      const std::string &bootNow) {
    state.taken = Running(state, bootNow);
    std::erase_if(state.pending, [&](const auto &entry) { return AnotherBoot(entry.second, bootNow); });
    state.pending[drive] = {revision, bootNow};
    return state;
}

}  // namespace quorvel_sim
