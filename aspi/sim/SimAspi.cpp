// The simulated machine's ASPI manager: GetASPI32SupportInfo and
// SendASPI32Command over virtual adapters and devices read from the machine
// file (aspi/sim/README.md). Only the two C entry points are exported.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspi/sim/Files.h"
#include "aspi/sim/Machine.h"
#include "platform/wnaspi32.h"

#define QUORVEL_SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace quorvel_sim {
namespace {

constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_DOWNLOAD = 0xFF;
constexpr uint8_t DOWNLOAD_SUBCOMMAND = 0x01;

enum class Phase { None, First, Next, Final, Only, Stray };

const char *PhaseName(Phase phase) {
    switch (phase) {
        case Phase::First: return "first";
        case Phase::Next: return "next";
        case Phase::Final: return "final";
        case Phase::Only: return "only";
        case Phase::Stray: return "stray";
        case Phase::None: break;
    }
    return "none";
}

struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
};
constexpr Sense kIllegalOpcode{0x05, 0x20, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kSequenceError{0x05, 0x2C, 0x00};
constexpr Sense kWriteError{0x03, 0x0C, 0x00};

uint64_t Fnv1a64(const uint8_t *data, size_t length) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string Hex(const uint8_t *bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string HexByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

bool AllZero(const uint8_t *bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

std::string Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

struct Device {
    DeviceConfig config;
    std::array<uint8_t, 4> revision{};  // what INQUIRY answers in this start
    std::mutex mutex;                   // guards the two below
    uint32_t downloads = 0;
    bool inSession = false;
};

// One start of the machine: what the machine file said, and the devices'
// download sessions. Commands completing later keep their start alive.
struct Machine {
    bool valid = false;
    std::string path;
    MachineConfig config;
    std::vector<std::unique_ptr<Device>> devices;
    int traceFd = -1;

    ~Machine() {
        if (traceFd >= 0) ::close(traceFd);
    }

    Device *Find(int adapter, int target) {
        for (auto &device : devices)
            if (device->config.adapter == adapter && device->config.target == target)
                return device.get();
        return nullptr;
    }

    void Trace(const std::string &line) {
        if (traceFd >= 0) WriteAll(traceFd, line + "\n");  // one write: O_APPEND keeps lines whole
    }
};

// The library's globals. They are never destroyed: a command completing
// from a detached thread may still use them while the process exits.
struct Globals {
    std::mutex machineMutex;  // guards machine and sequence
    std::shared_ptr<Machine> machine;
    uint64_t sequence = 0;
    std::mutex stateMutex;  // one state file update at a time
};
Globals &G() {
    static Globals *globals = new Globals;
    return *globals;
}

std::shared_ptr<Machine> LoadMachine() {
    auto machine = std::make_shared<Machine>();
    const char *path = std::getenv("QUORVEL_SIM_MACHINE");
    if (!path || !*path) return machine;
    machine->path = path;
    auto text = ReadWholeFile(path);
    if (!text) return machine;  // no machine here: no adapters, silently
    std::string baseDir = DirectoryOf(path);
    auto parsed = ParseMachine(*text, baseDir);
    if (!parsed.value) {
        std::fprintf(stderr, "quorvel-sim: %s:%s\n", path, parsed.error.c_str());
        return machine;
    }
    machine->config = std::move(*parsed.value);
    auto override = [&](const char *name, std::string &target) {
        const char *value = std::getenv(name);
        if (value && *value) target = ResolvePath(value, baseDir);
    };
    override("QUORVEL_SIM_TRACE", machine->config.tracePath);
    override("QUORVEL_SIM_STATE", machine->config.statePath);
    override("QUORVEL_SIM_DUMP", machine->config.dumpDir);

    Revisions revisions;
    if (!machine->config.statePath.empty()) {
        if (auto stateText = ReadWholeFile(machine->config.statePath)) {
            auto state = ParseState(*stateText);
            if (!state.value) {
                std::fprintf(stderr, "quorvel-sim: %s:%s\n", machine->config.statePath.c_str(),
                             state.error.c_str());
                return machine;
            }
            revisions = std::move(*state.value);
        }
    }
    for (const DeviceConfig &config : machine->config.devices) {
        auto device = std::make_unique<Device>();
        device->config = config;
        auto taken = revisions.find({config.adapter, config.target});
        device->revision = taken != revisions.end() ? taken->second : config.revision;
        machine->devices.push_back(std::move(device));
    }
    if (!machine->config.tracePath.empty()) {
        machine->traceFd = ::open(machine->config.tracePath.c_str(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (machine->traceFd < 0)
            std::fprintf(stderr, "quorvel-sim: cannot open trace %s: %s\n",
                         machine->config.tracePath.c_str(), std::strerror(errno));
    }
    if (!machine->config.dumpDir.empty()) MakeDirectories(machine->config.dumpDir);
    machine->valid = true;
    return machine;
}

std::shared_ptr<Machine> CurrentMachine(uint64_t &sequence) {
    std::lock_guard lock(G().machineMutex);
    if (!G().machine) G().machine = LoadMachine();
    sequence = ++G().sequence;
    return G().machine;
}

// Stores a revision a drive took, merging with what the file holds now.
void StoreRevision(Machine &machine, const Device &device, const std::array<uint8_t, 4> &revision) {
    const std::string &path = machine.config.statePath;
    if (path.empty()) return;
    std::lock_guard lock(G().stateMutex);
    Revisions revisions;
    if (auto text = ReadWholeFile(path)) {
        auto state = ParseState(*text);
        if (state.value) revisions = std::move(*state.value);
    }
    revisions[{device.config.adapter, device.config.target}] = revision;
    if (!WriteFileAtomically(path, FormatState(revisions)))
        std::fprintf(stderr, "quorvel-sim: cannot write state %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// The fields of the record as submitted, for the trace line.
std::string RecordFields(uint64_t sequence, const SRB_ExecSCSICmd &srb) {
    std::string line = "SRB seq=" + std::to_string(sequence) + " time=" + Now() +
                       " pid=" + std::to_string(::getpid());
    line += " Cmd=" + HexByte(srb.SRB_Cmd) + " HaId=" + std::to_string(srb.SRB_HaId) +
            " Flags=" + HexByte(srb.SRB_Flags) + " Target=" + std::to_string(srb.SRB_Target) +
            " Lun=" + std::to_string(srb.SRB_Lun) + " BufLen=" + std::to_string(srb.SRB_BufLen) +
            " SenseLen=" + std::to_string(srb.SRB_SenseLen) +
            " CDBLen=" + std::to_string(srb.SRB_CDBLen);
    size_t cdbLength = std::min<size_t>(srb.SRB_CDBLen, sizeof srb.CDBByte);
    line += " CDB=" + Hex(srb.CDBByte, cdbLength);
    if (!AllZero(srb.CDBByte + cdbLength, sizeof srb.CDBByte - cdbLength))
        line += " CDBRest=" + Hex(srb.CDBByte + cdbLength, sizeof srb.CDBByte - cdbLength);
    if (srb.SRB_Status) line += " StatusIn=" + HexByte(srb.SRB_Status);
    char number[32];
    if (srb.SRB_Hdr_Rsvd) {
        std::snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(srb.SRB_Hdr_Rsvd));
        line += std::string(" Hdr_Rsvd=") + number;
    }
    if (srb.SRB_Rsvd1) {
        std::snprintf(number, sizeof number, "0x%04x", static_cast<unsigned>(srb.SRB_Rsvd1));
        line += std::string(" Rsvd1=") + number;
    }
    if (!AllZero(srb.SRB_Rsvd2, sizeof srb.SRB_Rsvd2))
        line += " Rsvd2=" + Hex(srb.SRB_Rsvd2, sizeof srb.SRB_Rsvd2);
    if (srb.SRB_PostProc) {
        std::snprintf(number, sizeof number, "%p", srb.SRB_PostProc);
        line += std::string(" PostProc=") + number;
    }
    if (srb.SRB_HaStat) line += " HaStatIn=" + HexByte(srb.SRB_HaStat);
    if (srb.SRB_TargStat) line += " TargStatIn=" + HexByte(srb.SRB_TargStat);
    if (!AllZero(srb.SenseArea, sizeof srb.SenseArea))
        line += " SenseIn=" + Hex(srb.SenseArea, sizeof srb.SenseArea);
    return line;
}

void SetSense(SRB_ExecSCSICmd *srb, Sense sense) {
    uint8_t fixed[18] = {};
    fixed[0] = 0x70;
    fixed[2] = sense.key;
    fixed[7] = 10;
    fixed[12] = sense.asc;
    fixed[13] = sense.ascq;
    size_t length = std::min<size_t>({srb->SRB_SenseLen, sizeof srb->SenseArea, sizeof fixed});
    std::memcpy(srb->SenseArea, fixed, length);
    srb->SRB_TargStat = 0x02;  // CHECK CONDITION
}

std::string SenseField(Sense sense) {
    char text[32];
    std::snprintf(text, sizeof text, " Sense=%02x/%02x/%02x", sense.key, sense.asc, sense.ascq);
    return text;
}

// Ends a request: the trace line first, then the status, last of all.
uint32_t Complete(Machine &machine, SRB_ExecSCSICmd *srb, std::string line, uint8_t status) {
    line += " Status=" + HexByte(status);
    machine.Trace(line);
    SrbStatusStore(srb, status);
    return status;
}

uint32_t Refuse(Machine &machine, SRB_ExecSCSICmd *srb, std::string line, Sense sense) {
    SetSense(srb, sense);
    return Complete(machine, srb, line + SenseField(sense), SS_ERR);
}

uint32_t Inquiry(Machine &machine, Device &device, SRB_ExecSCSICmd *srb, std::string line) {
    const uint8_t *cdb = srb->CDBByte;
    if ((cdb[1] & 0x01) || cdb[2] != 0) return Refuse(machine, srb, line, kInvalidField);
    uint8_t answer[36] = {};
    answer[0] = device.config.type;
    uint8_t peripheralType = device.config.type & 0x1F;
    answer[1] = (peripheralType == 0x05 || peripheralType == 0x01) ? 0x80 : 0x00;
    answer[2] = 0x05;
    answer[3] = 0x02;
    answer[4] = 31;
    std::memcpy(answer + 8, device.config.vendor.data(), 8);
    std::memcpy(answer + 16, device.config.product.data(), 16);
    std::memcpy(answer + 32, device.revision.data(), 4);
    size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    size_t length = std::min<size_t>({sizeof answer, srb->SRB_BufLen, allocation});
    if (length) std::memcpy(srb->SRB_BufPointer, answer, length);
    return Complete(machine, srb, line + " In=" + std::to_string(length), SS_COMP);
}

// What the drive decided when the download command arrived.
struct DownloadDecision {
    uint32_t number = 0;
    Phase phase = Phase::None;
    bool refused = false;
    Sense sense;
    uint64_t hashAtSubmission = 0;
};

DownloadDecision DecideDownload(Device &device, const SRB_ExecSCSICmd &srb) {
    DownloadDecision decision;
    std::lock_guard lock(device.mutex);
    decision.number = ++device.downloads;
    if (device.config.completion == Completion::Never) return decision;
    uint8_t marker = srb.CDBByte[5];
    if (!device.inSession) {
        decision.phase = marker == 0x00 ? Phase::First : marker == 0xFF ? Phase::Stray : Phase::Only;
    } else {
        decision.phase = marker == 0xFF ? Phase::Next : Phase::Final;
    }
    bool final = decision.phase == Phase::Final || decision.phase == Phase::Only;
    if (decision.phase == Phase::Stray) {
        decision.refused = true;
        decision.sense = kSequenceError;
    } else if (device.config.refuseCommands.count(decision.number) ||
               (final && device.config.refuseFinal)) {
        decision.refused = true;
        decision.sense = kWriteError;
    }
    device.inSession = !decision.refused && decision.phase != Phase::Final &&
                       decision.phase != Phase::Only && decision.phase != Phase::Stray;
    return decision;
}

// The drive finishes a download command: looks at the data as it is now,
// keeps a new revision when a whole download has been accepted, traces and
// sets the status.
uint32_t FinishDownload(Machine &machine, Device &device, SRB_ExecSCSICmd *srb, uint64_t sequence,
                        std::string line, const DownloadDecision &decision) {
    const uint8_t *data = srb->SRB_BufPointer;
    size_t length = srb->SRB_BufLen;
    uint64_t hash = Fnv1a64(data, length);
    char hashText[24];
    std::snprintf(hashText, sizeof hashText, "%016llx", static_cast<unsigned long long>(hash));
    line += std::string(" Phase=") + PhaseName(decision.phase) + " Len=" + std::to_string(length) +
            " FNV1a64=" + hashText;
    if (hash != decision.hashAtSubmission) line += " Changed=1";
    if (!decision.refused &&
        (decision.phase == Phase::Final || decision.phase == Phase::Only)) {
        auto model = device.config.Model();
        const uint8_t *found = length >= model.size() + 4
                                   ? std::search(data, data + length - 4, model.begin(), model.end())
                                   : data + length;
        if (length >= model.size() + 4 && found != data + length - 4) {
            std::array<uint8_t, 4> revision{};
            std::memcpy(revision.data(), found + model.size(), 4);
            StoreRevision(machine, device, revision);
            line += " NewRevision=" + Quote(revision.data(), revision.size());
        } else {
            line += " NewRevision=none";
        }
    }
    if (!machine.config.dumpDir.empty()) {
        char name[64];
        std::snprintf(name, sizeof name, "/cmd-%ld-%06llu.bin", static_cast<long>(::getpid()),
                      static_cast<unsigned long long>(sequence));
        std::string path = machine.config.dumpDir + name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            WriteAll(fd, data, length);
            ::close(fd);
            line += " Dump=" + Quote(reinterpret_cast<const uint8_t *>(path.data()), path.size());
        }
    }
    if (decision.refused) return Refuse(machine, srb, line, decision.sense);
    return Complete(machine, srb, line, SS_COMP);
}

uint32_t Download(const std::shared_ptr<Machine> &machine, Device &device, SRB_ExecSCSICmd *srb,
                  uint64_t sequence, std::string line) {
    DownloadDecision decision = DecideDownload(device, *srb);
    line += " Download=" + std::to_string(decision.number);
    decision.hashAtSubmission = Fnv1a64(srb->SRB_BufPointer, srb->SRB_BufLen);
    bool final = decision.phase == Phase::Final || decision.phase == Phase::Only;
    int delayMs = final && device.config.finalDelayMs >= 0 ? device.config.finalDelayMs
                                                            : device.config.delayMs;
    switch (device.config.completion) {
        case Completion::Never: {
            char hashText[24];
            std::snprintf(hashText, sizeof hashText, "%016llx",
                          static_cast<unsigned long long>(decision.hashAtSubmission));
            machine->Trace(line + " Phase=none Len=" + std::to_string(srb->SRB_BufLen) +
                           " FNV1a64=" + hashText + " Status=none");
            return SS_PENDING;  // the record is never touched again
        }
        case Completion::Now:
            if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            return FinishDownload(*machine, device, srb, sequence, std::move(line), decision);
        case Completion::Later:
            std::thread([machine, &device, srb, sequence, line = std::move(line), decision,
                         delayMs]() mutable {
                if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                FinishDownload(*machine, device, srb, sequence, std::move(line), decision);
            }).detach();
            return SS_PENDING;
    }
    return SS_PENDING;
}

uint32_t Send(SRB_ExecSCSICmd *srb) {
    uint64_t sequence = 0;
    std::shared_ptr<Machine> machine = CurrentMachine(sequence);
    if (!machine->valid) {
        SrbStatusStore(srb, SS_NO_ADAPTERS);
        return SS_NO_ADAPTERS;
    }
    std::string line = RecordFields(sequence, *srb);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) return Complete(*machine, srb, line, SS_INVALID_CMD);
    if (srb->SRB_HaId >= machine->config.adapters)
        return Complete(*machine, srb, line, SS_INVALID_HA);
    Device *device = machine->Find(srb->SRB_HaId, srb->SRB_Target);
    if (!device || srb->SRB_Lun != 0) return Complete(*machine, srb, line, SS_NO_DEVICE);
    if (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr) {
        srb->SRB_HaStat = 0x11;
        return Complete(*machine, srb, line + " Error=null-buffer", SS_ERR);
    }
    const uint8_t *cdb = srb->CDBByte;
    if (srb->SRB_CDBLen >= 6 && cdb[0] == OP_INQUIRY) return Inquiry(*machine, *device, srb, line);
    if (cdb[0] == OP_DOWNLOAD && cdb[2] == DOWNLOAD_SUBCOMMAND)
        return Download(machine, *device, srb, sequence, std::move(line));
    return Refuse(*machine, srb, line, kIllegalOpcode);
}

}  // namespace
}  // namespace quorvel_sim

QUORVEL_SIM_EXPORT uint32_t GetASPI32SupportInfo(void) {
    using namespace quorvel_sim;
    std::shared_ptr<Machine> machine = LoadMachine();
    {
        std::lock_guard lock(G().machineMutex);
        G().machine = machine;
    }
    if (!machine->valid) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
    uint32_t answer = (static_cast<uint32_t>(SS_COMP) << 8) |
                      static_cast<uint32_t>(machine->config.adapters);
    machine->Trace("START time=" + Now() + " pid=" + std::to_string(::getpid()) +
                   " adapters=" + std::to_string(machine->config.adapters) +
                   " status=" + HexByte(SS_COMP) + " machine=" +
                   Quote(reinterpret_cast<const uint8_t *>(machine->path.data()), machine->path.size()));
    return answer;
}

QUORVEL_SIM_EXPORT uint32_t SendASPI32Command(void *request) {
    if (!request) return SS_INVALID_CMD;
    return quorvel_sim::Send(static_cast<SRB_ExecSCSICmd *>(request));
}
